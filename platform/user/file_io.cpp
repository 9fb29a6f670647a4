// Devices as files: open, close, read, write, device control, overlapped results
// and cancellation, on the system services of the emulated kernel.
#include "win32_internal.h"

#include <cctype>
#include <cstring>

static_assert(sizeof(IO_STATUS_BLOCK) == 2 * sizeof(ULONG_PTR) &&
                  offsetof(IO_STATUS_BLOCK, Information) == sizeof(ULONG_PTR),
              "OVERLAPPED.Internal and InternalHigh hold an IO_STATUS_BLOCK");

namespace {

bool IsError(NTSTATUS status)
{
    return (static_cast<ULONG>(status) >> 30) == 3;
}

// The NT path of a device named as Win32 names it, or "" when the name is no device.
// "\\.\Name" and "\\?\Name" (the form of device interface paths) are the link
// \??\Name. A bare "COM1" to "COM9" (any case, with or without
// a colon) is a reserved device name; "COM10" and above are ordinary file names, as
// on Windows, and need the "\\.\" form.
std::string DevicePath(const char *name)
{
    if (std::strncmp(name, "\\\\.\\", 4) == 0 || std::strncmp(name, "\\\\?\\", 4) == 0) {
        return name[4] != 0 ? std::string("\\??\\") + (name + 4) : std::string();
    }
    size_t length = std::strlen(name);
    if (length == 5 && name[4] == ':') {
        length = 4;
    }
    if (length == 4 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(name[2])) == 'M' && name[3] >= '1' &&
        name[3] <= '9') {
        return std::string("\\??\\COM") + name[3];
    }
    return std::string();
}

// The end of a request: success returns its bytes; a warning fails but still returns
// them; an error fails with none.
BOOL FinishRequest(NTSTATUS status, ULONG_PTR information, LPDWORD bytes)
{
    if (bytes != nullptr) {
        *bytes = IsError(status) ? 0 : static_cast<DWORD>(information);
    }
    return SucceedOrSetError(status);
}

NTSTATUS LoadStatus(PIO_STATUS_BLOCK iosb)
{
    // The kernel writes the status from the completing thread.
    return __atomic_load_n(&iosb->Status, __ATOMIC_ACQUIRE);
}

// Runs one read, write or device control on `file`. Issue(event, iosb) calls the system
// service. Without OVERLAPPED the call returns when the request is done; with
// OVERLAPPED a pended request is reported as ERROR_IO_PENDING and its status block is
// the OVERLAPPED record.
template <typename Issue>
BOOL RunRequest(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytes, Issue issue)
{
    if (overlapped == nullptr) {
        // On a synchronous handle the kernel waits for the request itself. On an
        // overlapped one the request may pend, and gets an event of its own to wait for:
        // the file's own signal would also come from other requests on it.
        FILE_MODE_INFORMATION mode = {};
        IO_STATUS_BLOCK iosb = {};
        NTSTATUS status = NtQueryInformationFile(file, &iosb, &mode, sizeof mode, FileModeInformation);
        if (!NT_SUCCESS(status)) {
            return FinishRequest(status, 0, bytes);
        }
        HANDLE done = nullptr;
        if ((mode.Mode & FILE_SYNCHRONOUS_IO_NONALERT) == 0) {
            status = NtCreateEvent(&done, nullptr, TRUE, FALSE);
            if (!NT_SUCCESS(status)) {
                return FinishRequest(status, 0, bytes);
            }
        }
        status = issue(done, &iosb);
        if (status == STATUS_PENDING && done != nullptr) {
            NTSTATUS wait = NtWaitForSingleObject(done, FALSE, nullptr);
            status = NT_SUCCESS(wait) ? LoadStatus(&iosb) : wait;
        }
        if (done != nullptr) {
            NtClose(done);
        }
        return FinishRequest(status, iosb.Information, bytes);
    }
    overlapped->Internal = static_cast<ULONG_PTR>(STATUS_PENDING);
    overlapped->InternalHigh = 0;
    auto *iosb = reinterpret_cast<PIO_STATUS_BLOCK>(&overlapped->Internal);
    NTSTATUS status = issue(overlapped->hEvent, iosb);
    if (status == STATUS_PENDING) {
        if (bytes != nullptr) {
            *bytes = 0;
        }
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return FinishRequest(status, iosb->Information, bytes);
}

// A buffer the caller claims to have but does not: Windows' probe fails the same way.
bool MissingBuffer(const void *buffer, DWORD length)
{
    if (buffer == nullptr && length != 0) {
        SetLastError(ERROR_NOACCESS);
        return true;
    }
    return false;
}

}  // namespace

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile)
{
    UNREFERENCED_PARAMETER(lpSecurityAttributes);
    UNREFERENCED_PARAMETER(hTemplateFile);
    if (lpFileName == nullptr || dwCreationDisposition < CREATE_NEW ||
        dwCreationDisposition > TRUNCATE_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // This platform has devices only; any other name is a file that does not exist.
    std::string path = DevicePath(lpFileName);
    if (path.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    CountedName name(path);
    if (!name.fits()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    ULONG options = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) ? 0 : FILE_SYNCHRONOUS_IO_NONALERT;
    HANDLE handle = nullptr;
    IO_STATUS_BLOCK iosb = {};
    NTSTATUS status = NtCreateFile(&handle, dwDesiredAccess, name.get(), &iosb, dwShareMode, options);
    if (!NT_SUCCESS(status)) {
        SetLastErrorFromStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (hObject == nullptr || hObject == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return SucceedOrSetError(NtClose(hObject));
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (MissingBuffer(lpBuffer, nNumberOfBytesToRead)) {
        return FALSE;
    }
    return RunRequest(hFile, lpOverlapped, lpNumberOfBytesRead,
                      [&](HANDLE event, PIO_STATUS_BLOCK iosb) {
                          return NtReadFile(hFile, event, iosb, lpBuffer, nNumberOfBytesToRead);
                      });
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (MissingBuffer(lpBuffer, nNumberOfBytesToWrite)) {
        return FALSE;
    }
    return RunRequest(hFile, lpOverlapped, lpNumberOfBytesWritten,
                      [&](HANDLE event, PIO_STATUS_BLOCK iosb) {
                          return NtWriteFile(hFile, event, iosb, lpBuffer, nNumberOfBytesToWrite);
                      });
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped)
{
    if (MissingBuffer(lpInBuffer, nInBufferSize) || MissingBuffer(lpOutBuffer, nOutBufferSize)) {
        return FALSE;
    }
    return RunRequest(hDevice, lpOverlapped, lpBytesReturned,
                      [&](HANDLE event, PIO_STATUS_BLOCK iosb) {
                          return NtDeviceIoControlFile(hDevice, event, iosb, dwIoControlCode,
                                                       lpInBuffer, nInBufferSize, lpOutBuffer,
                                                       nOutBufferSize);
                      });
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait)
{
    auto *iosb = reinterpret_cast<PIO_STATUS_BLOCK>(&lpOverlapped->Internal);
    NTSTATUS status = LoadStatus(iosb);
    if (status == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        // Without an event the file itself is signalled when a request on it completes.
        HANDLE waitOn = lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile;
        NTSTATUS wait = NtWaitForSingleObject(waitOn, FALSE, nullptr);
        if (!NT_SUCCESS(wait)) {
            SetLastErrorFromStatus(wait);
            return FALSE;
        }
        status = LoadStatus(iosb);
        if (status == STATUS_PENDING) {
            // The file was signalled by another request.
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
    }
    // The byte count is reported whatever the status, as Windows does.
    if (lpNumberOfBytesTransferred != nullptr) {
        *lpNumberOfBytesTransferred = static_cast<DWORD>(iosb->Information);
    }
    return SucceedOrSetError(status);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    IO_STATUS_BLOCK iosb = {};
    return SucceedOrSetError(NtFlushBuffersFile(hFile, &iosb));
}

extern "C" BOOL WINAPI CancelIo(HANDLE hFile)
{
    IO_STATUS_BLOCK iosb = {};
    return SucceedOrSetError(NtCancelIoFile(hFile, &iosb));
}
