// Read and write timeouts on the machine's manual clock, and cancellation: which rule
// ends a request, when to the millisecond, with which status and byte count, and that
// a request becoming the head of its queue gets a timer of its own.
#include "datapath_fixture.h"

#include <thread>

class DataPathTimeoutTest : public OpenPairTest {
protected:
    // Fills A's transmit ring and B's receive ring, so that A's next write waits.
    void FillBothRings() {
        EXPECT_EQ(WriteNow(a_, Pattern(8192)), 8192u);
    }

};

TEST_F(DataPathTimeoutTest, IntervalTimeoutEndsAReadThirtyMillisecondsAfterTheInterval) {
    ASSERT_TRUE(SetTimeouts(b_, 50, 0, 0));
    Overlapped read;
    StartRead(b_, read, 100);
    // Before the first byte nothing runs: the read waits without limit.
    MachineAdvanceClockMs(100000);
    EXPECT_FALSE(read.Done());

    EXPECT_EQ(WriteNow(a_, Pattern(10)), 10u);
    MachineAdvanceClockMs(60);
    // A further delivery restarts the interval.
    EXPECT_EQ(WriteNow(a_, Pattern(5, 10 * 7)), 5u);
    ASSERT_TRUE(TimesOutAfter(read, 80));
    EXPECT_EQ(read.Bytes(), 15u);
    read.data.resize(15);
    EXPECT_EQ(read.data, Pattern(15));
}

TEST_F(DataPathTimeoutTest, TotalTimeoutCountsFromTheReadsOwnLengthAndStopsTheIntervalTimer) {
    ASSERT_TRUE(SetTimeouts(b_, 0, 10, 100));
    Overlapped read;
    StartRead(b_, read, 20);
    ASSERT_TRUE(TimesOutAfter(read, 300));
    EXPECT_EQ(read.Bytes(), 0u);

    // Both set: the total (100 + 2 x 10 = 120 ms) comes first; the interval timer
    // armed by the delivery at 100 ms must not end the next read.
    ASSERT_TRUE(SetTimeouts(b_, 200, 10, 100));
    Overlapped both, next;
    StartRead(b_, both, 2);
    MachineAdvanceClockMs(100);
    EXPECT_EQ(WriteNow(a_, Pattern(1)), 1u);
    MachineAdvanceClockMs(20);
    ASSERT_TRUE(both.Done());
    EXPECT_EQ(both.Bytes(), 1u);
    ASSERT_TRUE(SetTimeouts(b_, 200, 0, 0));
    StartRead(b_, next, 1);
    MachineAdvanceClockMs(229);
    EXPECT_FALSE(next.Done());
    CancelIo(b_);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.Status(), STATUS_CANCELLED);
}

TEST_F(DataPathTimeoutTest, MaximalValuesAreAVeryLongWaitNotImmediateReturn) {
    // A multiplier of MAXULONG with a constant of MAXULONG (or an interval below
    // MAXULONG) is a plain product.
    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, kMaxTimeout, kMaxTimeout));
    Overlapped read;
    StartRead(b_, read, 1);
    EXPECT_FALSE(read.Done());
    ASSERT_TRUE(TimesOutAfter(read, 2 * 4294967295ULL));

    ASSERT_TRUE(SetTimeouts(b_, 1000, kMaxTimeout, 10));
    Overlapped interval;
    StartRead(b_, interval, 1);
    ASSERT_TRUE(TimesOutAfter(interval, 4294967295ULL + 10));
}

// Timeouts (MAXULONG, MAXULONG, c) with 0 < c < MAXULONG, as common serial runtimes set
// them: what is waiting comes at once; with nothing waiting the first byte ends the read;
// with no byte within c milliseconds it times out.
TEST_F(DataPathTimeoutTest, MaximalIntervalAndMultiplierReturnOnTheFirstByteOrAfterTheConstant) {
    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, kMaxTimeout, 1000));
    EXPECT_EQ(WriteNow(a_, Pattern(5)), 5u);
    Overlapped waiting;
    StartRead(b_, waiting, 10);
    ASSERT_TRUE(waiting.Done());
    EXPECT_EQ(waiting.Status(), STATUS_SUCCESS);
    EXPECT_EQ(waiting.Bytes(), 5u);

    Overlapped first;
    StartRead(b_, first, 10);
    MachineAdvanceClockMs(999);
    EXPECT_FALSE(first.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(3, 40)), 3u);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Bytes(), 3u);
    EXPECT_EQ(std::vector<BYTE>(first.data.begin(), first.data.begin() + 3), Pattern(3, 40));

    Overlapped none;
    StartRead(b_, none, 10);
    ASSERT_TRUE(TimesOutAfter(none, 1000));
    EXPECT_EQ(none.Bytes(), 0u);
}

// The dispatch itself completes an immediate read: the call returns its bytes at once
// instead of reporting a request in progress.
TEST_F(DataPathTimeoutTest, AnImmediateReadCompletesWithinTheCallWithoutPending) {
    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, 0, 0));
    for (ULONG waiting : {0u, 5u}) {
        if (waiting != 0) {
            EXPECT_EQ(WriteNow(a_, Pattern(waiting)), waiting);
        }
        Overlapped read(10);
        read.port = b_;
        DWORD bytes = 0xFFFF;
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(ReadFile(b_, read.data.data(), 10, &bytes, &read.ov)) << GetLastError();
        EXPECT_EQ(bytes, waiting);
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    }
}

TEST_F(DataPathTimeoutTest, ImmediateReturnHandsOverWhatIsThereEvenNothing) {
    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, 0, 0));
    Overlapped empty;
    StartRead(b_, empty, 10);
    ASSERT_TRUE(empty.Done());
    EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
    EXPECT_EQ(empty.Bytes(), 0u);

    EXPECT_EQ(WriteNow(a_, Pattern(5)), 5u);
    Overlapped five;
    StartRead(b_, five, 10);
    ASSERT_TRUE(five.Done());
    EXPECT_EQ(five.Bytes(), 5u);

    // Reads queued under other timeouts end at the next transfer once the port is in
    // immediate mode.
    ASSERT_TRUE(SetTimeouts(b_, 0, 0, 0));
    Overlapped waiting;
    StartRead(b_, waiting, 10);
    EXPECT_FALSE(waiting.Done());
    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, 0, 0));
    EXPECT_FALSE(waiting.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(3)), 3u);
    ASSERT_TRUE(waiting.Done());
    EXPECT_EQ(waiting.Status(), STATUS_SUCCESS);
    EXPECT_EQ(waiting.Bytes(), 3u);
}

TEST_F(DataPathTimeoutTest, ASecondWritesTimerStartsWhenItBecomesTheHead) {
    ASSERT_TRUE(SetTimeouts(a_, 0, 0, 0, 0, 200));
    FillBothRings();
    Overlapped first, second;
    StartWrite(a_, first, Pattern(100));
    MachineAdvanceClockMs(100);
    StartWrite(a_, second, Pattern(50));
    MachineAdvanceClockMs(100);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(first.Bytes(), 0u);
    ASSERT_TRUE(TimesOutAfter(second, 200));
}

TEST_F(DataPathTimeoutTest, AWriteTimeoutReportsTheBytesThatFitted) {
    ASSERT_TRUE(SetTimeouts(a_, 0, 0, 0, 1, 100));
    EXPECT_EQ(WriteNow(a_, Pattern(8000)), 8000u);
    Overlapped write;
    StartWrite(a_, write, Pattern(300, static_cast<BYTE>(8000 * 7)));
    ASSERT_TRUE(TimesOutAfter(write, 400));
    EXPECT_EQ(write.Bytes(), 192u);
    // The 192 bytes stay in the ring and reach the partner.
    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, 0, 0));
    Overlapped read;
    StartRead(b_, read, 9000);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Bytes(), 8192u);
    read.data.resize(8192);
    EXPECT_EQ(read.data, Pattern(8192));
}

// A cancelled head must take its timer with it: the read behind it counts from the
// moment it becomes the head, and an old timer never ends it.
TEST_F(DataPathTimeoutTest, ACancelledHeadLeavesTheNextReadItsOwnTimer) {
    ASSERT_TRUE(SetTimeouts(b_, 0, 0, 100));
    Overlapped first, second;
    // CancelIo cancels the calling thread's requests only: the first read comes from
    // another thread, which later cancels it.
    std::thread([&] { StartRead(b_, first, 4); }).join();
    MachineAdvanceClockMs(50);
    StartRead(b_, second, 4);
    EXPECT_EQ(WriteNow(a_, Pattern(2)), 2u);
    MachineAdvanceClockMs(10);
    std::thread([&] { CancelIo(b_); }).join();
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);  // cancelled with two bytes, which it reports
    EXPECT_EQ(first.Bytes(), 2u);
    ASSERT_TRUE(TimesOutAfter(second, 100));
    EXPECT_EQ(second.Bytes(), 0u);
}

TEST_F(DataPathTimeoutTest, CloseCancelsBothQueuesAndNoTimerOutlivesItsRequest) {
    ASSERT_TRUE(SetTimeouts(a_, 0, 0, 0, 0, 50));
    FillBothRings();
    Overlapped write, read;
    StartWrite(a_, write, Pattern(10));
    StartRead(a_, read, 10);
    CloseHandle(a_);
    ASSERT_TRUE(write.Done() && read.Done());
    EXPECT_EQ(write.Status(), STATUS_CANCELLED);
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);

    // B still holds 4096 bytes, so after refilling A's new transmit ring a write waits;
    // the cancelled write's 50 ms timer must not end it.
    a_ = OpenPort(0);
    ASSERT_TRUE(SetTimeouts(a_, 0, 0, 0, 0, 0));
    EXPECT_EQ(WriteNow(a_, Pattern(4096)), 4096u);
    Overlapped late;
    StartWrite(a_, late, Pattern(1));
    MachineAdvanceClockMs(1000);
    EXPECT_FALSE(late.Done());
    CancelIo(a_);
    ASSERT_TRUE(late.Done());
    EXPECT_EQ(late.Status(), STATUS_CANCELLED);
}
