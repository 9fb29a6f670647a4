// Dispatcher objects and waits: events, timers and threads signalled under the one
// dispatcher lock; each waiter has a wait block on the object's wait list, so that a
// signal satisfies the waiters present at that moment, as on Windows (a set followed
// at once by a reset still releases them).
#include "clock.h"
#include "ke_internal.h"
#include "machine.h"
#include "verifier.h"

#include <atomic>
#include <condition_variable>
#include <thread>
#include <unordered_set>
#include <vector>

namespace {

std::mutex g_dispatcherLock;
thread_local _KTHREAD t_implicitThread KI_STATIC_TLS;

using HostClock = std::chrono::steady_clock;

struct Waiter;

// One object a thread waits on: linked into the object's WaitListHead.
struct WaitBlock {
    LIST_ENTRY entry;
    PDISPATCHER_HEADER object;
    Waiter *waiter;
};

// A waiting thread: its objects (none for a pure delay), whether it needs all of them
// or any, and how the wait was satisfied.
struct Waiter {
    WaitBlock *blocks;
    size_t count;
    bool waitAll;
    ULONGLONG deadline;
    bool satisfied = false;
    size_t satisfiedIndex = 0;
    HostClock::time_point satisfiedAt;  // host time of the signal that woke it
    std::condition_variable wake;
};

// The longest a thread watches an object before it sleeps: about what a host thread's
// sleep and wake-up cost. Each thread adapts its own watch below that to how soon its
// recent waits were signalled (see KeWaitForHeaderWatchingFirst).
constexpr std::chrono::nanoseconds kLongestWatch = std::chrono::microseconds(20);
// A signal this long after the wait began means the signalling thread was not running.
constexpr std::chrono::nanoseconds kLateSignal = 10 * kLongestWatch;
thread_local constinit std::chrono::nanoseconds t_watch KI_STATIC_TLS = kLongestWatch;

// Waiters with a deadline, so that the clock can wake them when it passes.
std::unordered_set<Waiter *> g_timedWaiters;
size_t g_blockedThreads;
size_t g_waitsBegun;

bool IsSynchronizationType(UCHAR type) {
    return type == EventSynchronizationObject || type == TimerSynchronizationObject;
}

bool IsKnownType(UCHAR type) {
    return type == EventNotificationObject || type == EventSynchronizationObject ||
           type == ThreadObject || type == TimerNotificationObject ||
           type == TimerSynchronizationObject;
}

void CheckInitialized(PDISPATCHER_HEADER header, const void *caller) {
    if (header == nullptr || header->WaitListHead.Flink == nullptr || !IsKnownType(header->Type))
        VerifierStop("OBJECT_NOT_INITIALIZED", caller,
                     "wait or signal on %p, which is not an initialized dispatcher object",
                     static_cast<void *>(header));
}

// With the dispatcher lock held: a signalled synchronization object goes back to
// not signalled when a wait takes it.
void Consume(PDISPATCHER_HEADER header) {
    if (IsSynchronizationType(header->Type)) KiSetSignalState(header, 0);
}

// With the dispatcher lock held: satisfies the wait now if it can, taking what it
// takes. Wait-any takes the first signalled object in the caller's order; wait-all
// takes every object, and only when all of them are signalled at once.
bool TrySatisfy(Waiter *waiter) {
    if (waiter->waitAll) {
        for (size_t i = 0; i < waiter->count; i++)
            if (waiter->blocks[i].object->SignalState <= 0) return false;
        for (size_t i = 0; i < waiter->count; i++) Consume(waiter->blocks[i].object);
        waiter->satisfiedIndex = 0;
        return true;
    }
    for (size_t i = 0; i < waiter->count; i++) {
        if (waiter->blocks[i].object->SignalState > 0) {
            Consume(waiter->blocks[i].object);
            waiter->satisfiedIndex = i;
            return true;
        }
    }
    return false;
}

void UnlinkBlocks(Waiter *waiter) {
    for (size_t i = 0; i < waiter->count; i++) RemoveEntryList(&waiter->blocks[i].entry);
}

}  // namespace

std::mutex &KiDispatcherLock() { return g_dispatcherLock; }

thread_local constinit KiThreadState t_kiThreadState KI_STATIC_TLS;
std::atomic<unsigned> g_kiMachineGeneration{0};

KiThreadState &KiResetThreadState() {
    t_kiThreadState = KiThreadState{};
    t_kiThreadState.generation = g_kiMachineGeneration.load(std::memory_order_acquire);
    t_implicitThread.isSystemThread = false;
    t_kiThreadState.thread = &t_implicitThread;
    return t_kiThreadState;
}

void KiSetIrql(KIRQL irql) { KiCurrentThreadState().irql = irql; }

void KeStartClockAndDispatcher(bool manualClock) {
    ++g_kiMachineGeneration;
    ClockStart(manualClock);
}

// The waiters are offered the object in the order they began to wait. A
// synchronization object goes to the first one it satisfies; a notification object
// satisfies every one it can. A wait-all waiter whose other objects are not signalled
// stays, and the object passes on to the next.
void KiSignalObject(PDISPATCHER_HEADER header) {
    PLIST_ENTRY list = &header->WaitListHead;
    KiSetSignalState(header, 1);
    PLIST_ENTRY entry = list->Flink;
    while (entry != list && header->SignalState > 0) {
        Waiter *waiter = CONTAINING_RECORD(entry, WaitBlock, entry)->waiter;
        if (!TrySatisfy(waiter)) {
            entry = entry->Flink;
            continue;
        }
        // The waiter leaves every list it was on, possibly more than one entry of
        // this one, so the walk starts over.
        UnlinkBlocks(waiter);
        waiter->satisfied = true;
        waiter->satisfiedAt = HostClock::now();
        waiter->wake.notify_one();
        entry = list->Flink;
    }
}

size_t MachineBlockedThreads() {
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    return g_blockedThreads;
}

size_t MachineWaitsBegun() {
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    return g_waitsBegun;
}

void KiWakeExpiredWaiters() {
    ULONGLONG now = ClockInterruptTime();
    for (Waiter *waiter : g_timedWaiters)
        if (waiter->deadline <= now) waiter->wake.notify_one();
}

void KeCheckIrql(KIRQL maximum, const char *routine, const void *caller) {
    KeCheckIrqlOf(KiCurrentThreadState().irql, maximum, routine, caller);
}

namespace {

// KeWaitForHeaders; when the thread slept and a signal woke it, `signalledAt` gets the
// host time of the signal.
NTSTATUS WaitForHeaders(PDISPATCHER_HEADER *headers, size_t count, bool waitAll,
                        ULONGLONG deadline, const void *caller, HostClock::time_point *signalledAt) {
    KIRQL irql = KiCurrentThreadState().irql;
    if (irql > APC_LEVEL && deadline != 0)
        VerifierStop("WAIT_AT_DISPATCH_LEVEL", caller,
                     "a wait that can block was made at IRQL %u", irql);
    // The common wait on one object (or none) needs no allocation.
    WaitBlock single;
    std::vector<WaitBlock> several(count > 1 ? count : 0);
    WaitBlock *blocks = count > 1 ? several.data() : &single;
    Waiter waiter;
    waiter.blocks = blocks;
    waiter.count = count;
    waiter.waitAll = waitAll;
    waiter.deadline = deadline;
    std::unique_lock<std::mutex> lock(g_dispatcherLock);
    for (size_t i = 0; i < count; i++) {
        CheckInitialized(headers[i], caller);
        blocks[i].object = headers[i];
        blocks[i].waiter = &waiter;
    }
    if (count > 0 && TrySatisfy(&waiter)) return STATUS_WAIT_0 + NTSTATUS(waiter.satisfiedIndex);
    if (deadline == 0 || (deadline != KE_WAIT_FOREVER && ClockInterruptTime() >= deadline))
        return STATUS_TIMEOUT;

    for (size_t i = 0; i < count; i++) InsertTailList(&headers[i]->WaitListHead, &blocks[i].entry);
    bool timed = deadline != KE_WAIT_FOREVER;
    if (timed) g_timedWaiters.insert(&waiter);
    ++g_blockedThreads;
    ++g_waitsBegun;
    NTSTATUS status = STATUS_SUCCESS;
    for (;;) {
        if (waiter.satisfied) {
            status = STATUS_WAIT_0 + NTSTATUS(waiter.satisfiedIndex);
            break;
        }
        if (timed && ClockInterruptTime() >= deadline) {
            UnlinkBlocks(&waiter);
            status = STATUS_TIMEOUT;
            break;
        }
        if (timed && !ClockIsManual())
            waiter.wake.wait_until(lock, ClockRealTimePoint(deadline));
        else
            waiter.wake.wait(lock);
    }
    if (timed) g_timedWaiters.erase(&waiter);
    --g_blockedThreads;
    if (waiter.satisfied && signalledAt != nullptr) *signalledAt = waiter.satisfiedAt;
    return status;
}

}  // namespace

NTSTATUS KeWaitForHeaders(PDISPATCHER_HEADER *headers, size_t count, bool waitAll,
                          ULONGLONG deadline, const void *caller) {
    return WaitForHeaders(headers, count, waitAll, deadline, caller, nullptr);
}

NTSTATUS KeWaitForHeader(PDISPATCHER_HEADER header, ULONGLONG deadline, const void *caller) {
    return KeWaitForHeaders(&header, header != nullptr ? 1 : 0, false, deadline, caller);
}

NTSTATUS KeWaitForHeaderWatchingFirst(PDISPATCHER_HEADER header, ULONGLONG deadline,
                                     const void *caller) {
    // A poll, or a deadline already passed, is not watched.
    if (deadline == 0 || (deadline != KE_WAIT_FOREVER && ClockInterruptTime() >= deadline))
        return KeWaitForHeader(header, deadline, caller);
    // A wait that can block is checked before the watch, so that an object signalled
    // during the watch does not hide a wait made at the wrong level.
    KIRQL irql = KiCurrentThreadState().irql;
    if (irql > APC_LEVEL)
        VerifierStop("WAIT_AT_DISPATCH_LEVEL", caller,
                     "a wait that can block was made at IRQL %u", irql);
    // The watch is host time, far below a timeout's millisecond, so it runs on the
    // manual clock too.
    auto start = HostClock::now();
    auto until = start + t_watch;
    do {
        // The clock is read once every few looks: reading it costs more than a look.
        for (int look = 0; look < 8; look++) {
            if (__atomic_load_n(&header->SignalState, __ATOMIC_RELAXED) > 0 &&
                KeWaitForHeader(header, 0, caller) == STATUS_SUCCESS)
                return STATUS_SUCCESS;
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }
        // The thread that will signal may be waiting for this very processor (more
        // threads than processors): it gets the processor now rather than after the
        // watch. With nobody waiting for it the yield returns at once.
        std::this_thread::yield();
    } while (HostClock::now() < until);
    HostClock::time_point signalledAt;
    NTSTATUS status = WaitForHeaders(&header, 1, false, deadline, caller, &signalledAt);
    if (signalledAt != HostClock::time_point()) {
        // A signal that came within a few sleeps and wake-ups keeps the full watch (the
        // other thread was running, or asleep itself); one that came much later, as on
        // a machine so busy that the signalling thread is often not running, halves it,
        // down to sleeping at once: watching then only takes the processor from the
        // thread it waits for.
        t_watch = signalledAt - start <= kLateSignal ? kLongestWatch : t_watch / 2;
    }
    return status;
}

// ---------------------------------------------------------------------------
// Events

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = Type == NotificationEvent ? EventNotificationObject
                                                   : EventSynchronizationObject;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(DISPATCH_LEVEL, "KeSetEvent", caller);
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    CheckInitialized(&Event->Header, caller);
    LONG previous = Event->Header.SignalState;
    KiSignalObject(&Event->Header);
    return previous;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(DISPATCH_LEVEL, "KeResetEvent", caller);
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    CheckInitialized(&Event->Header, caller);
    LONG previous = Event->Header.SignalState;
    KiSetSignalState(&Event->Header, 0);
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
    const void *caller = __builtin_return_address(0);
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    CheckInitialized(&Event->Header, caller);
    KiSetSignalState(&Event->Header, 0);
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    CheckInitialized(&Event->Header, __builtin_return_address(0));
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    const void *caller = __builtin_return_address(0);
    if (Object == nullptr)
        VerifierStop("OBJECT_NOT_INITIALIZED", caller, "KeWaitForSingleObject on a null object");
    ULONGLONG deadline =
        Timeout == nullptr ? KE_WAIT_FOREVER : ClockDeadlineFromTimeout(Timeout->QuadPart);
    return KeWaitForHeader(static_cast<PDISPATCHER_HEADER>(Object), deadline, caller);
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(APC_LEVEL, "KeDelayExecutionThread", caller);
    KeWaitForHeader(nullptr, ClockDeadlineFromTimeout(Interval->QuadPart), caller);
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    CurrentTime->QuadPart = LONGLONG(ClockSystemTime());
}

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return ClockInterruptTime(); }

}  // extern "C"
