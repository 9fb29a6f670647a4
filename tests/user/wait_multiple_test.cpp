// WaitForMultipleObjects: wait-any and wait-all over events and files, what each
// consumes, timeouts on the machine clock, and the refusals that consume nothing.
#include "win32_fixture.h"

#include "machine_test.h"

#include <vector>

namespace {

HANDLE AutoReset(BOOL signalled) { return CreateEventA(nullptr, FALSE, signalled, nullptr); }
HANDLE ManualReset(BOOL signalled) { return CreateEventA(nullptr, TRUE, signalled, nullptr); }

bool IsSignalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

TEST_F(Win32Test, WaitAnyReturnsTheLowestSignalledIndexAndConsumesOnlyThatObject)
{
    HANDLE events[3] = {ManualReset(FALSE), AutoReset(TRUE), AutoReset(TRUE)};
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 1);
    // The first auto-reset event was taken, the second left alone.
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), (DWORD)WAIT_TIMEOUT);

    ASSERT_TRUE(SetEvent(events[0]));
    // A manual-reset event stays signalled through any number of waits.
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForMultipleObjects(3, events, FALSE, INFINITE), WAIT_OBJECT_0);
    for (HANDLE event : events) CloseHandle(event);
}

TEST_F(Win32Test, WaitAllTakesEveryObjectAtOnceOrNone)
{
    HANDLE events[2] = {AutoReset(TRUE), AutoReset(FALSE)};
    EXPECT_EQ(WaitForMultipleObjects(2, events, TRUE, 0), (DWORD)WAIT_TIMEOUT);
    // The wait that failed left the first event signalled; this check takes it.
    EXPECT_TRUE(IsSignalled(events[0]));
    ASSERT_TRUE(SetEvent(events[0]));

    const size_t idle = MachineBlockedThreads();
    DWORD result = 0xFFFF;
    std::thread waiter([&] { result = WaitForMultipleObjects(2, events, TRUE, INFINITE); });
    ASSERT_TRUE(Eventually([&] { return MachineBlockedThreads() > idle; }));
    // A wait-any beside it may take the first event, which the wait-all must then do without.
    EXPECT_EQ(WaitForMultipleObjects(1, events, FALSE, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(SetEvent(events[1]));
    EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_OBJECT_0);  // the wait-all did not take it
    ASSERT_TRUE(SetEvent(events[1]));
    ASSERT_TRUE(SetEvent(events[0]));
    waiter.join();
    EXPECT_EQ(result, WAIT_OBJECT_0);
    EXPECT_FALSE(IsSignalled(events[0]));
    EXPECT_FALSE(IsSignalled(events[1]));
    for (HANDLE event : events) CloseHandle(event);
}

TEST_F(Win32Test, OneSetOfAnAutoResetEventReleasesOneOfTwoWaitAnyThreads)
{
    HANDLE shared = AutoReset(FALSE);
    HANDLE stop = ManualReset(FALSE);
    HANDLE handles[2] = {shared, stop};
    std::atomic<int> gotShared{0};
    const size_t idle = MachineBlockedThreads();
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; i++) {
        waiters.emplace_back([&] {
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0) gotShared++;
        });
    }
    ASSERT_TRUE(Eventually([&] { return MachineBlockedThreads() >= idle + 2; }));
    ASSERT_TRUE(SetEvent(shared));
    ASSERT_TRUE(Eventually([&] { return gotShared == 1; }));
    ASSERT_TRUE(SetEvent(stop));
    for (std::thread &waiter : waiters) waiter.join();
    EXPECT_EQ(gotShared, 1);
    EXPECT_FALSE(IsSignalled(shared));
    CloseHandle(shared);
    CloseHandle(stop);
}

TEST_F(Win32Test, WaitForMultipleObjectsTimesOutOnTheMachineClock)
{
    HANDLE events[2] = {ManualReset(FALSE), AutoReset(TRUE)};
    DWORD anyResult = 0;
    DWORD allResult = 0;
    ULONGLONG waited = 0;
    RunWhileClockAdvances([&] {
        ULONGLONG start = NowMs();
        allResult = WaitForMultipleObjects(2, events, TRUE, 2500);
        waited = NowMs() - start;
        anyResult = WaitForMultipleObjects(1, events, FALSE, 10);
    });
    EXPECT_EQ(allResult, (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(waited, 2500u);
    EXPECT_EQ(anyResult, (DWORD)WAIT_TIMEOUT);
    EXPECT_TRUE(IsSignalled(events[1]));  // the timed-out wait-all took nothing
    for (HANDLE event : events) CloseHandle(event);
}

TEST_F(Win32Test, WaitAnyOverAnOverlappedReadAndAnEvent)
{
    HANDLE reader = Open("\\\\.\\Win32Test", FILE_FLAG_OVERLAPPED);
    HANDLE writer = Open();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped = {};
    overlapped.hEvent = ManualReset(FALSE);
    HANDLE other = AutoReset(FALSE);
    char buffer[4] = {};
    DWORD count = 0;
    ASSERT_FALSE(ReadFile(reader, buffer, sizeof(buffer), &count, &overlapped));
    ASSERT_EQ(GetLastError(), (DWORD)ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));

    HANDLE handles[2] = {other, overlapped.hEvent};
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(WriteFile(writer, "xy", 2, &count, nullptr));
    EXPECT_EQ(WaitForMultipleObjects(2, handles, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(HasOverlappedIoCompleted(&overlapped));
    ASSERT_TRUE(GetOverlappedResult(reader, &overlapped, &count, FALSE));
    EXPECT_EQ(count, 2u);
    // A file handle is waitable too: signalled once its request completed.
    HANDLE fileAndEvent[2] = {reader, other};
    EXPECT_EQ(WaitForMultipleObjects(2, fileAndEvent, TRUE, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(other));
    EXPECT_EQ(WaitForMultipleObjects(2, fileAndEvent, TRUE, 0), WAIT_OBJECT_0);

    CloseHandle(overlapped.hEvent);
    CloseHandle(other);
    CloseHandle(writer);
    CloseHandle(reader);
}

TEST_F(Win32Test, RefusedWaitsFailAndConsumeNothing)
{
    HANDLE event = AutoReset(TRUE);
    HANDLE closed = AutoReset(TRUE);
    CloseHandle(closed);
    HANDLE withClosed[2] = {event, closed};
    EXPECT_EQ(WaitForMultipleObjects(2, withClosed, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);

    HANDLE twice[2] = {event, event};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // In a wait-any, the same object twice is allowed; the first index wins.
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(SetEvent(event));

    std::vector<HANDLE> tooMany(MAXIMUM_WAIT_OBJECTS + 1, event);
    EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, tooMany.data(), FALSE, 0),
              WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(0, &event, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    EXPECT_TRUE(IsSignalled(event));  // none of the refused waits took it
    CloseHandle(event);
}
