// Interrupt request levels, spin locks and fast mutexes. IRQL is per-thread state:
// the emulation cannot mask anything, but it keeps the levels so that the verifier
// catches a routine called at a level where Windows forbids it.
#include "ke_internal.h"
#include "verifier.h"

#include <thread>

namespace {

// The lock and level routines below run on every queue and cancel operation of a
// driver, so each reads the thread's state once and passes it on.

void AcquireSpinLockAtCurrentLevel(KiThreadState &state, PKSPIN_LOCK SpinLock,
                                   const void *caller) {
    ULONG_PTR self = reinterpret_cast<ULONG_PTR>(state.thread);
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) [[likely]]
        return;
    if (expected == self)
        VerifierStop("SPIN_LOCK_RECURSION", caller,
                     "spin lock %p acquired again by the thread that holds it",
                     static_cast<void *>(SpinLock));
    for (;;) {
        std::this_thread::yield();
        expected = 0;
        if (__atomic_compare_exchange_n(SpinLock, &expected, self, false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED))
            return;
    }
}

void ReleaseSpinLockAtCurrentLevel(KiThreadState &state, PKSPIN_LOCK SpinLock,
                                   const void *caller) {
    ULONG_PTR self = reinterpret_cast<ULONG_PTR>(state.thread);
    ULONG_PTR owner = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
    if (owner != self)
        VerifierStop("SPIN_LOCK_NOT_OWNED", caller,
                     "spin lock %p released by a thread that does not hold it (%s)",
                     static_cast<void *>(SpinLock), owner == 0 ? "it is free" : "another holds it");
    __atomic_store_n(SpinLock, ULONG_PTR(0), __ATOMIC_RELEASE);
}

void RaiseIrql(KiThreadState &state, KIRQL newIrql, PKIRQL oldIrql, const void *caller) {
    if (newIrql < state.irql)
        VerifierStop("IRQL_RAISE_TO_LOWER", caller, "KeRaiseIrql from %u to lower %u", state.irql,
                     newIrql);
    *oldIrql = state.irql;
    state.irql = newIrql;
}

void LowerIrql(KiThreadState &state, KIRQL newIrql, const void *caller) {
    if (newIrql > state.irql)
        VerifierStop("IRQL_LOWER_TO_HIGHER", caller, "KeLowerIrql from %u to higher %u",
                     state.irql, newIrql);
    state.irql = newIrql;
}

}  // namespace

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return KiCurrentThreadState().irql; }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    RaiseIrql(KiCurrentThreadState(), NewIrql, OldIrql, __builtin_return_address(0));
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    LowerIrql(KiCurrentThreadState(), NewIrql, __builtin_return_address(0));
}

VOID NTAPI KeEnterCriticalRegion(VOID) { KiCurrentThreadState().criticalRegions++; }

VOID NTAPI KeLeaveCriticalRegion(VOID) {
    KiThreadState &state = KiCurrentThreadState();
    if (state.criticalRegions == 0)
        VerifierStop("CRITICAL_REGION_NOT_ENTERED", __builtin_return_address(0),
                     "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion");
    state.criticalRegions--;
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

VOID NTAPI KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    const void *caller = __builtin_return_address(0);
    KiThreadState &state = KiCurrentThreadState();
    KeCheckIrqlOf(state.irql, DISPATCH_LEVEL, "KeAcquireSpinLock", caller);
    RaiseIrql(state, DISPATCH_LEVEL, OldIrql, caller);
    AcquireSpinLockAtCurrentLevel(state, SpinLock, caller);
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    const void *caller = __builtin_return_address(0);
    KiThreadState &state = KiCurrentThreadState();
    ReleaseSpinLockAtCurrentLevel(state, SpinLock, caller);
    LowerIrql(state, NewIrql, caller);
}

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    const void *caller = __builtin_return_address(0);
    KiThreadState &state = KiCurrentThreadState();
    if (state.irql < DISPATCH_LEVEL)
        VerifierStop("IRQL_NOT_GREATER_OR_EQUAL", caller,
                     "KeAcquireSpinLockAtDpcLevel called at IRQL %u", state.irql);
    AcquireSpinLockAtCurrentLevel(state, SpinLock, caller);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ReleaseSpinLockAtCurrentLevel(KiCurrentThreadState(), SpinLock,
                                  __builtin_return_address(0));
}

// The fast mutex keeps its state in its own record: Count says whether it is owned
// and how many threads wait for it, and only a contended acquire or the release that
// hands it on touches Event, a synchronization event signalled once per hand-over, so
// an uncontended acquire and release take no lock at all. Owner is the holding thread.
VOID NTAPI ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

static void CheckFastMutexAcquire(KiThreadState &state, PFAST_MUTEX FastMutex,
                                  const void *caller) {
    if (state.irql > APC_LEVEL)
        VerifierStop("FAST_MUTEX_ABOVE_APC_LEVEL", caller,
                     "fast mutex %p acquired at IRQL %u", static_cast<void *>(FastMutex),
                     state.irql);
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == state.thread)
        VerifierStop("FAST_MUTEX_RECURSION", caller,
                     "fast mutex %p acquired again by the thread that holds it",
                     static_cast<void *>(FastMutex));
}

static void TakeFastMutexOwnership(KiThreadState &state, PFAST_MUTEX FastMutex,
                                   KIRQL oldIrql) {
    __atomic_store_n(&FastMutex->Owner, state.thread, __ATOMIC_RELAXED);
    FastMutex->OldIrql = oldIrql;
}

VOID NTAPI ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    const void *caller = __builtin_return_address(0);
    KiThreadState &state = KiCurrentThreadState();
    CheckFastMutexAcquire(state, FastMutex, caller);
    KIRQL oldIrql;
    RaiseIrql(state, APC_LEVEL, &oldIrql, caller);
    if (__atomic_sub_fetch(&FastMutex->Count, 1, __ATOMIC_ACQUIRE) != 0) {
        // Owned: the release that hands it to this thread signals the event.
        __atomic_add_fetch(&FastMutex->Contention, 1, __ATOMIC_RELAXED);
        KeWaitForHeaderWatchingFirst(&FastMutex->Event.Header, KE_WAIT_FOREVER, caller);
    }
    TakeFastMutexOwnership(state, FastMutex, oldIrql);
}

BOOLEAN NTAPI ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    const void *caller = __builtin_return_address(0);
    KiThreadState &state = KiCurrentThreadState();
    CheckFastMutexAcquire(state, FastMutex, caller);
    KIRQL oldIrql;
    RaiseIrql(state, APC_LEVEL, &oldIrql, caller);
    LONG expected = 1;
    if (!__atomic_compare_exchange_n(&FastMutex->Count, &expected, 0, false, __ATOMIC_ACQUIRE,
                                     __ATOMIC_RELAXED)) {
        LowerIrql(state, oldIrql, caller);
        return FALSE;
    }
    TakeFastMutexOwnership(state, FastMutex, oldIrql);
    return TRUE;
}

VOID NTAPI ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    const void *caller = __builtin_return_address(0);
    KiThreadState &state = KiCurrentThreadState();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != state.thread)
        VerifierStop("FAST_MUTEX_NOT_OWNED", caller,
                     "fast mutex %p released by a thread that does not hold it",
                     static_cast<void *>(FastMutex));
    if (state.irql != APC_LEVEL)
        VerifierStop("FAST_MUTEX_RELEASE_IRQL", caller,
                     "fast mutex %p released at IRQL %u instead of APC_LEVEL",
                     static_cast<void *>(FastMutex), state.irql);
    KIRQL oldIrql = KIRQL(FastMutex->OldIrql);
    __atomic_store_n(&FastMutex->Owner, static_cast<_KTHREAD *>(nullptr), __ATOMIC_RELAXED);
    if (__atomic_add_fetch(&FastMutex->Count, 1, __ATOMIC_RELEASE) != 1) {
        // A thread waits (or is about to): hand the mutex on to one of them.
        std::lock_guard<std::mutex> lock(KiDispatcherLock());
        KiSignalObject(&FastMutex->Event.Header);
    }
    LowerIrql(state, oldIrql, caller);
}

}  // extern "C"

unsigned KeCriticalRegionDepth() { return KiCurrentThreadState().criticalRegions; }
