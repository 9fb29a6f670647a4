// Opening, cleaning up and closing a port: one handle at a time, rings sized by the
// machine's memory class, the wait for the controlling application's answer, and what
// a close does to pending requests and buffered bytes.
#include "datapath_fixture.h"

#include <ke.h>
#include <pool.h>

#include <atomic>
#include <thread>

namespace {

// The transmit ring's size, seen from outside: with no partner to drain it, a large
// write with a short total timeout stores exactly one ring's worth of bytes.
ULONG TransmitRingSize(HANDLE port) {
    EXPECT_TRUE(DataPathTest::SetTimeouts(port, 0, 0, 0, 0, 10));
    Overlapped write;
    DataPathTest::StartWrite(port, write, std::vector<BYTE>(5000, 0x55));
    EXPECT_FALSE(write.Done());
    MachineAdvanceClockMs(10);
    EXPECT_TRUE(write.Done());
    EXPECT_EQ(write.Status(), STATUS_TIMEOUT);
    return write.Bytes();
}

}  // namespace

TEST_F(DataPathTest, SecondOpenIsRefusedAndCloseEndsAPartlyFilledReadWithItsBytes) {
    HANDLE reader = OpenPort(1);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort(1), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE writer = OpenPort(0);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);

    Overlapped read;
    StartRead(reader, read, 10);
    EXPECT_EQ(WriteNow(writer, Pattern(4)), 4u);
    EXPECT_FALSE(read.Done());

    // Close ends the read with the four bytes it already holds: none is lost.
    CloseHandle(reader);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    ASSERT_EQ(read.Bytes(), 4u);
    EXPECT_EQ(std::vector<BYTE>(read.data.begin(), read.data.begin() + 4), Pattern(4));

    // The port opens again with empty rings: only bytes written from now on arrive.
    reader = OpenPort(1);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteNow(writer, Pattern(3, 100)), 3u);
    Overlapped again;
    StartRead(reader, again, 3);
    ASSERT_TRUE(again.Done());
    EXPECT_EQ(again.data, Pattern(3, 100));
    CloseHandle(reader);
    CloseHandle(writer);
}

// Closing the writer loses what still waits in its transmit ring.
TEST_F(DataPathTest, CloseDiscardsTheBytesInTheRings) {
    HANDLE writer = OpenPort(0);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WriteNow(writer, Pattern(5)), 5u);
    CloseHandle(writer);
    writer = OpenPort(0);
    HANDLE reader = OpenPort(1);
    ASSERT_TRUE(SetTimeouts(reader, kMaxTimeout, 0, 0));
    Overlapped nothing;
    StartRead(reader, nothing, 5);
    ASSERT_TRUE(nothing.Done());
    EXPECT_EQ(nothing.Bytes(), 0u);
    CloseHandle(reader);
    CloseHandle(writer);
}

TEST_F(DataPathTest, RingsFollowTheMemoryClassAndFallBackToSmallerSizes) {
    ASSERT_EQ(Disconnect(0, 1), STATUS_SUCCESS);
    struct Case {
        MM_SYSTEMSIZE size;
        SIZE_T failFrom;  // allocations of at least this many bytes fail; 0: none
        ULONG expected;
    } cases[] = {
        {MmLargeSystem, 0, 4096},   {MmLargeSystem, 4096, 1024}, {MmLargeSystem, 1024, 128},
        {MmMediumSystem, 0, 1024},  {MmMediumSystem, 1024, 128}, {MmSmallSystem, 0, 128},
    };
    for (const Case &c : cases) {
        MachineSetSystemSize(c.size);
        if (c.failFrom != 0)
            PoolFailAllocationsOfAtLeast(c.failFrom);
        HANDLE port = OpenPort(0);
        PoolClearFaults();
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << c.size << " " << c.failFrom;
        EXPECT_EQ(TransmitRingSize(port), c.expected) << c.size << " " << c.failFrom;
        CloseHandle(port);
    }

    // Not even 128 bytes: the open fails and leaves the port closed, free to open again.
    PoolFailAllocationsOfAtLeast(128);
    EXPECT_EQ(OpenPort(0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NO_SYSTEM_RESOURCES);
    PoolClearFaults();
    HANDLE port = OpenPort(0);
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
}

// The controlling application's side of a confirmation, through the driver's own tables
// (what its answer request stores and signals), and the sign that an open now waits:
// the open clears the port's answer event before it waits.
class DataPathConfirmationTest : public DataPathTest {
protected:
    void SetUp() override {
        DataPathTest::SetUp();
        ASSERT_EQ(SetConfirmation(0, true), STATUS_SUCCESS);
        results_ = static_cast<NTSTATUS *>(DriverGlobal("g_OpenConfirmationResults"));
        events_ = static_cast<KEVENT *>(DriverGlobal("g_OpenConfirmationEvents"));
        ASSERT_NE(results_, nullptr);
        ASSERT_NE(events_, nullptr);
    }

    void Answer(NTSTATUS status) {
        results_[0] = status;
        KeSetEvent(&events_[0], IO_NO_INCREMENT, FALSE);
    }

    // Starts an open of COM1 in a thread and returns once it waits for an answer.
    void StartWaitingOpen() {
        StartOpen();
        ASSERT_TRUE(Eventually([this] { return OpenWaits(); }));
    }

    // Starts an open of COM1 in a thread without waiting for it to get anywhere.
    void StartOpen() {
        KeSetEvent(&events_[0], IO_NO_INCREMENT, FALSE);
        opened_ = nullptr;
        opener_ = std::thread([this] {
            HANDLE handle = OpenPort(0);
            error_ = GetLastError();
            opened_ = handle;
        });
    }
    bool OpenWaits() { return KeReadStateEvent(&events_[0]) == 0; }

    // The handle the open returned (INVALID_HANDLE_VALUE: failed, with error()).
    HANDLE FinishOpen() {
        opener_.join();
        return opened_;
    }
    DWORD error() const { return error_; }
    bool Finished() const { return opened_.load() != nullptr; }

    void TearDown() override {
        if (opener_.joinable())
            opener_.join();
        DataPathTest::TearDown();
    }

private:
    NTSTATUS *results_ = nullptr;
    KEVENT *events_ = nullptr;
    std::thread opener_;
    std::atomic<HANDLE> opened_{nullptr};
    std::atomic<DWORD> error_{0};
};

TEST_F(DataPathConfirmationTest, AnOpenWaitsForTheAnswerAndGoesByIt) {
    // An answer given while nobody waits does not let the next open through.
    Answer(STATUS_SUCCESS);
    StartWaitingOpen();
    // A second opener is refused at once while the first one waits.
    EXPECT_EQ(OpenPort(0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(Finished());
    Answer(STATUS_ACCESS_DENIED);
    EXPECT_EQ(FinishOpen(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    // A refused open leaves the port closed; switching confirmation off wakes a waiting
    // open, which then goes by the answer stored last.
    StartWaitingOpen();
    ASSERT_EQ(SetConfirmation(0, false), STATUS_SUCCESS);
    EXPECT_EQ(FinishOpen(), INVALID_HANDLE_VALUE);
    HANDLE port = OpenPort(0);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);

    ASSERT_EQ(SetConfirmation(0, true), STATUS_SUCCESS);
    StartWaitingOpen();
    Answer(STATUS_SUCCESS);
    port = FinishOpen();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
}

// Removal must not wait for an answer that may never come: the waiting open fails.
TEST_F(DataPathConfirmationTest, RemovalWakesAnOpenWaitingForItsAnswer) {
    StartWaitingOpen();
    ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
    EXPECT_EQ(FinishOpen(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// An open that waits for its answer is about to open the port: a stop query is refused
// as for an open port, or the port would open while stopped.
TEST_F(DataPathConfirmationTest, AStopQueryIsRefusedWhileAnOpenWaits) {
    PDEVICE_OBJECT pdo = PortPdo(0);
    ASSERT_NE(pdo, nullptr);
    StartWaitingOpen();
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    Answer(STATUS_SUCCESS);
    HANDLE port = FinishOpen();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    // Still started: the open handle's requests are served.
    EXPECT_TRUE(SetTimeouts(port, kMaxTimeout, 0, 0));
    CloseHandle(port);
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
}

// A stop query granted while an open is on its way in (here, while it has the port's
// events created) leaves that open refused, not an open port on a stopped device.
TEST_F(DataPathConfirmationTest, AnOpenOnItsWayInWhenTheStopQueryIsGrantedIsRefused) {
    PDEVICE_OBJECT pdo = PortPdo(0);
    ASSERT_NE(pdo, nullptr);
    PsHoldSystemThreads(true);
    size_t blocked = MachineBlockedThreads();
    StartOpen();
    // The open waits for its event-creating thread, which is held back.
    ASSERT_TRUE(Eventually([blocked] { return MachineBlockedThreads() > blocked; }));
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    PsHoldSystemThreads(false);
    ASSERT_TRUE(Eventually([this] { return Finished() || OpenWaits(); }));
    if (!Finished())
        Answer(STATUS_SUCCESS);
    HANDLE port = FinishOpen();
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
    if (port != INVALID_HANDLE_VALUE)
        CloseHandle(port);

    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    StartWaitingOpen();
    Answer(STATUS_SUCCESS);
    port = FinishOpen();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
}
