// The device client of keluapi: every request goes out on a handle opened for it
// alone, so the library holds no handle between calls.
#include "device_client.h"

namespace {

// How long an open that collides with another process's is tried again, and how
// often. The other process's request is one open, request and close, so it is
// normally gone long before the end.
const DWORD kCollisionRetryMs = 2000;
const DWORD kCollisionPollMs = 50;

// One turn per exclusive device, for the life of the process.
class DeviceTurns {
public:
    DeviceTurns()
    {
        InitializeCriticalSection(&control);
        InitializeCriticalSection(&bus);
    }
    ~DeviceTurns()
    {
        DeleteCriticalSection(&bus);
        DeleteCriticalSection(&control);
    }
    CRITICAL_SECTION control;
    CRITICAL_SECTION bus;
};

DeviceTurns g_turns;

bool IsCollision(DWORD error)
{
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

DWORD OpenControlDeviceOnce(HANDLE* device)
{
    HANDLE handle =
        CreateFileA("\\\\.\\KeluControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return LastErrorOfFailure();
    }
    *device = handle;
    return ERROR_SUCCESS;
}

}  // namespace

DeviceTurn::DeviceTurn(ExclusiveDevice device)
    : section_(device == ExclusiveDevice::kControl ? &g_turns.control : &g_turns.bus)
{
    EnterCriticalSection(section_);
}

DeviceTurn::~DeviceTurn()
{
    LeaveCriticalSection(section_);
}

DWORD LastErrorOfFailure()
{
    DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

int CompleteExport(DWORD error)
{
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return 0;
    }
    return 1;
}

DWORD SendRequestAndClose(HANDLE device, DWORD code, const void* input, DWORD inputLength,
                          void* output, DWORD outputLength)
{
    DWORD bytesReturned = 0;
    DWORD error = ERROR_SUCCESS;
    if (!DeviceIoControl(device, code, const_cast<void*>(input), inputLength, output, outputLength,
                         &bytesReturned, nullptr)) {
        error = LastErrorOfFailure();
    }
    CloseHandle(device);
    return error;
}

DWORD OpenRetryingCollisions(DWORD (*open)(HANDLE* device), HANDLE* device)
{
    DWORD error = open(device);
    // Measured on the clock, not counted in polls: a Sleep may last longer than asked.
    const DWORD start = GetTickCount();
    while (IsCollision(error) && GetTickCount() - start < kCollisionRetryMs) {
        Sleep(kCollisionPollMs);
        error = open(device);
    }
    return error;
}

DWORD OpenControlDevice(HANDLE* device)
{
    return OpenRetryingCollisions(OpenControlDeviceOnce, device);
}

DWORD SendControlRequest(DWORD code, const void* input, DWORD inputLength, void* output,
                         DWORD outputLength)
{
    DeviceTurn turn(ExclusiveDevice::kControl);
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = OpenControlDevice(&device);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return SendRequestAndClose(device, code, input, inputLength, output, outputLength);
}
