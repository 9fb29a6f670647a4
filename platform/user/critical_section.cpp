// Critical sections: a recursive mutex of the host, kept behind the record's
// LockSemaphore field. They do not touch the machine, so a library may hold one for
// the life of the process, across machines booted and shut down in it.
#include "win32_internal.h"

#include <mutex>

namespace {

std::recursive_mutex *LockOf(LPCRITICAL_SECTION section)
{
    return static_cast<std::recursive_mutex *>(section->LockSemaphore);
}

}  // namespace

extern "C" VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->LockSemaphore = new std::recursive_mutex();
}

extern "C" VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    LockOf(lpCriticalSection)->lock();
}

extern "C" VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    LockOf(lpCriticalSection)->unlock();
}

extern "C" VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection)
{
    delete LockOf(lpCriticalSection);
    lpCriticalSection->LockSemaphore = nullptr;
}
