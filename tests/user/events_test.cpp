// Events, waits and sleeps on the machine's clock, and the per-thread last error.
#include "win32_fixture.h"

TEST_F(Win32Test, NamedEventsAreSharedByNameWhileAHandleRemains)
{
    HANDLE created = CreateEventA(nullptr, TRUE, FALSE, "kelu-test-event");
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
    HANDLE again = CreateEventA(nullptr, FALSE, TRUE, "kelu-test-event");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ALREADY_EXISTS);
    HANDLE opened = OpenEventA(SYNCHRONIZE, FALSE, "kelu-test-event");
    ASSERT_NE(opened, nullptr);
    // One session: its names and the global ones are the same.
    HANDLE global = OpenEventA(SYNCHRONIZE, FALSE, "Global\\kelu-test-event");
    ASSERT_NE(global, nullptr);
    HANDLE local = OpenEventA(SYNCHRONIZE, FALSE, "Local\\kelu-test-event");
    ASSERT_NE(local, nullptr);

    // One event behind three handles; the second create's arguments were ignored.
    EXPECT_EQ(WaitForSingleObject(opened, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(again));
    EXPECT_EQ(WaitForSingleObject(opened, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(created, 0), (DWORD)WAIT_OBJECT_0);  // manual reset
    EXPECT_EQ(WaitForSingleObject(global, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(local, 0), (DWORD)WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(created));
    EXPECT_EQ(WaitForSingleObject(again, 0), (DWORD)WAIT_TIMEOUT);

    CloseHandle(created);
    CloseHandle(again);
    CloseHandle(opened);
    CloseHandle(global);
    CloseHandle(local);
    // The name goes with the last handle.
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "kelu-test-event"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(Win32Test, AutoResetEventReleasesOneWait)
{
    HANDLE event = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    std::thread other([&] { EXPECT_EQ(WaitForSingleObject(event, INFINITE), (DWORD)WAIT_OBJECT_0); });
    other.join();
    EXPECT_EQ(WaitForSingleObject(event, 0), (DWORD)WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(Win32Test, TimeoutsAndSleepRunOnTheMachineClock)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ULONGLONG waited = 0;
    DWORD result = 0;
    RunWhileClockAdvances([&] {
        ULONGLONG start = NowMs();
        result = WaitForSingleObject(event, 5000);
        waited = NowMs() - start;
    });
    EXPECT_EQ(result, (DWORD)WAIT_TIMEOUT);
    EXPECT_GE(waited, 5000u);

    ULONGLONG slept = 0;
    RunWhileClockAdvances([&] {
        ULONGLONG start = NowMs();
        Sleep(3000);
        slept = NowMs() - start;
    });
    EXPECT_GE(slept, 3000u);
    CloseHandle(event);
}

TEST_F(Win32Test, WaitOnABadHandleFails)
{
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    CloseHandle(event);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}

TEST_F(Win32Test, LastErrorBelongsToTheThread)
{
    SetLastError(42);
    std::thread other([] {
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_SUCCESS);
        SetLastError(7);
    });
    other.join();
    EXPECT_EQ(GetLastError(), 42u);
}
