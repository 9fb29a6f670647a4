// The device client of keluapi: every request goes out on a handle opened for it
// alone, so the library holds no handle between calls.
#include "device_client.h"

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

DWORD OpenControlDevice(HANDLE* device)
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

DWORD SendControlRequest(DWORD code, const void* input, DWORD inputLength, void* output,
                         DWORD outputLength)
{
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = OpenControlDevice(&device);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    return SendRequestAndClose(device, code, input, inputLength, output, outputLength);
}
