// The port exports against the scripted control device: what each one sends, how
// it reads the reply, and what it reports when the driver or the device refuses.
#include "api_fixture.h"

#include <ob.h>

#include <string.h>

namespace {

ScriptedAnswer Reply(std::vector<UCHAR> output)
{
    return {STATUS_SUCCESS, std::move(output)};
}

ScriptedAnswer Refusal(NTSTATUS status)
{
    return {status, {}};
}

TEST_F(ScriptedApiTest, EachExportSendsOneRequestWithZeroBasedPortsOnItsOwnHandle)
{
    UCHAR map[256];
    memset(map, 0xFF, sizeof(map));
    ScriptDefaultAnswer(IOCTL_KELU_GET_CONNECTION_MAP, Reply({map, map + sizeof(map)}));
    ULONG word;
    int flag;
    char ch;
    KELU_PORT_SETTINGS settings;
    CreateEventA(nullptr, TRUE, FALSE, "keluPortData7");

    EXPECT_EQ(keluConnectPorts(3, 5), 1);
    EXPECT_EQ(keluDisconnectPorts(5, 3), 1);
    EXPECT_EQ(keluGetConnectedPort(3, &word), 1);
    EXPECT_EQ(keluConfirmPortOpening(7, 0xC0000022), 1);
    EXPECT_EQ(keluIsPortOpened(7, &flag), 1);
    EXPECT_EQ(keluGetNumBytesInBuffer(7, &word), 1);
    EXPECT_EQ(keluWriteCharToPortBuffer(4, 'A'), 1);
    ScriptAnswers(IOCTL_KELU_READ_FROM_PORT, {Reply({'z'})});
    EXPECT_EQ(keluReadCharFromPortBuffer(4, &ch), 1);
    EXPECT_EQ(keluGetControlSignals(4, &word), 1);
    EXPECT_EQ(keluSetControlSignals(4, 0x3F), 1);
    EXPECT_EQ(keluGetSettings(4, &settings), 1);
    HANDLE event = keluGetDataEvent(7);
    EXPECT_NE(event, nullptr);
    CloseHandle(event);

    struct Expected {
        ULONG code;
        std::vector<UCHAR> input;
        ULONG outputLength;
    };
    const Expected expected[] = {
        {IOCTL_KELU_CONNECT_PORTS, Bytes({2, 4}), 0},
        {IOCTL_KELU_DISCONNECT_PORTS, Bytes({4, 2}), 0},
        {IOCTL_KELU_GET_CONNECTION_MAP, {}, 256},
        {IOCTL_KELU_CONFIRM_PORT_OPENING, Bytes({6, 0xC0000022}), 0},
        {IOCTL_KELU_IS_PORT_OPENED, Bytes({6}), 4},
        {IOCTL_KELU_GET_NUMBYTESINBUFFER, Bytes({6}), 4},
        {IOCTL_KELU_WRITE_TO_PORT, Bytes({0x41000003}), 0},
        {IOCTL_KELU_READ_FROM_PORT, Bytes({3}), 1},
        {IOCTL_KELU_GET_MODEMREGISTERS, Bytes({3, 0, 0}), 12},
        {IOCTL_KELU_SET_MODEMREGISTERS, Bytes({3, 0xF0, 0x03}), 0},
        {IOCTL_KELU_GET_SETTINGS, Bytes({3}), 44},
        {IOCTL_KELU_INIT_EVENTS, Bytes({6}), 0},
    };
    auto requests = RecordedRequests();
    ASSERT_EQ(requests.size(), std::size(expected));
    for (size_t i = 0; i < requests.size(); i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(requests[i].code, expected[i].code);
        EXPECT_EQ(requests[i].input, expected[i].input);
        EXPECT_EQ(requests[i].outputLength, expected[i].outputLength);
    }
    EXPECT_EQ(ScriptedControlDeviceOpens(), static_cast<LONG>(requests.size()));
}

TEST_F(ScriptedApiTest, RepliesAreTranslatedIntoTheLibraryNumbering)
{
    UCHAR map[256];
    memset(map, 0xFF, sizeof(map));
    map[2] = 4;    // port 3 is paired with port 5
    map[254] = 0;  // port 255 is paired with port 1
    ScriptDefaultAnswer(IOCTL_KELU_GET_CONNECTION_MAP, Reply({map, map + sizeof(map)}));
    ULONG partner = 0;
    EXPECT_EQ(keluGetConnectedPort(3, &partner), 1);
    EXPECT_EQ(partner, 5u);
    EXPECT_EQ(keluGetConnectedPort(255, &partner), 1);
    EXPECT_EQ(partner, 1u);
    EXPECT_EQ(keluGetConnectedPort(4, &partner), 1);
    EXPECT_EQ(partner, 0xFFFFFFFFu);

    ScriptAnswers(IOCTL_KELU_IS_PORT_OPENED, {Reply(Bytes({0x100})), Reply(Bytes({0}))});
    int opened = -1;
    EXPECT_EQ(keluIsPortOpened(2, &opened), 1);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(keluIsPortOpened(2, &opened), 1);
    EXPECT_EQ(opened, 0);

    ScriptAnswers(IOCTL_KELU_GET_NUMBYTESINBUFFER, {Reply(Bytes({1023}))});
    ULONG count = 0;
    EXPECT_EQ(keluGetNumBytesInBuffer(2, &count), 1);
    EXPECT_EQ(count, 1023u);

    ScriptAnswers(IOCTL_KELU_READ_FROM_PORT, {Reply({0xE9})});
    char ch = 0;
    SetLastError(ERROR_MORE_DATA);
    EXPECT_EQ(keluReadCharFromPortBuffer(2, &ch), 1);
    EXPECT_EQ(static_cast<UCHAR>(ch), 0xE9);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(ScriptedApiTest, SignalWordsMapOntoTheTwoLineImages)
{
    // Each signal alone, then all of them with bits the word does not define.
    const struct {
        ULONG signals;
        ULONG modemStatus;
        ULONG modemControl;
    } cases[] = {
        {KELU_SIGNAL_RTS, 0x00, 0x02}, {KELU_SIGNAL_CTS, 0x10, 0x00}, {KELU_SIGNAL_DTR, 0x00, 0x01},
        {KELU_SIGNAL_DSR, 0x20, 0x00}, {KELU_SIGNAL_RI, 0x40, 0x00},  {KELU_SIGNAL_DCD, 0x80, 0x00},
        {0xFFFFFFFF, 0xF0, 0x03},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.signals);
        EXPECT_EQ(keluSetControlSignals(9, c.signals), 1);
        EXPECT_EQ(RecordedRequests().back().input, Bytes({8, c.modemStatus, c.modemControl}));
    }

    // Change bits and anything above the low byte of either image are not lines.
    const struct {
        ULONG modemStatus;
        ULONG modemControl;
        ULONG signals;
    } replies[] = {
        {0x30, 0x01, KELU_SIGNAL_CTS | KELU_SIGNAL_DSR | KELU_SIGNAL_DTR},
        {0xC0, 0x02, KELU_SIGNAL_RI | KELU_SIGNAL_DCD | KELU_SIGNAL_RTS},
        {0xFFFFFF0F, 0xFFFFFFFC, 0},
        {0x1F0, 0x103, 0x3F},
    };
    for (const auto &r : replies) {
        SCOPED_TRACE(r.modemStatus);
        ScriptAnswers(IOCTL_KELU_GET_MODEMREGISTERS,
                      {Reply(Bytes({8, r.modemStatus, r.modemControl}))});
        ULONG signals = 0xDEAD;
        EXPECT_EQ(keluGetControlSignals(9, &signals), 1);
        EXPECT_EQ(signals, r.signals);
    }
}

TEST_F(ScriptedApiTest, SettingsAreNarrowedFieldByFieldAndReservedBytesKept)
{
    std::vector<UCHAR> reply = Bytes({3, 0xEEEEEEEE, 115200});
    // EofChar, ErrorChar, BreakChar, EventChar, XonChar, XoffChar, WordLength,
    // StopBits, Parity, three reserved bytes.
    for (UCHAR b : {0x1A, 0x3F, 0x77, 0x0D, 0x11, 0x13, 7, 2, 1, 0xEE, 0xEE, 0xEE}) {
        reply.push_back(b);
    }
    // ControlHandShake, FlowReplace, XonLimit, XoffLimit, FIFO control.
    for (UCHAR b : Bytes({0x80000008, 0x80000080, 0x12345, 0xABCDE, 0x99})) {
        reply.push_back(b);
    }
    ASSERT_EQ(reply.size(), 44u);
    ScriptAnswers(IOCTL_KELU_GET_SETTINGS, {Reply(reply)});

    KELU_PORT_SETTINGS settings;
    memset(&settings, 0xA5, sizeof(settings));
    EXPECT_EQ(keluGetSettings(4, &settings), 1);
    EXPECT_EQ(settings.BaudRate, 115200u);
    EXPECT_EQ(settings.WordLength, 7);
    EXPECT_EQ(settings.Parity, 1);
    EXPECT_EQ(settings.StopBits, 2);
    EXPECT_EQ(settings.XonChar, 0x11);
    EXPECT_EQ(settings.XoffChar, 0x13);
    EXPECT_EQ(settings.ErrorChar, 0x3F);
    EXPECT_EQ(settings.EofChar, 0x1A);
    EXPECT_EQ(settings.EventChar, 0x0D);
    EXPECT_EQ(settings.XonLimit, 0x2345);
    EXPECT_EQ(settings.XoffLimit, 0xBCDE);
    EXPECT_EQ(settings.ControlHandShake, 0x08);
    EXPECT_EQ(settings.FlowReplace, 0x80u);
    const UCHAR reserved[3] = {0xA5, 0xA5, 0xA5};
    EXPECT_EQ(memcmp(settings.Reserved, reserved, sizeof(reserved)), 0);
}

TEST_F(ScriptedApiTest, ARefusedRequestKeepsTheDriversErrorAndLeavesResultsAlone)
{
    ScriptDefaultAnswer(IOCTL_KELU_GET_CONNECTION_MAP, Refusal(STATUS_INVALID_PARAMETER));
    ScriptDefaultAnswer(IOCTL_KELU_IS_PORT_OPENED, Refusal(STATUS_INVALID_PARAMETER));
    ScriptDefaultAnswer(IOCTL_KELU_GET_NUMBYTESINBUFFER, Refusal(STATUS_INVALID_PARAMETER));
    ScriptDefaultAnswer(IOCTL_KELU_READ_FROM_PORT, Refusal(STATUS_DEVICE_NOT_CONNECTED));
    ScriptDefaultAnswer(IOCTL_KELU_WRITE_TO_PORT, Refusal(STATUS_DEVICE_NOT_CONNECTED));
    ScriptDefaultAnswer(IOCTL_KELU_GET_MODEMREGISTERS, Refusal(STATUS_INVALID_PARAMETER));
    ScriptDefaultAnswer(IOCTL_KELU_SET_MODEMREGISTERS, Refusal(STATUS_INVALID_PARAMETER));
    ScriptDefaultAnswer(IOCTL_KELU_GET_SETTINGS, Refusal(STATUS_INVALID_PARAMETER));
    ScriptDefaultAnswer(IOCTL_KELU_CONNECT_PORTS, Refusal(STATUS_BUFFER_TOO_SMALL));
    ScriptDefaultAnswer(IOCTL_KELU_CONFIRM_PORT_OPENING, Refusal(STATUS_INVALID_PARAMETER));
    ScriptDefaultAnswer(IOCTL_KELU_INIT_EVENTS, Refusal(STATUS_INSUFFICIENT_RESOURCES));

    ULONG word = 77;
    int flag = 77;
    char ch = 'q';
    KELU_PORT_SETTINGS settings;
    memset(&settings, 0xA5, sizeof(settings));
    const struct {
        const char *what;
        std::function<bool()> call;
        DWORD error;
    } cases[] = {
        {"partner", [&] { return keluGetConnectedPort(3, &word) == 0; }, ERROR_INVALID_PARAMETER},
        {"opened", [&] { return keluIsPortOpened(3, &flag) == 0; }, ERROR_INVALID_PARAMETER},
        {"waiting", [&] { return keluGetNumBytesInBuffer(3, &word) == 0; },
         ERROR_INVALID_PARAMETER},
        {"read char", [&] { return keluReadCharFromPortBuffer(3, &ch) == 0; },
         ERROR_DEVICE_NOT_CONNECTED},
        {"write char", [&] { return keluWriteCharToPortBuffer(3, 'x') == 0; },
         ERROR_DEVICE_NOT_CONNECTED},
        {"get signals", [&] { return keluGetControlSignals(3, &word) == 0; },
         ERROR_INVALID_PARAMETER},
        {"set signals", [&] { return keluSetControlSignals(3, 1) == 0; }, ERROR_INVALID_PARAMETER},
        {"settings", [&] { return keluGetSettings(3, &settings) == 0; }, ERROR_INVALID_PARAMETER},
        {"connect", [&] { return keluConnectPorts(3, 4) == 0; }, ERROR_INSUFFICIENT_BUFFER},
        {"confirm", [&] { return keluConfirmPortOpening(3, 0) == 0; }, ERROR_INVALID_PARAMETER},
        {"event", [&] { return keluGetFlowEvent(3) == nullptr; }, ERROR_NO_SYSTEM_RESOURCES},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(c.call());
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(word, 77u);
    EXPECT_EQ(flag, 77);
    EXPECT_EQ(ch, 'q');
    EXPECT_EQ(settings.BaudRate, 0xA5A5A5A5u);
    EXPECT_EQ(settings.FlowReplace, 0xA5A5A5A5u);
}

TEST_F(ScriptedApiTest, ByteRunsReportHowFarTheyGot)
{
    // Receive buffer full after 3 of 8: a success that counts 3.
    ScriptAnswers(IOCTL_KELU_WRITE_TO_PORT,
                  {Reply({}), Reply({}), Reply({}), Refusal(STATUS_BUFFER_OVERFLOW)});
    UCHAR out[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    ULONG written = 99;
    SetLastError(ERROR_INVALID_FUNCTION);
    EXPECT_EQ(keluWriteToPortBuffer(6, out, 8, &written), 1);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    auto requests = RecordedRequests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].input, Bytes({0x61000005}));
    EXPECT_EQ(requests[3].input, Bytes({0x64000005}));

    // 4 of 10 waiting: the bytes land in order and the rest of the buffer is untouched.
    ScriptAnswers(IOCTL_KELU_READ_FROM_PORT, {Reply({'w'}), Reply({'x'}), Reply({'y'}),
                                              Reply({'z'}), Refusal(STATUS_NO_MORE_ENTRIES)});
    UCHAR in[10];
    memset(in, '.', sizeof(in));
    ULONG read = 99;
    EXPECT_EQ(keluReadFromPortBuffer(6, in, 10, &read), 1);
    EXPECT_EQ(read, 4u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(memcmp(in, "wxyz......", 10), 0);

    // A full run leaves the last error as its last byte did, not the caller's.
    ScriptAnswers(IOCTL_KELU_READ_FROM_PORT, {Reply({'p'}), Reply({'q'})});
    SetLastError(ERROR_INVALID_FUNCTION);
    EXPECT_EQ(keluReadFromPortBuffer(6, in, 2, &read), 1);
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));

    // Nothing waiting: a failure with a count of 0.
    ScriptAnswers(IOCTL_KELU_READ_FROM_PORT, {Refusal(STATUS_NO_MORE_ENTRIES)});
    read = 99;
    EXPECT_EQ(keluReadFromPortBuffer(6, in, 10, &read), 0);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // Another reason after some bytes: a success that keeps the reason.
    ScriptAnswers(IOCTL_KELU_WRITE_TO_PORT,
                  {Reply({}), Reply({}), Refusal(STATUS_DEVICE_NOT_CONNECTED)});
    EXPECT_EQ(keluWriteToPortBuffer(6, out, 8, &written), 1);
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));

    // A full buffer at the first byte fails the run.
    ScriptAnswers(IOCTL_KELU_WRITE_TO_PORT, {Refusal(STATUS_BUFFER_OVERFLOW)});
    EXPECT_EQ(keluWriteToPortBuffer(6, out, 8, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));

    // An empty run succeeds without a request.
    size_t before = RecordedRequests().size();
    written = 99;
    EXPECT_EQ(keluWriteToPortBuffer(6, out, 0, &written), 1);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(RecordedRequests().size(), before);
}

TEST_F(ScriptedApiTest, EventGettersOpenTheNamedEventForWaitingOnly)
{
    const struct {
        HANDLE (*getter)(ULONG);
        const char *name;
    } getters[] = {
        {keluGetDataEvent, "keluPortData12"},
        {keluGetSettingsEvent, "keluPortSettings12"},
        {keluGetFlowEvent, "keluPortFlowControl12"},
        {keluGetOpenCloseEvent, "keluPortOpened12"},
    };
    for (const auto &g : getters) {
        SCOPED_TRACE(g.name);
        HANDLE own = CreateEventA(nullptr, TRUE, FALSE, g.name);
        ASSERT_NE(own, nullptr);
        HANDLE event = g.getter(12);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(RecordedRequests().back().code, static_cast<ULONG>(IOCTL_KELU_INIT_EVENTS));
        EXPECT_EQ(RecordedRequests().back().input, Bytes({11}));
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        SetEvent(own);
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(event);
        CloseHandle(own);
    }
    // Events that the driver did not create: OpenEventA's own error.
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(keluGetDataEvent(13), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Without the driver every port export fails at once with the open's error; while
// another process holds the control device every one tries again for two seconds of
// the machine's clock and then fails with ERROR_ACCESS_DENIED.
TEST_F(ApiTest, WithoutTheControlDeviceEveryPortExportFailsWithTheOpenError)
{
    ULONG word = 5;
    int flag = 5;
    char ch = 'q';
    UCHAR data[2] = {1, 2};
    KELU_PORT_SETTINGS settings = {};
    HANDLE probe =
        CreateFileA("\\\\.\\KeluControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
    ASSERT_EQ(probe, INVALID_HANDLE_VALUE);
    DWORD openError = GetLastError();
    ASSERT_NE(openError, static_cast<DWORD>(ERROR_SUCCESS));

    const std::function<bool()> calls[] = {
        [&] { return keluConnectPorts(1, 2) == 0; },
        [&] { return keluDisconnectPorts(1, 2) == 0; },
        [&] { return keluGetConnectedPort(1, &word) == 0; },
        [&] { return keluConfirmPortOpening(1, 0) == 0; },
        [&] { return keluIsPortOpened(1, &flag) == 0; },
        [&] { return keluGetNumBytesInBuffer(1, &word) == 0; },
        [&] { return keluWriteCharToPortBuffer(1, 'x') == 0; },
        [&] { return keluReadCharFromPortBuffer(1, &ch) == 0; },
        [&] { return keluWriteToPortBuffer(1, data, 2, &word) == 0; },
        [&] { return keluReadFromPortBuffer(1, data, 2, &word) == 0; },
        [&] { return keluGetControlSignals(1, &word) == 0; },
        [&] { return keluSetControlSignals(1, 3) == 0; },
        [&] { return keluGetSettings(1, &settings) == 0; },
        [&] { return keluGetDataEvent(1) == nullptr; },
        [&] { return keluGetSettingsEvent(1) == nullptr; },
        [&] { return keluGetFlowEvent(1) == nullptr; },
        [&] { return keluGetOpenCloseEvent(1) == nullptr; },
    };
    for (size_t i = 0; i < std::size(calls); i++) {
        SCOPED_TRACE(i);
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(calls[i]());
        EXPECT_EQ(GetLastError(), openError);
    }
    EXPECT_EQ(ch, 'q');
    EXPECT_EQ(flag, 5);
    EXPECT_EQ(data[0], 1);

    ScriptedControlDeviceLoad();
    Process* other = PsCreateProcess("holder");
    PsSetCurrentProcess(other);
    HANDLE held = CreateFileA("\\\\.\\KeluControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    PsSetCurrentProcess(PsDefaultProcess());
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    for (size_t i = 0; i < std::size(calls); i++) {
        SCOPED_TRACE(i);
        bool failed = false;
        DWORD error = ERROR_SUCCESS;
        ULONGLONG waitedMs = RunWhileClockAdvances(
            [&] {
                failed = calls[i]();
                error = GetLastError();
            },
            500);
        EXPECT_TRUE(failed);
        EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_GE(waitedMs, 2000u);
    }
    EXPECT_EQ(ScriptedControlDeviceOpens(), 1);
    PsSetCurrentProcess(other);
    CloseHandle(held);
    PsSetCurrentProcess(PsDefaultProcess());
    ObfDereferenceObject(other);
    EXPECT_TRUE(RecordedRequests().empty());
}

}  // namespace
