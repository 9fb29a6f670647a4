// The tick count and the performance counter read the machine's clock.
#include "win32_fixture.h"

TEST_F(Win32Test, TickCountAndPerformanceCounterFollowTheMachineClock)
{
    LARGE_INTEGER frequency;
    ASSERT_TRUE(QueryPerformanceFrequency(&frequency));
    EXPECT_EQ(frequency.QuadPart, 10000000);

    LARGE_INTEGER before;
    ASSERT_TRUE(QueryPerformanceCounter(&before));
    DWORD ticksBefore = GetTickCount();
    MachineAdvanceClockMs(1500);
    LARGE_INTEGER after;
    ASSERT_TRUE(QueryPerformanceCounter(&after));
    EXPECT_EQ(after.QuadPart - before.QuadPart, 1500 * 10000);
    EXPECT_EQ(GetTickCount() - ticksBefore, 1500u);
    // A manual clock stands still between steps.
    LARGE_INTEGER again;
    ASSERT_TRUE(QueryPerformanceCounter(&again));
    EXPECT_EQ(again.QuadPart, after.QuadPart);
}

TEST_F(Win32Test, TickCountWrapsAfterFortyNineDays)
{
    const ULONGLONG kWrapMs = 0x100000000ULL;
    DWORD start = GetTickCount();
    MachineAdvanceClockMs(kWrapMs + 10);
    EXPECT_EQ(GetTickCount(), start + 10);
}

TEST_F(Win32Test, CounterQueriesRefuseANullPointer)
{
    EXPECT_FALSE(QueryPerformanceCounter(nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
    EXPECT_FALSE(QueryPerformanceFrequency(nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
}
