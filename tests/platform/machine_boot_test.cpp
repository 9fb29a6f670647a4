// The machine: debug log, memory class, system time.
#include "machine_test.h"

#include <wdm.h>

#include "ntservices.h"
#include "ob.h"

#include <stdlib.h>

#include <filesystem>
#include <thread>

namespace {

using MachineBootTest = MachineTest;

TEST_F(MachineBootTest, DbgPrintFormatsWithWindowsConventions) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Serial0");
    ULONG status = 0xC0000022;
    ULONGLONG big = 0x1122334455667788ULL;
    DbgPrint("kelu.sys: %wZ Status = 0x%08X %lu %I64x %ws %s%%\n", &name, status, ULONG(7), big,
             u"COM1", "done");
    EXPECT_EQ(MachineDebugLog(),
              "kelu.sys: \\Device\\Serial0 Status = 0xC0000022 7 1122334455667788 COM1 done%\n");
    Restart();
    EXPECT_EQ(MachineDebugLog(), "");  // the log starts empty with each boot
}

// A long-running machine's log keeps its latest whole lines, up to 1 MiB.
TEST_F(MachineBootTest, TheDebugLogKeepsItsLatestLinesUpToABound) {
    const std::string tail = " of a long run ......................................\n";
    for (int line = 0; line < 40000; ++line) DbgPrint("kelu.sys: line %08d%s", line, tail.c_str());
    std::string log = MachineDebugLog();
    EXPECT_LE(log.size(), size_t(1) << 20);
    EXPECT_GE(log.size(), size_t(1) << 19);
    EXPECT_EQ(log.rfind("kelu.sys: line ", 0), 0u);  // begins with a whole line
    EXPECT_TRUE(log.ends_with("line 00039999" + tail));
    MachineLog("kelu.sys: after\n");
    EXPECT_TRUE(MachineDebugLog().ends_with("line 00039999" + tail + "kelu.sys: after\n"));
}

TEST_F(MachineBootTest, MemoryClassIsSettable) {
    EXPECT_EQ(MmQuerySystemSize(), MmLargeSystem);
    MachineSetSystemSize(MmSmallSystem);
    EXPECT_EQ(MmQuerySystemSize(), MmSmallSystem);
}

TEST_F(MachineBootTest, SystemTimeAdvancesWithTheManualClockOnly) {
    LARGE_INTEGER before, after;
    KeQuerySystemTime(&before);
    KeQuerySystemTime(&after);
    EXPECT_EQ(before.QuadPart, after.QuadPart);
    MachineAdvanceClockMs(1500);
    KeQuerySystemTime(&after);
    EXPECT_EQ(after.QuadPart - before.QuadPart, 15000000);
    // An absolute timeout in the past does not wait.
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &before), STATUS_TIMEOUT);
}

class RealClockTest : public MachineTest {
protected:
    MachineOptions Options() const override {
        MachineOptions options = MachineTest::Options();
        options.manualClock = false;
        return options;
    }
};

// With the real clock, a timer thread fires timers on host time.
VOID NTAPI SignalDpc(PKDPC, PVOID context, PVOID, PVOID) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
}

TEST_F(RealClockTest, TimerFiresOnHostTime) {
    KEVENT fired;
    KeInitializeEvent(&fired, NotificationEvent, FALSE);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, SignalDpc, &fired);
    LARGE_INTEGER due;
    due.QuadPart = -20 * 10000;  // 20 ms
    ULONGLONG start = KeQueryInterruptTime();
    KeSetTimer(&timer, due, &dpc);
    LARGE_INTEGER limit;
    limit.QuadPart = -10LL * 1000 * 10000;
    ASSERT_EQ(KeWaitForSingleObject(&fired, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    EXPECT_GE(KeQueryInterruptTime() - start, 20u * 10000);
}

// A program that boots no machine gets the embedded one on its first system service,
// in KELU_MACHINE_DIR; threads that race to that first call share it.
TEST(EmbeddedMachineTest, FirstServiceCallBootsOneMachineInTheConfiguredDirectory) {
    ASSERT_EQ(MachineRunning(), nullptr);
    std::string directory = std::filesystem::temp_directory_path() / "kelu-embedded-XXXXXX";
    ASSERT_NE(mkdtemp(directory.data()), nullptr);
    setenv("KELU_MACHINE_DIR", directory.c_str(), 1);
    HANDLE events[2] = {};
    std::thread first([&] { NtCreateEvent(&events[0], nullptr, TRUE, FALSE); });
    std::thread second([&] { NtCreateEvent(&events[1], nullptr, TRUE, FALSE); });
    first.join();
    second.join();
    unsetenv("KELU_MACHINE_DIR");
    Machine *machine = MachineRunning();
    ASSERT_NE(machine, nullptr);
    EXPECT_EQ(machine->stateDirectory, directory);
    EXPECT_TRUE(std::filesystem::exists(directory + "/registry.txt"));
    EXPECT_EQ(PsHandleCount(PsDefaultProcess()), 2u);  // both calls reached one machine
    MachineShutdown(machine);
    std::filesystem::remove_all(directory);
}

}  // namespace
