// A write that meets a pending read of the partner while both rings are empty: its bytes
// go straight from the write to the read, and nothing an application can see differs
// from their way through the two rings (bytes, counts, completions, timers, events).
#include "serial_fixture.h"

class DataPathHandOverTest : public SerialTest {
protected:
    static void ExpectRingsEmpty(HANDLE writer, HANDLE reader) {
        EXPECT_EQ(Get<SERIAL_STATUS>(writer, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 0u);
        EXPECT_EQ(Get<SERIAL_STATUS>(reader, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 0u);
    }
};

// The receive events of a pass: SERIAL_EV_RX80FULL only for a chunk that fills the
// receive ring to its 80 % mark (3276 of 4096 bytes), SERIAL_EV_RXFLAG for the event
// character wherever it lies, SERIAL_EV_RXCHAR always.
TEST_F(DataPathHandOverTest, APendingReadGetsTheBytesCountsAndEventsOfTheRingPath) {
    SERIAL_CHARS chars = {0, 0, 0, 0x0D, 0x0B, 0x0D};
    ASSERT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)).status, STATUS_SUCCESS);
    const size_t kNoFlag = ~size_t(0);
    struct Case {
        size_t length;
        ULONG mask;
        ULONG raised;   // 0: the wait stays pending
        size_t flagAt;  // where the event character is, if anywhere
    };
    const Case cases[] = {
        {4096, SERIAL_EV_RX80FULL, SERIAL_EV_RX80FULL, kNoFlag},
        {3276, SERIAL_EV_RX80FULL | SERIAL_EV_RXCHAR, SERIAL_EV_RX80FULL | SERIAL_EV_RXCHAR, kNoFlag},
        {3275, SERIAL_EV_RX80FULL, 0, kNoFlag},
        {10, SERIAL_EV_RXFLAG, SERIAL_EV_RXFLAG, 9},
        {3000, SERIAL_EV_RXFLAG, SERIAL_EV_RXFLAG, 1003},  // inside a run of whole words
        {3000, SERIAL_EV_RXFLAG, 0, kNoFlag},               // neighbours of it only
        {10000, SERIAL_EV_RX80FULL, SERIAL_EV_RX80FULL, kNoFlag},  // in ring-sized chunks
    };
    for (const Case &c : cases) {
        std::vector<BYTE> bytes = Pattern(c.length, 0x40);
        for (BYTE &b : bytes)
            if (b == 0x0D)
                b = (&b - bytes.data()) % 2 ? 0x0C : 0x0E;
        if (c.flagAt != kNoFlag)
            bytes[c.flagAt] = 0x0D;
        ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, c.mask), STATUS_SUCCESS);
        Overlapped wait, read, write;
        StartWait(b_, wait);
        StartRead(b_, read, static_cast<ULONG>(c.length));
        StartWrite(a_, write, bytes);
        ASSERT_TRUE(write.Done()) << c.length;
        ASSERT_TRUE(read.Done()) << c.length;
        EXPECT_EQ(write.Status(), STATUS_SUCCESS);
        EXPECT_EQ(write.Bytes(), c.length);
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        EXPECT_EQ(read.Bytes(), c.length);
        EXPECT_EQ(read.data, bytes) << c.length;
        EXPECT_EQ(wait.Done(), c.raised != 0) << c.length;
        if (c.raised != 0) {
            EXPECT_EQ(WaitResult(wait), c.raised) << c.length;
        }
        ExpectRingsEmpty(a_, b_);
        ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, 0), STATUS_SUCCESS);  // ends a pending wait
        ASSERT_TRUE(wait.Done());
    }
}

// A read longer than the write keeps what it got and waits for the rest: its interval
// timer runs from the hand-over, and later bytes follow the first ones in order.
TEST_F(DataPathHandOverTest, APartlyFilledReadWaitsWithItsIntervalTimerArmed) {
    ASSERT_TRUE(SetTimeouts(b_, 50, 0, 0));
    Overlapped read;
    StartRead(b_, read, 100);
    EXPECT_EQ(WriteNow(a_, Pattern(10)), 10u);
    EXPECT_FALSE(read.Done());
    ExpectRingsEmpty(a_, b_);
    EXPECT_EQ(WriteNow(a_, Pattern(5, 10 * 7)), 5u);
    ASSERT_TRUE(TimesOutAfter(read, 80));
    EXPECT_EQ(read.Bytes(), 15u);
    read.data.resize(15);
    EXPECT_EQ(read.data, Pattern(15));
}

// A read that returns on its first byte (timeouts MAXULONG, MAXULONG, c) ends with the
// bytes handed to it, as it ends with the bytes it takes from the receive ring.
TEST_F(DataPathHandOverTest, AReadOnTheFirstByteEndsWithTheBytesHandedOver) {
    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, kMaxTimeout, 1000));
    Overlapped read;
    StartRead(b_, read, 100);
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(10)), 10u);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Bytes(), 10u);
    read.data.resize(10);
    EXPECT_EQ(read.data, Pattern(10));
    ExpectRingsEmpty(a_, b_);
}

// Bytes already waiting in a ring go first: a write behind them takes the ring path, and
// the read receives everything in the order it was written.
TEST_F(DataPathHandOverTest, BytesWaitingInTheRingsKeepTheirPlace) {
    EXPECT_EQ(WriteNow(a_, Pattern(30)), 30u);
    Overlapped read;
    StartRead(b_, read, 50);
    EXPECT_FALSE(read.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(20, 30 * 7)), 20u);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.data, Pattern(50));
}
