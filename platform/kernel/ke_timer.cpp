// Timers and DPCs. One DPC thread runs queued DPCs in order at DISPATCH_LEVEL.
// With the real clock a timer thread fires due timers; with the manual clock the
// thread that advances the clock fires them, one at a time in due order, and waits
// for the DPCs of each before the next, so that tests see one deterministic order.
#include "clock.h"
#include "ke_internal.h"
#include "machine.h"
#include "verifier.h"

#include <condition_variable>
#include <map>
#include <thread>

namespace {

// Armed timers by due time; equal due times keep the order in which they were set.
std::multimap<ULONGLONG, PKTIMER> g_timers;
LIST_ENTRY g_dpcQueue;
bool g_dpcRunning;
bool g_stopping;
std::condition_variable g_dpcQueued;   // wakes the DPC thread
std::condition_variable g_dpcIdle;     // wakes MachineFlushDpcs
std::condition_variable g_timersChanged;  // wakes the real-clock timer thread
std::thread g_dpcThread;
std::thread g_timerThread;

void RemoveTimer(PKTIMER timer) {
    auto range = g_timers.equal_range(timer->DueTime.QuadPart);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == timer) {
            g_timers.erase(it);
            break;
        }
    }
    timer->Header.Inserted = FALSE;
}

void InsertTimer(PKTIMER timer, ULONGLONG due) {
    timer->DueTime.QuadPart = due;
    timer->Header.Inserted = TRUE;
    g_timers.emplace(due, timer);
    g_timersChanged.notify_one();
}

// With the dispatcher lock held: the earliest timer expires at its due time.
void FireEarliestTimer() {
    auto it = g_timers.begin();
    PKTIMER timer = it->second;
    ULONGLONG due = it->first;
    g_timers.erase(it);
    timer->Header.Inserted = FALSE;
    KiSignalObject(&timer->Header);
    if (timer->Period != 0) InsertTimer(timer, due + ULONGLONG(timer->Period) * CLOCK_UNITS_PER_MS);
    if (timer->Dpc != nullptr) {
        ULONGLONG systemTime = ClockSystemTime();
        KiInsertQueueDpc(timer->Dpc, reinterpret_cast<PVOID>(ULONG_PTR(ULONG(systemTime))),
                         reinterpret_cast<PVOID>(ULONG_PTR(ULONG(systemTime >> 32))));
    }
}

void DpcThread() {
    KiSetIrql(DISPATCH_LEVEL);
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    for (;;) {
        while (!g_stopping && IsListEmpty(&g_dpcQueue)) g_dpcQueued.wait(lock);
        if (g_stopping) return;
        PKDPC dpc = CONTAINING_RECORD(RemoveHeadList(&g_dpcQueue), KDPC, DpcListEntry);
        dpc->DpcData = nullptr;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext;
        PVOID argument1 = dpc->SystemArgument1;
        PVOID argument2 = dpc->SystemArgument2;
        g_dpcRunning = true;
        lock.unlock();
        routine(dpc, context, argument1, argument2);
        KIRQL irql = KiCurrentThreadState().irql;
        if (irql != DISPATCH_LEVEL)
            VerifierStop("DPC_RETURNED_AT_WRONG_IRQL", reinterpret_cast<const void *>(routine),
                         "a DPC routine returned at IRQL %u", irql);
        lock.lock();
        g_dpcRunning = false;
        if (IsListEmpty(&g_dpcQueue)) g_dpcIdle.notify_all();
    }
}

void TimerThread() {
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    while (!g_stopping) {
        if (g_timers.empty()) {
            g_timersChanged.wait(lock);
            continue;
        }
        ULONGLONG due = g_timers.begin()->first;
        if (ClockInterruptTime() >= due)
            FireEarliestTimer();
        else
            g_timersChanged.wait_until(lock, ClockRealTimePoint(due));
    }
}

void FlushDpcsLocked(std::unique_lock<std::mutex> &lock) {
    while (!IsListEmpty(&g_dpcQueue) || g_dpcRunning) g_dpcIdle.wait(lock);
}

}  // namespace

BOOLEAN KiInsertQueueDpc(PRKDPC dpc, PVOID argument1, PVOID argument2) {
    if (dpc->DpcData != nullptr) return FALSE;
    dpc->SystemArgument1 = argument1;
    dpc->SystemArgument2 = argument2;
    dpc->DpcData = &g_dpcQueue;
    InsertTailList(&g_dpcQueue, &dpc->DpcListEntry);
    g_dpcQueued.notify_one();
    return TRUE;
}

void KeStartTimersAndDpcs(bool manualClock) {
    g_stopping = false;
    g_dpcRunning = false;
    InitializeListHead(&g_dpcQueue);
    g_dpcThread = std::thread(DpcThread);
    if (!manualClock) g_timerThread = std::thread(TimerThread);
}

// Armed timers are disarmed and queued DPCs dropped: their owners' images are gone.
void KeStopTimersAndDpcs() {
    {
        std::lock_guard<std::mutex> lock(KiDispatcherLock());
        g_stopping = true;
        g_dpcQueued.notify_all();
        g_timersChanged.notify_all();
    }
    g_dpcThread.join();
    if (g_timerThread.joinable()) g_timerThread.join();
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    for (auto &entry : g_timers) entry.second->Header.Inserted = FALSE;
    g_timers.clear();
    while (!IsListEmpty(&g_dpcQueue))
        CONTAINING_RECORD(RemoveHeadList(&g_dpcQueue), KDPC, DpcListEntry)->DpcData = nullptr;
}

void MachineAdvanceClock(ULONGLONG hundredNanoseconds) {
    if (!ClockIsManual())
        VerifierStop("CLOCK_NOT_MANUAL", __builtin_return_address(0),
                     "MachineAdvanceClock on a machine with the real clock");
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    ULONGLONG target = ClockInterruptTime() + hundredNanoseconds;
    while (!g_timers.empty() && g_timers.begin()->first <= target) {
        ULONGLONG due = g_timers.begin()->first;
        if (due > ClockInterruptTime()) ClockSetManualTime(due);
        KiWakeExpiredWaiters();
        FireEarliestTimer();
        FlushDpcsLocked(lock);
    }
    ClockSetManualTime(target);
    KiWakeExpiredWaiters();
}

void MachineAdvanceClockMs(ULONGLONG milliseconds) {
    MachineAdvanceClock(milliseconds * CLOCK_UNITS_PER_MS);
}

void MachineFlushDpcs() {
    std::unique_lock<std::mutex> lock(KiDispatcherLock());
    FlushDpcsLocked(lock);
}

extern "C" {

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    Timer->Header.Type =
        Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject;
    Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
    Timer->Header.Inserted = FALSE;
    Timer->Header.SignalState = 0;
    InitializeListHead(&Timer->Header.WaitListHead);
    Timer->DueTime.QuadPart = 0;
    Timer->Dpc = nullptr;
    Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    const void *caller = __builtin_return_address(0);
    KeCheckIrql(DISPATCH_LEVEL, "KeSetTimer", caller);
    if (Timer->Header.WaitListHead.Flink == nullptr)
        VerifierStop("OBJECT_NOT_INITIALIZED", caller, "KeSetTimer on an uninitialized timer %p",
                     static_cast<void *>(Timer));
    if (Period < 0)
        VerifierStop("INVALID_PARAMETER", caller, "KeSetTimerEx with a negative period");
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    BOOLEAN wasArmed = Timer->Header.Inserted;
    if (wasArmed) RemoveTimer(Timer);
    KiSetSignalState(&Timer->Header, 0);
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    InsertTimer(Timer, ClockDeadlineFromTimeout(DueTime.QuadPart));
    return wasArmed;
}

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    KeCheckIrql(DISPATCH_LEVEL, "KeCancelTimer", __builtin_return_address(0));
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    BOOLEAN wasArmed = Timer->Header.Inserted;
    if (wasArmed) RemoveTimer(Timer);
    return wasArmed;
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    return Timer->Header.SignalState > 0;
}

VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->Type = 19;  // DpcObject
    Dpc->Number = 0;
    Dpc->Importance = MediumImportance;
    Dpc->DpcListEntry.Flink = Dpc->DpcListEntry.Blink = nullptr;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    const void *caller = __builtin_return_address(0);
    if (Dpc->DeferredRoutine == nullptr)
        VerifierStop("OBJECT_NOT_INITIALIZED", caller, "KeInsertQueueDpc on an uninitialized DPC");
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    return KiInsertQueueDpc(Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    std::lock_guard<std::mutex> lock(KiDispatcherLock());
    if (Dpc->DpcData == nullptr) return FALSE;
    RemoveEntryList(&Dpc->DpcListEntry);
    Dpc->DpcData = nullptr;
    // Emptying the queue this way must wake MachineFlushDpcs as running the DPC would.
    if (!g_dpcRunning && IsListEmpty(&g_dpcQueue)) g_dpcIdle.notify_all();
    return TRUE;
}

}  // extern "C"
