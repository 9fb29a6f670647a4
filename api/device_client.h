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

// The devices that admit one open at a time: the driver's control device, and the
// bus enumerator's interface, which the library opens without sharing. The library's
// calls in one process take turns on each, so that they never collide with each
// other: a caller holds a DeviceTurn from the open to the close.
enum class ExclusiveDevice { kControl, kBus };

class DeviceTurn {
public:
    explicit DeviceTurn(ExclusiveDevice device);
    ~DeviceTurn();
    DeviceTurn(const DeviceTurn&) = delete;
    DeviceTurn& operator=(const DeviceTurn&) = delete;

private:
    CRITICAL_SECTION* section_;
};

// Calls `open` until it succeeds or fails for another reason than another process's
// open of the device (ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION); that collision
// is tried again for about two seconds of the machine's clock before its error is
// returned. Called with the device's turn held.
DWORD OpenRetryingCollisions(DWORD (*open)(HANDLE* device), HANDLE* device);

// Opens the driver's control device for one request, as OpenRetryingCollisions does.
// Called with the control device's turn held.
DWORD OpenControlDevice(HANDLE* device);

// Takes the control device's turn, opens it, sends one request and closes it.
DWORD SendControlRequest(DWORD code, const void* input, DWORD inputLength, void* output,
                         DWORD outputLength);
