// Events, waits and Sleep. Waits and sleeps run on the machine's clock, so a test
// with the manual clock decides when they end.
#include "win32_internal.h"

#include <cstring>

namespace {

// A relative timeout in the system services' unit (100 ns, negative = relative).
LARGE_INTEGER RelativeTimeout(DWORD milliseconds)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    return timeout;
}

// A wait's status as the wait calls return it: WAIT_OBJECT_0 + the index that ended
// the wait, WAIT_TIMEOUT, or WAIT_FAILED with the last error.
DWORD WaitResult(NTSTATUS status, DWORD count)
{
    if (status >= STATUS_WAIT_0 && status < STATUS_WAIT_0 + static_cast<NTSTATUS>(count)) {
        return WAIT_OBJECT_0 + static_cast<DWORD>(status - STATUS_WAIT_0);
    }
    if (status == STATUS_TIMEOUT) {
        return WAIT_TIMEOUT;
    }
    SetLastErrorFromStatus(NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
    return WAIT_FAILED;
}

// The machine has one session, as the console of Windows 2000/XP does: its names and
// the global ones are both \BaseNamedObjects, so the "Global\" and "Local\" prefixes
// that choose between them name the same object as no prefix.
std::string NamespaceName(LPCSTR name)
{
    for (const char *prefix : {"Global\\", "Local\\"}) {
        if (strncmp(name, prefix, strlen(prefix)) == 0)
            return name + strlen(prefix);
    }
    return name;
}

}  // namespace

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName)
{
    UNREFERENCED_PARAMETER(lpEventAttributes);
    HANDLE handle = nullptr;
    if (lpName == nullptr) {
        NTSTATUS status = NtCreateEvent(&handle, nullptr, bManualReset != FALSE, bInitialState != FALSE);
        return SucceedOrSetError(status) ? handle : nullptr;
    }
    CountedName name(NamespaceName(lpName));
    if (!name.fits()) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    NTSTATUS status = NtCreateEvent(&handle, name.get(), bManualReset != FALSE, bInitialState != FALSE);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        // The name is taken: hand out the existing event, as Windows does.
        status = NtOpenEvent(&handle, name.get());
        if (NT_SUCCESS(status)) {
            status = STATUS_OBJECT_NAME_EXISTS;
        }
    }
    if (!NT_SUCCESS(status)) {
        SetLastErrorFromStatus(status);
        return nullptr;
    }
    // Callers tell a new event from an existing one by the last error.
    SetLastError(status == STATUS_OBJECT_NAME_EXISTS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}

// The requested access is not recorded: every handle may wait on, set and reset the event.
extern "C" HANDLE WINAPI OpenEventA(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCSTR lpName)
{
    UNREFERENCED_PARAMETER(dwDesiredAccess);
    UNREFERENCED_PARAMETER(bInheritHandle);
    if (lpName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    CountedName name(NamespaceName(lpName));
    if (!name.fits()) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    HANDLE handle = nullptr;
    NTSTATUS status = NtOpenEvent(&handle, name.get());
    return SucceedOrSetError(status) ? handle : nullptr;
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent)
{
    return SucceedOrSetError(NtSetEvent(hEvent, nullptr));
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent)
{
    return SucceedOrSetError(NtResetEvent(hEvent, nullptr));
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds)
{
    LARGE_INTEGER timeout = RelativeTimeout(dwMilliseconds);
    return WaitResult(
        NtWaitForSingleObject(hHandle, FALSE, dwMilliseconds == INFINITE ? nullptr : &timeout), 1);
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE *lpHandles,
                                               BOOL bWaitAll, DWORD dwMilliseconds)
{
    LARGE_INTEGER timeout = RelativeTimeout(dwMilliseconds);
    return WaitResult(NtWaitForMultipleObjects(nCount, lpHandles, bWaitAll != FALSE, FALSE,
                                               dwMilliseconds == INFINITE ? nullptr : &timeout),
                      nCount);
}

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds)
{
    // INFINITE sleeps for the longest interval the clock can express.
    LARGE_INTEGER interval;
    interval.QuadPart = dwMilliseconds == INFINITE ? -0x7FFFFFFFFFFFFFFFLL
                                                   : RelativeTimeout(dwMilliseconds).QuadPart;
    NtDelayExecution(FALSE, &interval);
}
