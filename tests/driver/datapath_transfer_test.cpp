// The transfer between the two ports of a pair: writes complete once their bytes are
// in the writer's transmit ring, reads are filled oldest first, bytes wait where the
// partner cannot take them, and the rings' wrap loses nothing.
#include "datapath_fixture.h"

#include <random>

class DataPathTransferTest : public OpenPairTest {};

TEST_F(DataPathTransferTest, AWriteFillsThePendingReadsOfThePartnerOldestFirst) {
    Overlapped first, second, empty;
    StartRead(b_, first, 10);
    StartRead(b_, second, 6);
    // A zero-length read never waits behind the others.
    StartRead(b_, empty, 0);
    ASSERT_TRUE(empty.Done());
    EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
    EXPECT_EQ(empty.Bytes(), 0u);

    // All timeouts 0: four bytes go into the first read, which waits for the rest.
    EXPECT_EQ(WriteNow(a_, Pattern(4)), 4u);
    EXPECT_FALSE(first.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(12, 4 * 7)), 12u);
    ASSERT_TRUE(first.Done());
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Bytes(), 10u);
    EXPECT_EQ(second.Bytes(), 6u);
    std::vector<BYTE> received = first.data;
    received.insert(received.end(), second.data.begin(), second.data.end());
    EXPECT_EQ(received, Pattern(16));
}

TEST_F(DataPathTransferTest, AFullTransmitRingHoldsFurtherWritesUntilThePartnerReads) {
    CloseHandle(b_);
    // With the partner closed, writes complete until the 4096-byte ring is full.
    EXPECT_EQ(WriteNow(a_, Pattern(4000)), 4000u);
    Overlapped queued, behind;
    std::vector<BYTE> tail = Pattern(300, static_cast<BYTE>(4000 * 7));
    StartWrite(a_, queued, tail);
    StartWrite(a_, behind, Pattern(10, static_cast<BYTE>(4300 * 7)));
    EXPECT_FALSE(queued.Done());
    EXPECT_FALSE(behind.Done());

    // The partner's read pulls the waiting bytes over, and in the same transfer the
    // queued writes refill the ring as room is made.
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    Overlapped read;
    StartRead(b_, read, 4310);
    ASSERT_TRUE(read.Done());
    EXPECT_TRUE(queued.Done());
    EXPECT_TRUE(behind.Done());
    EXPECT_EQ(queued.Bytes(), 300u);
    EXPECT_EQ(read.data, Pattern(4310));
}

// Requests of every size in both directions at once, with the rings wrapping at every
// offset: each side receives exactly what the other wrote, in order.
TEST_F(DataPathTransferTest, RandomSizesInBothDirectionsArriveIntact) {
    std::mt19937 random(7);
    std::vector<BYTE> sentAB, sentBA, gotAB, gotBA;
    for (int round = 0; round < 400; round++) {
        std::uniform_int_distribution<size_t> size(1, round % 10 == 0 ? 9000 : 700);
        Overlapped readA, readB, writeA, writeB;
        std::vector<BYTE> toB(size(random)), toA(size(random));
        for (BYTE &b : toB)
            b = static_cast<BYTE>(random());
        for (BYTE &b : toA)
            b = static_cast<BYTE>(random());
        StartRead(b_, readB, static_cast<ULONG>(toB.size()));
        StartWrite(a_, writeA, toB);
        StartWrite(b_, writeB, toA);
        StartRead(a_, readA, static_cast<ULONG>(toA.size()));
        ASSERT_TRUE(readA.Done() && readB.Done() && writeA.Done() && writeB.Done()) << round;
        sentAB.insert(sentAB.end(), toB.begin(), toB.end());
        sentBA.insert(sentBA.end(), toA.begin(), toA.end());
        gotAB.insert(gotAB.end(), readB.data.begin(), readB.data.end());
        gotBA.insert(gotBA.end(), readA.data.begin(), readA.data.end());
    }
    EXPECT_EQ(gotAB, sentAB);
    EXPECT_EQ(gotBA, sentBA);
}

// Only a stored map can pair a port with itself; its one lock must be taken once.
// A stored map that names a port as its own partner is a state no pairing makes: the
// port loads unpaired, so what it writes waits in its transmit ring instead of looping
// back into its own reads.
TEST_F(DataPathTransferTest, APortStoredAsItsOwnPartnerIsUnpairedAndDoesNotHearItself) {
    CloseHandle(a_);
    CloseHandle(b_);
    a_ = b_ = INVALID_HANDLE_VALUE;
    ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
    ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
    std::vector<UCHAR> map = DefaultMap();
    map[0] = 0;
    StoreMap(REG_BINARY, map);
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    a_ = OpenPort(0);
    ASSERT_NE(a_, INVALID_HANDLE_VALUE);
    Overlapped read;
    StartRead(a_, read, 10);
    EXPECT_EQ(WriteNow(a_, Pattern(10)), 10u);
    EXPECT_FALSE(read.Done());
    COMSTAT status = {};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(a_, &errors, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    CancelIo(a_);
}

TEST_F(DataPathTransferTest, RequestsOnTheControlDeviceCarryNoData) {
    HANDLE control = CreateFileA("\\\\.\\KeluControl", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(control, INVALID_HANDLE_VALUE);
    BYTE buffer[4] = {};
    DWORD bytes;
    EXPECT_FALSE(WriteFile(control, buffer, sizeof(buffer), &bytes, nullptr));
    EXPECT_FALSE(ReadFile(control, buffer, sizeof(buffer), &bytes, nullptr));
    CloseHandle(control);
}

// A read longer than both rings together is filled as the bytes pass through them,
// whether the read or the write comes first.
TEST_F(DataPathTransferTest, AReadLongerThanBothRingsCompletesInOneTransfer) {
    const std::vector<BYTE> bytes = Pattern(10000);
    Overlapped readFirst, write;
    StartRead(b_, readFirst, 10000);
    StartWrite(a_, write, bytes);
    ASSERT_TRUE(readFirst.Done());
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(readFirst.data, bytes);

    Overlapped writeFirst, readAfter;
    StartWrite(a_, writeFirst, bytes);
    EXPECT_FALSE(writeFirst.Done());  // both rings hold 8192 bytes, the rest waits
    StartRead(b_, readAfter, 10000);
    ASSERT_TRUE(readAfter.Done());
    ASSERT_TRUE(writeFirst.Done());
    EXPECT_EQ(readAfter.data, bytes);
}
