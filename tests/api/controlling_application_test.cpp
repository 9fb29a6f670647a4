// The library as a controlling application uses it, with the real port driver and
// bus enumerator, next to serial applications on the ports.
#include "api_fixture.h"

#include <ntddser.h>

#include <string.h>

#include <ob.h>

#include <vector>

namespace {

class ControllingApplicationTest : public ApiTest {
protected:
    // Small machine: 128-byte rings, so filling a port's receive side is quick.
    MachineOptions Options() const override
    {
        MachineOptions options = ApiTest::Options();
        options.systemSize = MmSmallSystem;
        return options;
    }

    void SetUp() override
    {
        ApiTest::SetUp();
        InstallBusAndPortDriver();
    }

    // Plug-in waits on the machine's clock while the new port starts.
    static void PlugIn(ULONG port, int confirm)
    {
        int result = 0;
        RunWhileClockAdvances([&] { result = keluPluginPort(port, confirm); }, 2000);
        ASSERT_EQ(result, 1) << "plug-in of port " << port << ": error " << GetLastError();
        PnpWaitIdle();
    }

    static HANDLE OpenPort(ULONG port)
    {
        std::string name = "\\\\.\\COM" + std::to_string(port);
        return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    // Sends one request to the control device as the library does.
    static BOOL ControlRequest(ULONG code, const void *input, DWORD inputLength, void *output,
                               DWORD outputLength)
    {
        HANDLE control =
            CreateFileA("\\\\.\\KeluControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (control == INVALID_HANDLE_VALUE) {
            return FALSE;
        }
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(control, code, const_cast<void *>(input), inputLength, output,
                                  outputLength, &returned, nullptr);
        DWORD error = GetLastError();
        CloseHandle(control);
        SetLastError(error);
        return ok;
    }

    // Opens the port in a thread; the open waits for the controlling application.
    // A test that fails before answering switches confirmation off, which wakes the
    // open, so that the thread can be joined.
    struct WaitingOpen {
        ULONG port;
        std::atomic<bool> done{false};
        HANDLE handle = INVALID_HANDLE_VALUE;
        DWORD error = 0;
        std::thread thread;

        explicit WaitingOpen(ULONG portNumber)
            : port(portNumber), thread([this] {
                  handle = OpenPort(port);
                  error = GetLastError();
                  done = true;
              })
        {
        }
        ~WaitingOpen()
        {
            if (!done) {
                ULONG off = port - 1;
                ControlRequest(IOCTL_KELU_SET_CONFIRMATION, &off, sizeof(off), nullptr, 0);
            }
            thread.join();
            if (handle != INVALID_HANDLE_VALUE) {
                CloseHandle(handle);
            }
        }
    };
};

TEST_F(ControllingApplicationTest, OpensWaitForTheControllingApplicationsAnswer)
{
    PlugIn(3, 1);
    HANDLE opened = keluGetOpenCloseEvent(3);
    ASSERT_NE(opened, nullptr);

    // Refused: the open fails with the answer.
    {
        WaitingOpen open(3);
        ASSERT_TRUE(Eventually([&] { return WaitForSingleObject(opened, 0) == WAIT_OBJECT_0; }));
        int isOpened = 0;
        EXPECT_EQ(keluIsPortOpened(3, &isOpened), 1);
        EXPECT_EQ(isOpened, 1);
        EXPECT_FALSE(open.done);
        EXPECT_EQ(keluConfirmPortOpening(3, 0xC0000022), 1);
        ASSERT_TRUE(Eventually([&] { return open.done.load(); }));
        EXPECT_EQ(open.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(open.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    }
    int isOpened = 1;
    EXPECT_EQ(keluIsPortOpened(3, &isOpened), 1);
    EXPECT_EQ(isOpened, 0);

    // Approved: the open goes through.
    {
        WaitingOpen open(3);
        ASSERT_TRUE(Eventually([&] {
            int waiting = 0;
            return keluIsPortOpened(3, &waiting) == 1 && waiting == 1;
        }));
        EXPECT_EQ(keluConfirmPortOpening(3, 0), 1);
        ASSERT_TRUE(Eventually([&] { return open.done.load(); }));
        EXPECT_NE(open.handle, INVALID_HANDLE_VALUE);
    }

    // Switching confirmation off wakes a waiting open, which uses the last answer (0).
    {
        WaitingOpen open(3);
        ASSERT_TRUE(Eventually([&] {
            int waiting = 0;
            return keluIsPortOpened(3, &waiting) == 1 && waiting == 1;
        }));
        ULONG off = 2;  // port 3, bit 31 clear
        EXPECT_TRUE(ControlRequest(IOCTL_KELU_SET_CONFIRMATION, &off, sizeof(off), nullptr, 0));
        ASSERT_TRUE(Eventually([&] { return open.done.load(); }));
        EXPECT_NE(open.handle, INVALID_HANDLE_VALUE);
    }
    CloseHandle(opened);
}

TEST_F(ControllingApplicationTest, BytesGoInAndOutOfAPortThatAnApplicationHasOpen)
{
    PlugIn(6, 0);
    UCHAR buffer[128];
    ULONG moved = 99;
    // Closed port: the driver's not-connected answer.
    char ch = 'q';
    EXPECT_EQ(keluReadCharFromPortBuffer(6, &ch), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(ch, 'q');

    HANDLE port = OpenPort(6);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    // 125 of the receive ring's 128 bytes taken, then a run of 8 stops after 3.
    memset(buffer, 'r', sizeof(buffer));
    ASSERT_EQ(keluWriteToPortBuffer(6, buffer, 125, &moved), 1);
    ASSERT_EQ(moved, 125u);
    UCHAR run[8] = {'0', '1', '2', '3', '4', '5', '6', '7'};
    ASSERT_EQ(keluWriteToPortBuffer(6, run, 8, &moved), 1);
    ASSERT_EQ(moved, 3u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(keluWriteCharToPortBuffer(6, 'x'), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    DWORD count = 0;
    ASSERT_TRUE(ReadFile(port, buffer, 128, &count, nullptr));
    EXPECT_EQ(count, 128u);
    EXPECT_EQ(memcmp(buffer + 125, "012", 3), 0);

    // The application writes 4 bytes nobody takes; the controller collects them.
    ASSERT_TRUE(WriteFile(port, "abcd", 4, &count, nullptr));
    ULONG waiting = 0;
    EXPECT_EQ(keluGetNumBytesInBuffer(6, &waiting), 1);
    EXPECT_EQ(waiting, 4u);
    memset(buffer, '.', sizeof(buffer));
    EXPECT_EQ(keluReadFromPortBuffer(6, buffer, 10, &moved), 1);
    EXPECT_EQ(moved, 4u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(memcmp(buffer, "abcd......", 10), 0);
    EXPECT_EQ(keluReadFromPortBuffer(6, buffer, 10, &moved), 0);
    EXPECT_EQ(moved, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    CloseHandle(port);
    EXPECT_EQ(keluGetNumBytesInBuffer(6, &waiting), 1);
    EXPECT_EQ(waiting, 0u);
}

TEST_F(ControllingApplicationTest, LinesSetOnOnePortShowOnItsPartner)
{
    PlugIn(1, 0);
    PlugIn(2, 0);
    ASSERT_EQ(keluConnectPorts(1, 2), 1);
    ULONG partner = 0;
    EXPECT_EQ(keluGetConnectedPort(2, &partner), 1);
    EXPECT_EQ(partner, 1u);

    HANDLE app = OpenPort(2);
    ASSERT_NE(app, INVALID_HANDLE_VALUE);
    EXPECT_EQ(keluSetControlSignals(1, 0x3F), 1);
    ULONG signals = 0;
    EXPECT_EQ(keluGetControlSignals(1, &signals), 1);
    EXPECT_EQ(signals, 0x3Fu);
    // Port 1's RTS and DTR reach port 2 as CTS, DSR and DCD.
    EXPECT_EQ(keluGetControlSignals(2, &signals), 1);
    EXPECT_EQ(signals & (KELU_SIGNAL_CTS | KELU_SIGNAL_DSR | KELU_SIGNAL_DCD),
              static_cast<ULONG>(KELU_SIGNAL_CTS | KELU_SIGNAL_DSR | KELU_SIGNAL_DCD));
    ULONG modemStatus = 0;
    DWORD returned = 0;
    ASSERT_TRUE(DeviceIoControl(app, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &modemStatus,
                                sizeof(modemStatus), &returned, nullptr));
    EXPECT_EQ(modemStatus & 0xB0, 0xB0u);
    CloseHandle(app);

    EXPECT_EQ(keluDisconnectPorts(1, 2), 1);
    EXPECT_EQ(keluGetConnectedPort(2, &partner), 1);
    EXPECT_EQ(partner, 0xFFFFFFFFu);
}

TEST_F(ControllingApplicationTest, SettingsOfAFreshPortAndTheLogOfTheControlDevice)
{
    PlugIn(4, 0);
    KELU_PORT_SETTINGS settings;
    memset(&settings, 0, sizeof(settings));
    ASSERT_EQ(keluGetSettings(4, &settings), 1);
    EXPECT_EQ(settings.BaudRate, 19200u);
    EXPECT_EQ(settings.WordLength, 8);
    EXPECT_EQ(settings.XonChar, 0x0B);
    EXPECT_EQ(settings.XoffChar, 0x0D);
    EXPECT_EQ(settings.XonLimit, 500);
    EXPECT_EQ(settings.XoffLimit, 100);

    MachineClearDebugLog();
    EXPECT_EQ(keluSetControlSignals(4, KELU_SIGNAL_CTS), 1);
    // The control device's part of the request as the machine's debug log shows it,
    // after the dispatch routine's own lines.
    const std::string frame =
        "kelu.sys: KeluDeviceDeviceControl starting.\n"
        "      IOCTL_KELU_SET_MODEMREGISTERS\n"
        "kelu.sys: Waiting Mutex\n"
        "kelu.sys: Mutex Acquired\n"
        "kelu.sys: ReleaseMutex\n"
        "kelu.sys: Mutex Released\n"
        "kelu.sys: Transferring Lines"
        "kelu.sys: Lines Transferred\n"
        "      Status = 0x00000000\n"
        "kelu.sys: KeluDeviceDeviceControl() return.\n";
    EXPECT_TRUE(MachineDebugLog().ends_with(frame)) << MachineDebugLog();

    // The same lines again change nothing, so there is nothing to transfer.
    MachineClearDebugLog();
    EXPECT_EQ(keluSetControlSignals(4, KELU_SIGNAL_CTS), 1);
    EXPECT_EQ(MachineDebugLog().find("Transferring Lines"), std::string::npos);

    MachineClearDebugLog();
    ULONG port = 3;
    EXPECT_FALSE(ControlRequest(0x830020F4, &port, sizeof(port), nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_NE(MachineDebugLog().find("      Default\n      Status = 0xC0000010\n"),
              std::string::npos)
        << MachineDebugLog();
}

// A port manager with a thread per port: eight threads of one process call the
// library at once, several hundred mixed calls each, on ports that are paired and
// open. None fails and every answer is right: the calls take turns on the exclusive
// control device and bus interface instead of colliding.
TEST_F(ControllingApplicationTest, ThreadsOfOneProcessNeverFailBecauseOfEachOther)
{
    const ULONG kThreads = 8;
    const int kRounds = 60;  // 7 calls each: 420 calls per thread
    HANDLE applications[kThreads + 1] = {};
    for (ULONG port = 1; port <= kThreads; port++) {
        PlugIn(port, 0);
    }
    for (ULONG port = 1; port <= kThreads; port += 2) {
        ASSERT_EQ(keluConnectPorts(port, port + 1), 1);
    }
    for (ULONG port = 1; port <= kThreads; port++) {
        applications[port] = OpenPort(port);
        ASSERT_NE(applications[port], INVALID_HANDLE_VALUE);
    }
    std::atomic<int> calls{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (ULONG port = 1; port <= kThreads; port++) {
        threads.emplace_back([&, port] {
            auto check = [&](bool ok) {
                calls++;
                if (!ok) {
                    failures++;
                    ADD_FAILURE() << "COM" << port << ": error " << GetLastError();
                }
            };
            ULONG expectedPartner = port % 2 == 1 ? port + 1 : port - 1;
            for (int round = 0; round < kRounds; round++) {
                ULONG partner = 0, waiting = 1, signals = 0, written = 0;
                int opened = 0, pluggedIn = 0;
                UCHAR byte = UCHAR(round);
                check(keluGetConnectedPort(port, &partner) == 1 && partner == expectedPartner);
                check(keluIsPortOpened(port, &opened) == 1 && opened == 1);
                check(keluGetNumBytesInBuffer(port, &waiting) == 1 && waiting == 0);
                check(keluWriteToPortBuffer(port, &byte, 1, &written) == 1 && written == 1);
                check(keluGetControlSignals(port, &signals) == 1);
                check(keluIsPortPluggedIn(port, &pluggedIn) == 1 && pluggedIn == 1);
                // The port's application takes the byte, so the receive side never fills.
                UCHAR received = 0;
                DWORD read = 0;
                check(ReadFile(applications[port], &received, 1, &read, nullptr) && read == 1 &&
                      received == byte);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(calls.load(), int(kThreads) * kRounds * 7);
    EXPECT_EQ(failures.load(), 0);
    for (ULONG port = 1; port <= kThreads; port++) {
        CloseHandle(applications[port]);
    }
}

// Another process that holds the control device open: a call tries again for about
// two seconds of the machine's clock and then fails with ERROR_ACCESS_DENIED, leaving
// its result alone; a holder that lets go within that time costs only the wait.
TEST_F(ControllingApplicationTest, ACallCollidingWithAnotherProcessTriesAgainForTwoSeconds)
{
    PlugIn(5, 0);
    Process* other = PsCreateProcess("holder");
    PsSetCurrentProcess(other);
    HANDLE control = CreateFileA("\\\\.\\KeluControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    PsSetCurrentProcess(PsDefaultProcess());
    ASSERT_NE(control, INVALID_HANDLE_VALUE);

    ULONG signals = 0xDEAD;
    int result = -1;
    DWORD error = ERROR_SUCCESS;
    ULONGLONG waitedMs = RunWhileClockAdvances(
        [&] {
            result = keluGetControlSignals(5, &signals);
            error = GetLastError();
        },
        50);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(signals, 0xDEADu);
    EXPECT_GE(waitedMs, 2000u);
    EXPECT_LE(waitedMs, 2100u);

    // The holder closes once half a second has passed on the machine's clock.
    ULONGLONG start = KeQueryInterruptTime();
    std::thread holder([&] {
        while (KeQueryInterruptTime() - start < 500 * 10000) {
            std::this_thread::yield();
        }
        PsSetCurrentProcess(other);
        CloseHandle(control);
    });
    waitedMs = RunWhileClockAdvances([&] { result = keluGetControlSignals(5, &signals); }, 50);
    holder.join();
    EXPECT_EQ(result, 1);
    EXPECT_NE(signals, 0xDEADu);
    EXPECT_GE(waitedMs, 500u);
    EXPECT_LT(waitedMs, 2000u);
    ObfDereferenceObject(other);
}

TEST_F(ControllingApplicationTest, UnpluggedPortsAreGoneForTheLibraryToo)
{
    PlugIn(7, 0);
    PlugIn(8, 0);
    int pluggedIn = 0;
    EXPECT_EQ(keluIsPortPluggedIn(7, &pluggedIn), 1);
    EXPECT_EQ(pluggedIn, 1);
    EXPECT_EQ(keluUnplugPort(7), 1);
    PnpWaitIdle();
    EXPECT_EQ(keluIsPortPluggedIn(7, &pluggedIn), 1);
    EXPECT_EQ(pluggedIn, 0);
    // The driver has no port 7 any more.
    KELU_PORT_SETTINGS settings;
    EXPECT_EQ(keluGetSettings(7, &settings), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(keluGetSettings(8, &settings), 1);
    HANDLE port = OpenPort(7);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE);
}

}  // namespace
