// Events, fast mutexes, spin locks and IRQL, and the verifier stops that guard them.
#include "machine_test.h"

#include <ke.h>
#include <wdm.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using EventTest = MachineTest;

NTSTATUS PollEvent(PKEVENT event) {
    LARGE_INTEGER zero{};
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero);
}

TEST_F(EventTest, NotificationStaysSignalledSynchronizationResetsOnASatisfiedWait) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&notification, 0, FALSE), 1);  // previous state
    EXPECT_EQ(PollEvent(&notification), STATUS_SUCCESS);
    EXPECT_EQ(PollEvent(&notification), STATUS_SUCCESS);
    EXPECT_EQ(KeResetEvent(&notification), 1);
    EXPECT_EQ(PollEvent(&notification), STATUS_TIMEOUT);

    KeSetEvent(&synchronization, 0, FALSE);
    KeSetEvent(&synchronization, 0, FALSE);  // several signals count as one
    EXPECT_EQ(PollEvent(&synchronization), STATUS_SUCCESS);
    EXPECT_EQ(PollEvent(&synchronization), STATUS_TIMEOUT);
}

// A signal satisfies the waiters present when it happens, even if the event is reset
// before they run; a synchronization event releases exactly one of them.
TEST_F(EventTest, SignalReleasesPresentWaitersEvenWhenResetAtOnce) {
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr);
            ++released;
        });
    ASSERT_TRUE(Eventually([] { return MachineBlockedThreads() == 3; }));
    KeSetEvent(&notification, 0, FALSE);
    KeResetEvent(&notification);
    for (auto &waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 3);

    waiters.clear();
    released = 0;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr);
            ++released;
        });
    ASSERT_TRUE(Eventually([] { return MachineBlockedThreads() == 2; }));
    KeSetEvent(&synchronization, 0, FALSE);
    ASSERT_TRUE(Eventually([&] { return released.load() == 1; }));
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);  // handed to the waiter, not kept
    EXPECT_EQ(MachineBlockedThreads(), 1u);
    KeSetEvent(&synchronization, 0, FALSE);
    for (auto &waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 2);
}

// A waiter that watches before it sleeps takes a synchronization event's signal exactly
// once, whether the signal comes while it watches or after it has gone to sleep.
TEST_F(EventTest, WatchingWaitersTakeOneSignalEachAndSleepWhenNoneComes) {
    KEVENT synchronization;
    KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
    std::atomic<int> released{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            KeWaitForHeaderWatchingFirst(&synchronization.Header, KE_WAIT_FOREVER, nullptr);
            ++released;
        });
    KeSetEvent(&synchronization, 0, FALSE);
    ASSERT_TRUE(Eventually([&] { return released.load() == 1; }));
    ASSERT_TRUE(Eventually([] { return MachineBlockedThreads() == 1; }));
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    KeSetEvent(&synchronization, 0, FALSE);
    for (auto &waiter : waiters) waiter.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
}

using LockTest = MachineTest;

TEST_F(LockTest, FastMutexExcludesAndRaisesToApcLevel) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;  // guarded by the mutex only
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                ExAcquireFastMutex(&mutex);
                EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
                ++counter;
                ExReleaseFastMutex(&mutex);
                EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            }
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(counter, 8000);

    ExAcquireFastMutex(&mutex);
    std::thread other([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)); });
    other.join();
    ExReleaseFastMutex(&mutex);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
}

// A released fast mutex that a thread sleeps for goes to that thread, and only to it:
// the hand-over leaves nothing behind that would let a later acquirer in as well.
TEST_F(LockTest, ContendedFastMutexIsHandedToItsWaiterOnce) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    size_t blocked = MachineBlockedThreads();
    std::atomic<bool> waiterHolds{false};
    std::atomic<bool> release{false};
    std::thread waiter([&] {
        ExAcquireFastMutex(&mutex);
        waiterHolds = true;
        while (!release) std::this_thread::yield();
        ExReleaseFastMutex(&mutex);
    });
    ASSERT_TRUE(Eventually([&] { return MachineBlockedThreads() == blocked + 1; }));
    EXPECT_EQ(mutex.Count, -1);  // owned, one waiter
    ExReleaseFastMutex(&mutex);
    ASSERT_TRUE(Eventually([&] { return waiterHolds.load(); }));
    EXPECT_EQ(mutex.Contention, 1u);
    std::thread other([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)); });
    other.join();
    release = true;
    waiter.join();
    EXPECT_EQ(mutex.Count, 1);
    EXPECT_EQ(KeReadStateEvent(&mutex.Event), 0);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    ExReleaseFastMutex(&mutex);
}

TEST_F(LockTest, SpinLockExcludesAndRestoresTheLevel) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                ++counter;
                KeReleaseSpinLock(&lock, old);
            }
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        });
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(counter, 8000);

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeAcquireSpinLockAtDpcLevel(&lock);
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

using VerifierDeathTest = MachineTest;

TEST_F(VerifierDeathTest, FastMutexAtDispatchLevelStops) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAcquireFastMutex(&mutex);
        },
        "FAST_MUTEX_ABOVE_APC_LEVEL");
}

// A wait that may block is refused at DISPATCH_LEVEL even when the object is signalled
// while the waiter watches it; a poll is allowed there.
TEST_F(VerifierDeathTest, WatchingWaitAtDispatchLevelStopsEvenWhenSignalled) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeWaitForHeaderWatchingFirst(&event.Header, 0, nullptr), STATUS_SUCCESS);
    EXPECT_DEATH(KeWaitForHeaderWatchingFirst(&event.Header, KE_WAIT_FOREVER, nullptr),
                 "WAIT_AT_DISPATCH_LEVEL");
    KeLowerIrql(old);
}

TEST_F(VerifierDeathTest, RecursiveFastMutexStops) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&mutex);
            ExAcquireFastMutex(&mutex);
        },
        "FAST_MUTEX_RECURSION");
}

TEST_F(VerifierDeathTest, FastMutexReleasedByAnotherThreadStops) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    EXPECT_DEATH(
        {
            ExAcquireFastMutex(&mutex);
            std::thread other([&] { ExReleaseFastMutex(&mutex); });
            other.join();
        },
        "FAST_MUTEX_NOT_OWNED");
}

TEST_F(VerifierDeathTest, CriticalRegionsNestAndAnUnmatchedLeaveStops) {
    KeEnterCriticalRegion();
    KeEnterCriticalRegion();
    EXPECT_EQ(KeCriticalRegionDepth(), 2u);
    KeLeaveCriticalRegion();
    KeLeaveCriticalRegion();
    EXPECT_EQ(KeCriticalRegionDepth(), 0u);
    EXPECT_DEATH(KeLeaveCriticalRegion(), "CRITICAL_REGION_NOT_ENTERED");
}

TEST_F(VerifierDeathTest, SpinLockReleasedWhenNotHeldStops) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            KeReleaseSpinLock(&lock, old);
        },
        "SPIN_LOCK_NOT_OWNED");
}

TEST_F(VerifierDeathTest, BlockingWaitAtDispatchLevelStops) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout;
            timeout.QuadPart = -10000;
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "WAIT_AT_DISPATCH_LEVEL");
}

TEST_F(VerifierDeathTest, StopLineNamesTheCallingImage) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    // The caller is this test program, not the kernel library.
    EXPECT_DEATH(ExReleaseFastMutex(&mutex), "FAST_MUTEX_NOT_OWNED.*caller (k1tests|platform_tests)");
}

TEST_F(VerifierDeathTest, WaitOnAnUninitializedEventStops) {
    KEVENT event{};
    EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                 "OBJECT_NOT_INITIALIZED");
}

}  // namespace
