// Timers, DPCs and timed waits on the manual clock.
#include "machine_test.h"

#include <wdm.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr LONGLONG kMs = -10000;  // relative due times are negative 100 ns units

LARGE_INTEGER Relative(LONGLONG ms) {
    LARGE_INTEGER due;
    due.QuadPart = ms * kMs;
    return due;
}

// Each DPC appends its tag, with the clock at the moment it ran.
struct Recorder {
    std::mutex lock;
    std::vector<std::pair<int, ULONGLONG>> fired;
};

struct TimedDpc {
    KTIMER timer;
    KDPC dpc;
    int tag;
    Recorder *recorder;
};

VOID NTAPI RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto *entry = static_cast<TimedDpc *>(context);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    std::lock_guard<std::mutex> lock(entry->recorder->lock);
    entry->recorder->fired.emplace_back(entry->tag, KeQueryInterruptTime());
}

void Prepare(TimedDpc *entry, int tag, Recorder *recorder) {
    entry->tag = tag;
    entry->recorder = recorder;
    KeInitializeTimer(&entry->timer);
    KeInitializeDpc(&entry->dpc, RecordDpc, entry);
}

using TimerTest = MachineTest;

TEST_F(TimerTest, DueTimersFireInDueOrderEachAtItsOwnTime) {
    Recorder recorder;
    TimedDpc entries[4];
    for (int i = 0; i < 4; ++i) Prepare(&entries[i], i, &recorder);
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&entries[0].timer, Relative(30), &entries[0].dpc);
    KeSetTimer(&entries[1].timer, Relative(10), &entries[1].dpc);
    KeSetTimer(&entries[2].timer, Relative(20), &entries[2].dpc);
    KeSetTimer(&entries[3].timer, Relative(10), &entries[3].dpc);  // ties keep the order set

    MachineAdvanceClockMs(9);
    EXPECT_TRUE(recorder.fired.empty());
    MachineAdvanceClockMs(21);  // the call returns after the DPCs ran

    ASSERT_EQ(recorder.fired.size(), 4u);
    std::vector<int> order;
    for (auto &fired : recorder.fired) order.push_back(fired.first);
    EXPECT_EQ(order, (std::vector<int>{1, 3, 2, 0}));
    EXPECT_EQ(recorder.fired[0].second - start, 10 * 10000u);
    EXPECT_EQ(recorder.fired[2].second - start, 20 * 10000u);
    EXPECT_EQ(recorder.fired[3].second - start, 30 * 10000u);
    EXPECT_EQ(KeQueryInterruptTime() - start, 30 * 10000u);
}

TEST_F(TimerTest, RearmingReplacesTheDueTimeAndCancelDisarms) {
    Recorder recorder;
    TimedDpc entry;
    Prepare(&entry, 7, &recorder);
    EXPECT_FALSE(KeSetTimer(&entry.timer, Relative(10), &entry.dpc));
    EXPECT_TRUE(KeSetTimer(&entry.timer, Relative(50), &entry.dpc));  // was armed
    MachineAdvanceClockMs(40);
    EXPECT_TRUE(recorder.fired.empty());
    EXPECT_TRUE(KeCancelTimer(&entry.timer));
    EXPECT_FALSE(KeCancelTimer(&entry.timer));  // harmless when not armed
    MachineAdvanceClockMs(100);
    EXPECT_TRUE(recorder.fired.empty());
    EXPECT_FALSE(KeReadStateTimer(&entry.timer));
}

// A DPC that a timer already queued runs even if the timer is cancelled after it
// fired: KeCancelTimer only disarms. Drivers must cope with that late DPC.
struct BlockedDpc {
    KDPC dpc;
    KEVENT release;
    std::atomic<int> runs{0};
};

VOID NTAPI BlockingDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto *blocked = static_cast<BlockedDpc *>(context);
    LARGE_INTEGER zero{};
    // Spin at DISPATCH_LEVEL (only zero-timeout waits are allowed here).
    while (KeWaitForSingleObject(&blocked->release, Executive, KernelMode, FALSE, &zero) ==
           STATUS_TIMEOUT)
        std::this_thread::yield();
    ++blocked->runs;
}

TEST_F(TimerTest, CancelTimerDoesNotRemoveAnAlreadyQueuedDpc) {
    // Occupy the DPC thread so that the timer's DPC stays queued.
    BlockedDpc blocker;
    KeInitializeEvent(&blocker.release, NotificationEvent, FALSE);
    KeInitializeDpc(&blocker.dpc, BlockingDpc, &blocker);
    ASSERT_TRUE(KeInsertQueueDpc(&blocker.dpc, nullptr, nullptr));

    Recorder recorder;
    TimedDpc entry;
    Prepare(&entry, 1, &recorder);
    KeSetTimer(&entry.timer, Relative(5), &entry.dpc);
    std::thread advancer([] { MachineAdvanceClockMs(5); });
    // The timer fires and queues its DPC behind the blocker.
    ASSERT_TRUE(Eventually([&] { return KeReadStateTimer(&entry.timer) != FALSE; }));
    EXPECT_FALSE(KeCancelTimer(&entry.timer));             // no longer armed
    EXPECT_FALSE(KeInsertQueueDpc(&entry.dpc, nullptr, nullptr));  // still queued
    KeSetEvent(&blocker.release, 0, FALSE);
    advancer.join();
    EXPECT_EQ(blocker.runs.load(), 1);
    ASSERT_EQ(recorder.fired.size(), 1u);  // ran once, despite the cancel and the re-insert
}

TEST_F(TimerTest, RemovedDpcDoesNotRun) {
    BlockedDpc blocker;
    KeInitializeEvent(&blocker.release, NotificationEvent, FALSE);
    KeInitializeDpc(&blocker.dpc, BlockingDpc, &blocker);
    KeInsertQueueDpc(&blocker.dpc, nullptr, nullptr);
    Recorder recorder;
    TimedDpc entry;
    Prepare(&entry, 1, &recorder);
    ASSERT_TRUE(KeInsertQueueDpc(&entry.dpc, nullptr, nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&entry.dpc));
    EXPECT_FALSE(KeRemoveQueueDpc(&entry.dpc));
    KeSetEvent(&blocker.release, 0, FALSE);
    MachineFlushDpcs();
    EXPECT_TRUE(recorder.fired.empty());
}

// A DPC that re-arms its own timer within the advanced interval fires again in the
// same call, each time at its due time.
struct Rearming {
    KTIMER timer;
    KDPC dpc;
    std::vector<ULONGLONG> times;
};

VOID NTAPI RearmDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto *self = static_cast<Rearming *>(context);
    self->times.push_back(KeQueryInterruptTime());
    if (self->times.size() < 3) KeSetTimer(&self->timer, Relative(7), &self->dpc);
}

TEST_F(TimerTest, DpcThatRearmsItsTimerFiresAgainWithinOneAdvance) {
    Rearming self;
    KeInitializeTimer(&self.timer);
    KeInitializeDpc(&self.dpc, RearmDpc, &self);
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&self.timer, Relative(7), &self.dpc);
    MachineAdvanceClockMs(100);
    ASSERT_EQ(self.times.size(), 3u);
    EXPECT_EQ(self.times[2] - start, 21 * 10000u);
}

TEST_F(TimerTest, PeriodicTimerFiresEveryPeriod) {
    Recorder recorder;
    TimedDpc entry;
    Prepare(&entry, 0, &recorder);
    KeSetTimerEx(&entry.timer, Relative(10), 5, &entry.dpc);
    MachineAdvanceClockMs(26);
    EXPECT_EQ(recorder.fired.size(), 4u);  // 10, 15, 20, 25
    KeCancelTimer(&entry.timer);
    MachineAdvanceClockMs(50);
    EXPECT_EQ(recorder.fired.size(), 4u);
}

using TimedWaitTest = MachineTest;

TEST_F(TimedWaitTest, WaitTimesOutExactlyAtItsDeadlineOnTheManualClock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::atomic<ULONGLONG> wokeAt{0};
    // 49 days: a timeout that must take no host time.
    const LONGLONG fortyNineDaysMs = 49LL * 24 * 3600 * 1000;
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(fortyNineDaysMs);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        wokeAt = KeQueryInterruptTime();
    });
    ASSERT_TRUE(Eventually([] { return MachineBlockedThreads() == 1; }));
    MachineAdvanceClockMs(fortyNineDaysMs - 1);
    // Still waiting one millisecond before the deadline.
    EXPECT_EQ(result.load(), STATUS_PENDING);
    MachineAdvanceClockMs(1);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    EXPECT_EQ(wokeAt.load(), ULONGLONG(fortyNineDaysMs) * 10000);
}

TEST_F(TimedWaitTest, SignalBeforeTheDeadlineEndsTheWaitWithSuccess) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(1000);
        result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    });
    ASSERT_TRUE(Eventually([] { return MachineBlockedThreads() == 1; }));
    MachineAdvanceClockMs(999);
    KeSetEvent(&event, 0, FALSE);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);  // the satisfied wait consumed the signal
}

TEST_F(TimedWaitTest, ZeroTimeoutPollsAndDelayRunsOnTheClock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    std::thread sleeper([&] {
        LARGE_INTEGER interval = Relative(250);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        done = true;
    });
    ASSERT_TRUE(Eventually([] { return MachineBlockedThreads() == 1; }));
    MachineAdvanceClockMs(249);
    EXPECT_FALSE(done.load());
    MachineAdvanceClockMs(1);
    sleeper.join();
    EXPECT_TRUE(done.load());
}

TEST_F(TimedWaitTest, NotificationTimerIsWaitable) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, Relative(10), nullptr);
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    std::thread waiter([&] {
        result = KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
    });
    MachineAdvanceClockMs(10);
    waiter.join();
    EXPECT_EQ(result.load(), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer));  // a notification timer stays signalled
}

}  // namespace
