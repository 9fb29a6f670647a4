// Every byte accounted for: a request that ends early (cancelled, purged, its handle
// closing) reports exactly the bytes it moved; bytes that waited for a closed port reach
// it when it opens; a request that arrives after its handle's cleanup does not keep the
// port open; a close right after a completed request's wait closes the port at once.
#include "serial_fixture.h"

#include <io_manager.h>

#include <atomic>
#include <thread>

namespace {

std::vector<BYTE> Slice(const std::vector<BYTE> &bytes, size_t from, size_t length) {
    return std::vector<BYTE>(bytes.begin() + from, bytes.begin() + from + length);
}

}  // namespace

class AccountingTest : public SerialTest {
protected:
    static SERIAL_STATUS CommStatus(HANDLE port) {
        return Get<SERIAL_STATUS>(port, IOCTL_SERIAL_GET_COMMSTATUS);
    }
    // Reads what waits for the port, without waiting for more.
    static std::vector<BYTE> TakeAll(HANDLE port, ULONG atMost) {
        EXPECT_TRUE(SetTimeouts(port, kMaxTimeout, 0, 0));
        Overlapped read;
        StartRead(port, read, atMost);
        EXPECT_TRUE(read.Done());
        read.data.resize(read.Bytes());
        return read.data;
    }
};

// A write cancelled by its thread, or aborted by a purge, reports the bytes it stored;
// those reach the partner once, and the outgoing count follows them.
TEST_F(AccountingTest, CancelledAndPurgedWritesReportTheBytesTheyStored) {
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    std::vector<BYTE> stream = Pattern(20000);
    Overlapped first;
    StartWrite(a_, first, Slice(stream, 0, 5000));
    EXPECT_FALSE(first.Done());
    EXPECT_EQ(CommStatus(a_).AmountInOutQueue, 5000u);
    ASSERT_TRUE(CancelIo(a_));
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(first.Bytes(), 4096u);
    EXPECT_EQ(CommStatus(a_).AmountInOutQueue, 4096u);

    // The open takes the stored bytes into the partner's receive ring at once.
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CommStatus(b_).AmountInInQueue, 4096u);
    EXPECT_EQ(CommStatus(a_).AmountInOutQueue, 0u);

    Overlapped second;
    StartWrite(a_, second, Slice(stream, 4096, 6000));
    EXPECT_FALSE(second.Done());  // the partner's receive ring is full
    EXPECT_EQ(CommStatus(a_).AmountInOutQueue, 6000u);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.Status(), STATUS_SUCCESS);
    EXPECT_EQ(second.Bytes(), 4096u);
    EXPECT_EQ(CommStatus(a_).AmountInOutQueue, 4096u);

    // A write cancelled before it stored anything is a plain cancellation.
    Overlapped third;
    StartWrite(a_, third, Slice(stream, 8192, 10));
    ASSERT_TRUE(CancelIo(a_));
    ASSERT_TRUE(third.Done());
    EXPECT_EQ(third.Status(), STATUS_CANCELLED);
    EXPECT_EQ(third.Bytes(), 0u);

    // Exactly the reported bytes arrive, and nothing more.
    std::vector<BYTE> got = TakeAll(b_, 20000);
    std::vector<BYTE> more = TakeAll(b_, 20000);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, Slice(stream, 0, 8192));
}

// A read that a cancellation, a purge or a close ends keeps the bytes it received.
TEST_F(AccountingTest, ACancelledReadKeepsTheBytesItReceived) {
    Overlapped read;
    StartRead(b_, read, 20);
    EXPECT_EQ(WriteNow(a_, Pattern(10)), 10u);
    ASSERT_TRUE(CancelIo(b_));
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    ASSERT_EQ(read.Bytes(), 10u);
    EXPECT_EQ(Slice(read.data, 0, 10), Pattern(10));
    EXPECT_EQ(CommStatus(b_).AmountInInQueue, 0u);

    Overlapped empty;
    StartRead(b_, empty, 20);
    ASSERT_TRUE(CancelIo(b_));
    ASSERT_TRUE(empty.Done());
    EXPECT_EQ(empty.Status(), STATUS_CANCELLED);
    EXPECT_EQ(empty.Bytes(), 0u);
}

// Bytes written while the partner was closed reach it when it opens: it counts them at
// once, the first wait for a received character hears of them, and a write that waited
// for room completes.
TEST_F(AccountingTest, AnOpenTakesInTheBytesThatWaitedAndAnnouncesThem) {
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WriteNow(a_, Pattern(4000)), 4000u);
    Overlapped waiting;
    StartWrite(a_, waiting, Pattern(1000, static_cast<BYTE>(4000 * 7)));
    EXPECT_FALSE(waiting.Done());

    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CommStatus(b_).AmountInInQueue, 4096u);
    ASSERT_TRUE(waiting.Done());
    EXPECT_EQ(waiting.Status(), STATUS_SUCCESS);
    EXPECT_EQ(waiting.Bytes(), 1000u);

    ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(b_, wait);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    // Told once: the next wait waits for new bytes.
    Overlapped next;
    StartWait(b_, next);
    EXPECT_FALSE(next.Done());
    std::vector<BYTE> got = TakeAll(b_, 8000);
    ASSERT_TRUE(next.Done());  // the read made room, and the rest came in
    EXPECT_EQ(WaitResult(next), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    std::vector<BYTE> rest = TakeAll(b_, 8000);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_EQ(got, Pattern(5000));
}

// Another thread's request reaching a handle whose cleanup has run (it raced the close)
// ends at once as cancelled, so the close follows and the port can be opened again.
TEST_F(AccountingTest, ARequestAfterTheHandlesCleanupEndsAtOnceAndTheCloseFollows) {
    // The racing request holds the file as a thread inside ReadFile would.
    void *file = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(b_, 0, nullptr, UserMode, &file, nullptr), STATUS_SUCCESS);
    CloseHandle(b_);  // cleanup runs; the close waits for the last reference
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(OpenPort(1), INVALID_HANDLE_VALUE);

    std::atomic<bool> finished{false};
    NTSTATUS status = STATUS_PENDING;
    BYTE buffer[16];
    std::thread racer([&] {
        status = IoSendSynchronousRequest(static_cast<PFILE_OBJECT>(file)->DeviceObject,
                                          [&](PIRP irp, PIO_STACK_LOCATION stack) {
                                              stack->MajorFunction = IRP_MJ_READ;
                                              stack->FileObject = static_cast<PFILE_OBJECT>(file);
                                              stack->Parameters.Read.Length = sizeof(buffer);
                                              irp->AssociatedIrp.SystemBuffer = buffer;
                                          });
        finished = true;
    });
    bool ended = Eventually([&] { return finished.load(); }, 5);
    if (!ended)
        Unplug(1);  // removal ends the stranded request, so the thread can be joined
    racer.join();
    ASSERT_TRUE(ended) << "the request was left pending after cleanup";
    EXPECT_EQ(status, STATUS_CANCELLED);

    ObDereferenceObject(file);
    b_ = OpenPort(1);
    EXPECT_NE(b_, INVALID_HANDLE_VALUE);
}

// The completion gives back its reference to the file before the caller can see it, so
// a close right after the wait closes the port and an open right after succeeds.
TEST_F(AccountingTest, ClosingRightAfterACompletedRequestLetsThePortOpenAgainAtOnce) {
    for (int round = 0; round < 200; round++) {
        Overlapped read;
        StartRead(b_, read, 1);
        // Completed by the writer's transfer, in another thread.
        std::thread([&] { WriteNow(a_, {static_cast<BYTE>(round)}); }).join();
        ASSERT_EQ(WaitForSingleObject(read.ov.hEvent, INFINITE), WAIT_OBJECT_0);
        read.port = INVALID_HANDLE_VALUE;
        CloseHandle(b_);
        b_ = OpenPort(1);
        ASSERT_NE(b_, INVALID_HANDLE_VALUE) << "round " << round << ", error " << GetLastError();
    }
}

class FlushTest : public AccountingTest {
protected:
    // An overlapped flush: STATUS_PENDING while it waits, with its own event.
    struct Flush {
        IO_STATUS_BLOCK ioStatus = {{STATUS_PENDING}, 0};
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        NTSTATUS submitted;
        explicit Flush(HANDLE port)
            : submitted(IoSubmitFileRequest(
                  port, {IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, nullptr, 0, event, &ioStatus})) {}
        ~Flush() { CloseHandle(event); }
        bool Done() const { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }
    };
};

TEST_F(FlushTest, AFlushWithNothingToSendReturnsAtOnce) {
    EXPECT_TRUE(FlushFileBuffers(a_));
    // The bytes already went into the open partner's receive ring.
    EXPECT_EQ(WriteNow(a_, Pattern(100)), 100u);
    EXPECT_TRUE(FlushFileBuffers(a_));
    // Synchronous handles flush the same way; a handle without write access cannot.
    CloseHandle(a_);
    a_ = OpenPort(0, false);
    ASSERT_NE(a_, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(FlushFileBuffers(a_));
    CloseHandle(a_);
    a_ = CreateFileA("\\\\.\\COM1", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(a_, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FlushFileBuffers(a_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(FlushFileBuffers(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// A flush waits while bytes wait for the partner, and ends when they have gone to it.
TEST_F(FlushTest, FlushFileBuffersWaitsUntilThePartnerHasTheBytes) {
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WriteNow(a_, Pattern(100)), 100u);
    Flush pending(a_);
    ASSERT_EQ(pending.submitted, STATUS_PENDING);
    std::atomic<bool> flushed{false};
    std::atomic<ULONG> outgoingAfter{0xFFFFFFFF};
    std::thread flusher([&] {
        flushed = FlushFileBuffers(a_) != FALSE;
        outgoingAfter = CommStatus(a_).AmountInOutQueue;
    });
    EXPECT_FALSE(pending.Done());
    EXPECT_FALSE(flushed);
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    flusher.join();
    EXPECT_TRUE(flushed);
    EXPECT_EQ(outgoingAfter.load(), 0u);
    ASSERT_TRUE(pending.Done());
    EXPECT_EQ(pending.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(TakeAll(b_, 200), Pattern(100));
}

// A waiting flush ends as cancelled by its thread's CancelIo, by a purge of the writes
// and by the handle's cleanup.
TEST_F(FlushTest, AWaitingFlushIsCancelledByCancelIoPurgeAndClose) {
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WriteNow(a_, Pattern(10)), 10u);
    {
        Flush cancelled(a_);
        ASSERT_EQ(cancelled.submitted, STATUS_PENDING);
        ASSERT_TRUE(CancelIo(a_));
        ASSERT_TRUE(cancelled.Done());
        EXPECT_EQ(cancelled.ioStatus.Status, STATUS_CANCELLED);
    }
    {
        Flush purged(a_);
        ASSERT_EQ(purged.submitted, STATUS_PENDING);
        EXPECT_EQ(Set(a_, IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
        EXPECT_FALSE(purged.Done());  // the bytes are still to go
        EXPECT_EQ(Set(a_, IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
        ASSERT_TRUE(purged.Done());
        EXPECT_EQ(purged.ioStatus.Status, STATUS_CANCELLED);
    }
    Flush atClose(a_);
    ASSERT_EQ(atClose.submitted, STATUS_PENDING);
    CloseHandle(a_);
    a_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(atClose.Done());
    EXPECT_EQ(atClose.ioStatus.Status, STATUS_CANCELLED);
}

// Whether a read or write queue is empty is known without its lock, from a count kept
// with its links. Every way out of a queue (timeout, transfer, cancellation of the head
// and of a request behind it, purge) must leave it empty: otherwise the next immediate
// read is taken for one behind older reads and reported pending, and a flush waits for
// writes that are gone.
TEST_F(AccountingTest, EveryWayOutOfTheReadQueueLeavesItEmpty) {
    ASSERT_TRUE(SetTimeouts(b_, 0, 0, 100));
    Overlapped timedOut, filled, cancelledBehind, cancelledHead, purged;
    StartRead(b_, timedOut, 4);
    StartRead(b_, filled, 2);
    // CancelIo cancels the calling thread's requests only.
    std::thread([&] { StartRead(b_, cancelledBehind, 4); }).join();
    MachineAdvanceClockMs(100);
    ASSERT_TRUE(timedOut.Done());
    EXPECT_EQ(timedOut.Status(), STATUS_TIMEOUT);
    std::thread([&] { CancelIo(b_); }).join();
    ASSERT_TRUE(cancelledBehind.Done());
    EXPECT_EQ(cancelledBehind.Status(), STATUS_CANCELLED);
    EXPECT_FALSE(filled.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(2)), 2u);
    ASSERT_TRUE(filled.Done());
    EXPECT_EQ(filled.Status(), STATUS_SUCCESS);
    StartRead(b_, cancelledHead, 4);
    ASSERT_TRUE(CancelIo(b_));
    ASSERT_TRUE(cancelledHead.Done());
    EXPECT_EQ(cancelledHead.Status(), STATUS_CANCELLED);
    StartRead(b_, purged, 4);
    EXPECT_EQ(Set(b_, IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(purged.Done());
    EXPECT_EQ(purged.Status(), STATUS_CANCELLED);

    ASSERT_TRUE(SetTimeouts(b_, kMaxTimeout, 0, 0));
    Overlapped immediate(4);
    immediate.port = b_;
    DWORD bytes = 0xFFFF;
    EXPECT_TRUE(ReadFile(b_, immediate.data.data(), 4, &bytes, &immediate.ov)) << GetLastError();
    EXPECT_EQ(bytes, 0u);
}

TEST_F(FlushTest, EveryWayOutOfTheWriteQueueLeavesItEmpty) {
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(SetTimeouts(a_, 0, 0, 0, 0, 100));
    EXPECT_EQ(WriteNow(a_, Pattern(4096)), 4096u);  // the transmit ring is full
    Overlapped timedOut, cancelledBehind, purged, cancelledHead;
    StartWrite(a_, timedOut, Pattern(1));
    StartWrite(a_, purged, Pattern(1));
    std::thread([&] { StartWrite(a_, cancelledBehind, Pattern(1)); }).join();
    MachineAdvanceClockMs(100);
    ASSERT_TRUE(timedOut.Done());
    EXPECT_EQ(timedOut.Status(), STATUS_TIMEOUT);
    std::thread([&] { CancelIo(a_); }).join();
    ASSERT_TRUE(cancelledBehind.Done());
    EXPECT_EQ(cancelledBehind.Status(), STATUS_CANCELLED);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_PURGE, SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(purged.Done());
    EXPECT_EQ(purged.Status(), STATUS_CANCELLED);
    StartWrite(a_, cancelledHead, Pattern(1));
    ASSERT_TRUE(CancelIo(a_));
    ASSERT_TRUE(cancelledHead.Done());
    EXPECT_EQ(cancelledHead.Status(), STATUS_CANCELLED);
    // The ring's 4096 bytes go to the partner when it opens; then nothing is left to send.
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    Flush atOnce(a_);
    EXPECT_EQ(atOnce.submitted, STATUS_SUCCESS);
    EXPECT_TRUE(atOnce.Done());
}
