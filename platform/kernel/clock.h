// The machine's one clock. Kernel timers, wait timeouts, Sleep and the time queries
// all read it. A real clock follows the host's monotonic time; a manual clock stands
// still until MachineAdvanceClock moves it, so a test of a long timeout takes no time.
#pragma once

#include <ntdef.h>

// 100 ns units.
#define CLOCK_UNITS_PER_MS 10000ULL

// Interrupt time: 100 ns units since the machine booted.
ULONGLONG ClockInterruptTime();
// System time: 100 ns units since 1601-01-01 (UTC).
ULONGLONG ClockSystemTime();
bool ClockIsManual();

// Converts a Windows timeout (negative: relative 100 ns units; positive: absolute
// system time) into an interrupt-time deadline.
ULONGLONG ClockDeadlineFromTimeout(LONGLONG timeout);
