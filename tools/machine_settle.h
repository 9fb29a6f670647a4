// Starting the machine, and waiting for the ports that are plugged in to come up
// after it starts. A command calls one of these before its first use of the
// machine, once its command line has been accepted.
#pragma once

#include <windows.h>

#include <vector>

// The machine starts the bus enumerator and the ports it reports asynchronously,
// as Windows does after boot; a command that runs at once could find the bus not
// yet listening or a port not yet started. This waits, in short Sleeps bounded to
// about ten seconds in all, until the bus answers and every plugged-in port answers
// the port driver. Returns the plugged-in ports. Without the bus enumerator's
// service (nothing installed) it returns at once with none.
std::vector<ULONG> WaitForPluggedPorts();

// Whether both drivers' services are registered: the package is installed.
bool DriversInstalled();
