// Internal to keluapi: the one-request device client that every export uses, and
// the shared return path of the exports.
#pragma once

#include <windows.h>

// Library port numbers are 1 to 255, the number of the COM name; the driver and the
// bus enumerator count from 0.
inline bool IsValidPortNumber(ULONG port)
{
    return port >= 1 && port <= 255;
}

inline ULONG DriverPortNumber(ULONG port)
{
    return port - 1;
}

// The last error of a call that has just reported failure. A failing call that left
// no error must still fail the export, so it is reported as ERROR_GEN_FAILURE.
DWORD LastErrorOfFailure();

// The one return path of the int exports: a failure stores its error as the
// thread's last error and gives 0; success gives 1 and leaves the last error alone.
int CompleteExport(DWORD error);

// Sends one device I/O control request on a handle opened for it alone and closes
// the handle. Returns ERROR_SUCCESS or the error of the failed request; closing the
// handle does not disturb that error. No OVERLAPPED: the call waits for completion.
DWORD SendRequestAndClose(HANDLE device, DWORD code, const void* input, DWORD inputLength,
                          void* output, DWORD outputLength);

// Opens the driver's control device for one request. The driver admits one open
// at a time; a collision fails at once with ERROR_ACCESS_DENIED.
DWORD OpenControlDevice(HANDLE* device);

// OpenControlDevice followed by SendRequestAndClose.
DWORD SendControlRequest(DWORD code, const void* input, DWORD inputLength, void* output,
                         DWORD outputLength);
