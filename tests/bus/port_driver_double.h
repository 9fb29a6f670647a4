// A stand-in for the port driver in the bus tests: a function driver for "KELB\KELU"
// that attaches to each child, passes every request down as a WDM function driver
// does, and records what it saw.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

inline constexpr char16_t kPortDoubleService[] = u"PortDouble";

// Lines such as "add 4" (AddDevice; 4 = byte 36 of the child's extension),
// "start 4 SUCCESS", "remove 4", "unload", in the order they happened.
std::vector<std::string> PortDoubleEvents();
void PortDoubleClearEvents();

// Registers the builtin driver and makes it the driver of "KELB\KELU" on the
// running machine.
void PortDoubleInstall();
