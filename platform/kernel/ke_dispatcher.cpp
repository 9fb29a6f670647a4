// Dispatcher objects and waits: events, timers and threads signalled under the one
// dispatcher lock; each waiter has a wait block on the object's wait list, so that a
// signal satisfies the waiters present at that moment, as on Windows (a set followed
// at once by a reset still releases them).
#include "clock.h"
#include "ke_internal.h"
#include "machine.h"
#include "verifier.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <unordered_set>

namespace {

std::mutex g_dispatcherLock;
thread_local _KTHREAD t_implicitThread KI_STATIC_TLS;

struct WaitBlock {
    LIST_ENTRY entry;  // in the object's WaitListHead; unused for a pure delay
    PDISPATCHER_HEADER object;
    ULONGLONG deadline;
    bool satisfied = false;
    std::chrono::steady_clock::time_point satisfiedAt;  // host time of the signal
    std::condition_variable wake;
};

using HostClock = std::chrono::steady_clock;

void Satisfy(WaitBlock *block) {
    block->satisfied = true;
    block->satisfiedAt = HostClock::now();
    block->wake.notify_one();
}

// The longest a thread watches an object before it sleeps: about what a host thread's
// sleep and wake-up cost. Each thread adapts its own watch below that to how soon its
// recent waits were signalled (see KeWaitForHeaderWatchingFirst).
constexpr std::chrono::nanoseconds kLongestWatch = std::chrono::microseconds(20);
thread_local constinit std::chrono::nanoseconds t_watch KI_STATIC_TLS = kLongestWatch;

// Waiters with a deadline, so that the clock can wake them when it passes.
std::unordered_set<WaitBlock *> g_timedWaiters;
size_t g_blockedThreads;

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

void KiSignalObject(PDISPATCHER_HEADER header) {
    PLIST_ENTRY list = &header->WaitListHead;
    if (IsSynchronizationType(header->Type)) {
        if (IsListEmpty(list)) {
            KiSetSignalState(header, 1);
            return;
        }
        Satisfy(CONTAINING_RECORD(RemoveHeadList(list), WaitBlock, entry));
        KiSetSignalState(header, 0);
        return;
    }
    KiSetSignalState(header, 1);
    while (!IsListEmpty(list))
        Satisfy(CONTAINING_RECORD(RemoveHeadList(list), WaitBlock, entry));
}

size_t MachineBlockedThreads() {
    std::lock_guard<std::mutex> lock(g_dispatcherLock);
    return g_blockedThreads;
}

void KiWakeExpiredWaiters() {
    ULONGLONG now = ClockInterruptTime();
    for (WaitBlock *block : g_timedWaiters)
        if (block->deadline <= now) block->wake.notify_one();
}

void KeCheckIrql(KIRQL maximum, const char *routine, const void *caller) {
    KIRQL irql = KiCurrentThreadState().irql;
    if (irql > maximum)
        VerifierStop("IRQL_NOT_LESS_OR_EQUAL", caller, "%s called at IRQL %u (maximum %u)", routine,
                     irql, maximum);
}

namespace {

// KeWaitForHeader; when the thread slept and a signal woke it, `signalledAt` gets the
// host time of the signal.
NTSTATUS WaitForHeader(PDISPATCHER_HEADER header, ULONGLONG deadline, const void *caller,
                       HostClock::time_point *signalledAt) {
    KIRQL irql = KiCurrentThreadState().irql;
    if (irql > APC_LEVEL && deadline != 0)
        VerifierStop("WAIT_AT_DISPATCH_LEVEL", caller,
                     "a wait that can block was made at IRQL %u", irql);
    std::unique_lock<std::mutex> lock(g_dispatcherLock);
    if (header != nullptr) CheckInitialized(header, caller);
    if (header != nullptr && header->SignalState > 0) {
        if (IsSynchronizationType(header->Type)) KiSetSignalState(header, 0);
        return STATUS_SUCCESS;
    }
    if (deadline == 0 || (deadline != KE_WAIT_FOREVER && ClockInterruptTime() >= deadline))
        return STATUS_TIMEOUT;

    WaitBlock block;
    block.object = header;
    block.deadline = deadline;
    if (header != nullptr) InsertTailList(&header->WaitListHead, &block.entry);
    bool timed = deadline != KE_WAIT_FOREVER;
    if (timed) g_timedWaiters.insert(&block);
    ++g_blockedThreads;
    NTSTATUS status = STATUS_SUCCESS;
    for (;;) {
        if (block.satisfied) break;
        if (timed && ClockInterruptTime() >= deadline) {
            if (header != nullptr) RemoveEntryList(&block.entry);
            status = STATUS_TIMEOUT;
            break;
        }
        if (timed && !ClockIsManual())
            block.wake.wait_until(lock, ClockRealTimePoint(deadline));
        else
            block.wake.wait(lock);
    }
    if (timed) g_timedWaiters.erase(&block);
    --g_blockedThreads;
    if (status == STATUS_SUCCESS && signalledAt != nullptr) *signalledAt = block.satisfiedAt;
    return status;
}

}  // namespace

NTSTATUS KeWaitForHeader(PDISPATCHER_HEADER header, ULONGLONG deadline, const void *caller) {
    return WaitForHeader(header, deadline, caller, nullptr);
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
    } while (HostClock::now() < until);
    HostClock::time_point signalledAt;
    NTSTATUS status = WaitForHeader(header, deadline, caller, &signalledAt);
    if (signalledAt != HostClock::time_point()) {
        // A signal that came soon after the watch gave up asks for a longer watch; one
        // that came later than the longest watch, as on a machine so busy that the
        // signalling thread is often not running, for a shorter one, down to sleeping
        // at once: watching then only takes the processor from the thread it waits for.
        auto delay = signalledAt - start;
        t_watch = delay <= kLongestWatch ? std::min(kLongestWatch, delay + delay / 2) : t_watch / 2;
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
