// Overlapped I/O: pending requests, their results, waiting on events or on the file,
// cancellation, and a cancellation racing the completion.
#include "machine_test.h"
#include "win32_fixture.h"

namespace {

const ULONG_PTR kStatusPending = 0x103;
const ULONG_PTR kStatusCancelled = 0xC0000120;

// A read left pending for the test to end without data. It must not move while
// pending: the kernel writes its result into `overlapped`.
struct PendingRead {
    OVERLAPPED overlapped = {};
    char buffer[4] = {};
    DWORD count = 0;
};

// Issues `read` on `reader` with an event of its own in read->overlapped.hEvent.
void StartPendingRead(HANDLE reader, PendingRead *read)
{
    read->overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(read->overlapped.hEvent, nullptr);
    ASSERT_FALSE(
        ReadFile(reader, read->buffer, sizeof(read->buffer), &read->count, &read->overlapped));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
}

}  // namespace

TEST_F(Win32Test, OverlappedReadPendsUntilDataArrives)
{
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    ASSERT_NE(event, nullptr);

    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    char buffer[8] = {};
    DWORD count = 77;
    EXPECT_FALSE(ReadFile(reader, buffer, sizeof(buffer), &count, &overlapped));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_EQ(overlapped.Internal & 0xFFFFFFFF, kStatusPending);
    EXPECT_FALSE(GetOverlappedResult(reader, &overlapped, &count, FALSE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);

    ASSERT_TRUE(WriteFile(writer, "abc", 3, &count, nullptr));
    ASSERT_TRUE(GetOverlappedResult(reader, &overlapped, &count, TRUE));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(overlapped.Internal & 0xFFFFFFFF, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 3u);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_OBJECT_0);

    CloseHandle(event);
    CloseHandle(writer);
    CloseHandle(reader);
}

// A completed request gives back its reference to the file before its caller can see
// the completion, even when another thread completed it: a close right after the wait
// reaches the driver within CloseHandle.
TEST_F(Win32Test, ACloseRightAfterACompletedRequestsWaitClosesTheFileAtOnce)
{
    HANDLE writer = Open();
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    for (int round = 0; round < 50; round++) {
        HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
        ASSERT_NE(reader, INVALID_HANDLE_VALUE);
        PendingRead read;
        StartPendingRead(reader, &read);
        LONG closes = TestDeviceGetCounts().closes;
        std::thread([&] {
            DWORD written = 0;
            WriteFile(writer, "x", 1, &written, nullptr);
        }).join();
        ASSERT_EQ(WaitForSingleObject(read.overlapped.hEvent, INFINITE), (DWORD)WAIT_OBJECT_0);
        CloseHandle(reader);
        EXPECT_EQ(TestDeviceGetCounts().closes, closes + 1) << "round " << round;
        CloseHandle(read.overlapped.hEvent);
    }
    CloseHandle(writer);
}

// A device that does not handle flushes refuses them, as Windows' I/O manager does.
TEST_F(Win32Test, FlushFileBuffersFailsOnADeviceWithoutFlushes)
{
    HANDLE device = Open();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FlushFileBuffers(device));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    CloseHandle(device);
}

TEST_F(Win32Test, OverlappedRequestsCompleteAtOnceWhenTheyCan)
{
    HANDLE handle = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped = {};
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(handle, "xy", 2, &count, &overlapped));
    EXPECT_EQ(count, 2u);
    char buffer[4] = {};
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof(buffer), &count, &overlapped));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(overlapped.InternalHigh, 2u);
    ASSERT_TRUE(GetOverlappedResult(handle, &overlapped, &count, FALSE));
    EXPECT_EQ(count, 2u);
    CloseHandle(handle);
}

TEST_F(Win32Test, OverlappedRequestWithoutEventIsCollectedThroughTheFile)
{
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    OVERLAPPED overlapped = {};
    char buffer[4] = {};
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(reader, buffer, sizeof(buffer), &count, &overlapped));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    ASSERT_TRUE(WriteFile(writer, "q", 1, &count, nullptr));
    ASSERT_TRUE(GetOverlappedResult(reader, &overlapped, &count, TRUE));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(buffer[0], 'q');
    CloseHandle(writer);
    CloseHandle(reader);
}

TEST_F(Win32Test, CallsWithoutOverlappedWaitForTheirRequest)
{
    // Both on a synchronous handle and, without an OVERLAPPED, on an overlapped one.
    for (DWORD flags : {DWORD(0), DWORD(FILE_FLAG_OVERLAPPED)}) {
        HANDLE reader = Open("\\\\.\\Win32Test", flags);
        HANDLE writer = Open();
        char buffer[4] = {};
        DWORD count = 0;
        BOOL result = FALSE;
        std::thread blocked([&] { result = ReadFile(reader, buffer, sizeof(buffer), &count, nullptr); });
        TestDeviceWaitForQueuedRead();
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(writer, "wxyz", 4, &written, nullptr));
        blocked.join();
        EXPECT_TRUE(result) << flags;
        EXPECT_EQ(count, 4u) << flags;
        EXPECT_EQ(std::string(buffer, 4), "wxyz") << flags;
        CloseHandle(writer);
        CloseHandle(reader);
    }
}

// The file is signalled by any request on it that completes; a call without OVERLAPPED
// must still wait for its own request.
TEST_F(Win32Test, CallWithoutOverlappedIsNotEndedByAnotherRequestsCompletion)
{
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    OVERLAPPED first = {};
    char firstByte = 0;
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(reader, &firstByte, 1, &count, &first));
    TestDeviceWaitForQueuedRead();

    char secondByte = 0;
    DWORD secondCount = 0;
    BOOL secondResult = FALSE;
    std::thread second([&] { secondResult = ReadFile(reader, &secondByte, 1, &secondCount, nullptr); });
    TestDeviceWaitForQueuedRead();
    ASSERT_TRUE(WriteFile(writer, "1", 1, &count, nullptr));  // ends the first read
    ASSERT_TRUE(GetOverlappedResult(reader, &first, &count, TRUE));
    EXPECT_EQ(firstByte, '1');
    ASSERT_TRUE(WriteFile(writer, "2", 1, &count, nullptr));  // ends the second
    second.join();
    EXPECT_TRUE(secondResult);
    EXPECT_EQ(secondCount, 1u);
    EXPECT_EQ(secondByte, '2');
    CloseHandle(writer);
    CloseHandle(reader);
}

TEST_F(Win32Test, CancelIoAbortsThePendingRead)
{
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    PendingRead read;
    ASSERT_NO_FATAL_FAILURE(StartPendingRead(reader, &read));
    ASSERT_TRUE(CancelIo(reader));
    EXPECT_FALSE(GetOverlappedResult(reader, &read.overlapped, &read.count, TRUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_EQ(read.count, 0u);
    EXPECT_EQ(TestDeviceGetCounts().readsCancelled, 1);
    CloseHandle(read.overlapped.hEvent);
    CloseHandle(reader);
}

TEST_F(Win32Test, ClosingTheHandleEndsItsPendingRead)
{
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    PendingRead read;
    ASSERT_NO_FATAL_FAILURE(StartPendingRead(reader, &read));
    ASSERT_TRUE(CloseHandle(reader));  // cleanup: the driver ends the file's reads
    EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, INFINITE), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(read.overlapped.Internal & 0xFFFFFFFF, kStatusCancelled);
    EXPECT_EQ(TestDeviceGetCounts().readsCancelled, 1);
    CloseHandle(read.overlapped.hEvent);
}

// Suite name marks it for the ThreadSanitizer run.
using OverlappedConcurrency = Win32Test;

// A write that completes the read races CancelIo from the thread that issued it:
// every read ends exactly once, either with its byte or aborted, and no byte is lost.
TEST_F(OverlappedConcurrency, CancelRacingCompletionEndsEachReadOnce)
{
    const int kRounds = 200;
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    int received = 0;
    int aborted = 0;
    for (int round = 0; round < kRounds; round++) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        ResetEvent(event);
        char byte = 0;
        DWORD count = 0;
        ASSERT_FALSE(ReadFile(reader, &byte, 1, &count, &overlapped));
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        std::thread completer([&] {
            DWORD written = 0;
            WriteFile(writer, "!", 1, &written, nullptr);
        });
        CancelIo(reader);
        completer.join();
        if (GetOverlappedResult(reader, &overlapped, &count, TRUE)) {
            ASSERT_EQ(count, 1u);
            ASSERT_EQ(byte, '!');
            received++;
        } else {
            ASSERT_EQ(GetLastError(), (DWORD)ERROR_OPERATION_ABORTED);
            aborted++;
            // The byte stayed in the device: collect it so the next round starts empty.
            OVERLAPPED drain = {};
            ASSERT_TRUE(ReadFile(reader, &byte, 1, &count, &drain));
            ASSERT_EQ(count, 1u);
        }
    }
    TestDeviceCounts counts = TestDeviceGetCounts();
    EXPECT_EQ(received + aborted, kRounds);
    EXPECT_EQ(counts.readsCompleted, kRounds);  // the aborted rounds via their drain read
    EXPECT_EQ(counts.readsCancelled, aborted);
    CloseHandle(event);
    CloseHandle(writer);
    CloseHandle(reader);
}

// GetOverlappedResult and WaitForSingleObject watch the request's event before the
// thread sleeps. Whichever phase the completion meets, the wait ends with the
// request's own status and count: here completions racing the start of the wait (most
// of them meet the watch), then one that comes only after the waiter has gone to sleep.
TEST_F(OverlappedConcurrency, WaitsForAnOverlappedRequestEndWithItsResultInEitherPhase)
{
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int round = 0; round < 200; round++) {
        OVERLAPPED overlapped = {};
        overlapped.hEvent = event;
        char bytes[2] = {};
        DWORD count = 0;
        ASSERT_FALSE(ReadFile(reader, bytes, sizeof bytes, &count, &overlapped));
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
        char sent[2] = {static_cast<char>('a' + round % 26), static_cast<char>(round)};
        std::thread completer([&] {
            DWORD written = 0;
            WriteFile(writer, sent, sizeof sent, &written, nullptr);
        });
        if (round % 2 == 0) {
            ASSERT_EQ(WaitForSingleObject(event, INFINITE), (DWORD)WAIT_OBJECT_0);
        }
        ASSERT_TRUE(GetOverlappedResult(reader, &overlapped, &count, TRUE));
        completer.join();
        ASSERT_EQ(count, 2u);
        ASSERT_EQ(std::string(bytes, 2), std::string(sent, 2));
    }

    OVERLAPPED overlapped = {};
    overlapped.hEvent = event;
    char byte = 0;
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(reader, &byte, 1, &count, &overlapped));
    BOOL result = FALSE;
    DWORD waitedCount = 0;
    size_t blocked = MachineBlockedThreads();
    std::thread waiter([&] { result = GetOverlappedResult(reader, &overlapped, &waitedCount, TRUE); });
    ASSERT_TRUE(Eventually([&] { return MachineBlockedThreads() == blocked + 1; }));
    ASSERT_TRUE(WriteFile(writer, "z", 1, &count, nullptr));
    waiter.join();
    EXPECT_TRUE(result);
    EXPECT_EQ(waitedCount, 1u);
    EXPECT_EQ(byte, 'z');
    EXPECT_EQ(overlapped.Internal & 0xFFFFFFFF, 0u);
    CloseHandle(event);
    CloseHandle(writer);
    CloseHandle(reader);
}
