// Driver installation for Plug and Play devices (newdev's part that setup programs
// call). Published names and values.
#pragma once

#include <windows.h>

#define INSTALLFLAG_FORCE          0x00000001
#define INSTALLFLAG_READONLY       0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS           0x00000007

EXTERN_C_START

// Installs the driver that the INF gives HardwareId (its files, its service) on every
// present device with that hardware id and starts the devices with it. No such
// device: ERROR_NO_SUCH_DEVINST. The INF installs a service marked for deletion:
// ERROR_SERVICE_MARKED_FOR_DELETE. A device that cannot be restarted now sets
// *bRebootRequired. A driver that then fails to start leaves the device with a
// problem, as on Windows; the call still succeeds.
BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId,
                                               LPCSTR FullInfPath, DWORD InstallFlags,
                                               PBOOL bRebootRequired);

EXTERN_C_END

#ifndef UNICODE
#define UpdateDriverForPlugAndPlayDevices UpdateDriverForPlugAndPlayDevicesA
#endif
