// Time as applications read it: the tick count and the performance counter, both on
// the machine's clock, so that a test with the manual clock decides what they show.
#include "win32_internal.h"

namespace {

// 100 ns ticks since the machine booted; fails only for a null pointer.
BOOL QueryCounter(LARGE_INTEGER *counter, LARGE_INTEGER *frequency)
{
    return SucceedOrSetError(NtQueryPerformanceCounter(counter, frequency));
}

}  // namespace

extern "C" DWORD WINAPI GetTickCount(VOID)
{
    LARGE_INTEGER counter;
    QueryCounter(&counter, nullptr);
    // Milliseconds, wrapping as a DWORD does after 49.7 days.
    return static_cast<DWORD>(static_cast<ULONGLONG>(counter.QuadPart) / 10000);
}

extern "C" BOOL WINAPI QueryPerformanceCounter(LARGE_INTEGER *lpPerformanceCount)
{
    return QueryCounter(lpPerformanceCount, nullptr);
}

extern "C" BOOL WINAPI QueryPerformanceFrequency(LARGE_INTEGER *lpFrequency)
{
    if (lpFrequency == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    LARGE_INTEGER counter;
    return QueryCounter(&counter, lpFrequency);
}
