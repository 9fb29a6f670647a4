// Random codes, lengths and contents sent to the control device and to an open
// port. A model says which result and how many bytes each request must bring: a wrong
// status or a reply longer than the request's output fails, as does a verifier stop.
// The seed is fixed so that a failure repeats.
#include "api_fixture.h"

#include <ntddser.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <random>

namespace {

// What a request must end with: its Win32 error (ERROR_SUCCESS) and the bytes returned.
struct Outcome {
    DWORD error;
    DWORD bytes;
    bool operator==(const Outcome &other) const
    {
        return error == other.error && bytes == other.bytes;
    }
};

std::ostream &operator<<(std::ostream &out, const Outcome &outcome)
{
    return out << "error " << outcome.error << ", " << outcome.bytes << " bytes";
}

// A request with no output that fails with `error` unless `condition` holds.
Outcome SucceedsIf(bool condition, DWORD error)
{
    return {condition ? static_cast<DWORD>(ERROR_SUCCESS) : error, 0};
}

ULONG FirstUlong(const std::vector<UCHAR> &input)
{
    ULONG value = 0;
    if (!input.empty()) {
        std::memcpy(&value, input.data(), std::min<size_t>(input.size(), sizeof(value)));
    }
    return value;
}

// The control protocol on a machine whose ports 0 and 1 (COM1 and COM2) are plugged in
// and closed. A request names its port by its whole first ULONG or by that ULONG's low
// byte; a port that is not plugged in is an invalid parameter.
class ControlModel {
public:
    Outcome Answer(ULONG code, const std::vector<UCHAR> &input, ULONG outputLength) const
    {
        const Request *request = Find(code);
        if (request == nullptr) {
            return {ERROR_INVALID_FUNCTION, 0};
        }
        if (input.size() < request->input || outputLength < request->output) {
            return {ERROR_INSUFFICIENT_BUFFER, 0};
        }
        ULONG first = FirstUlong(input);
        ULONG port = request->lowByte ? (first & 0xFF) : first;
        switch (code) {
        case IOCTL_KELU_CONNECT_PORTS:
        case IOCTL_KELU_DISCONNECT_PORTS: {
            ULONG second = FirstUlong(std::vector<UCHAR>(input.begin() + 4, input.end()));
            bool pairable = first < 255 && second < 255 && first != second;
            return SucceedsIf(pairable, ERROR_INVALID_PARAMETER);
        }
        case IOCTL_KELU_GET_CONNECTION_MAP:
            return {ERROR_SUCCESS, 256};
        default:
            break;
        }
        if (port > 1) {
            return {ERROR_INVALID_PARAMETER, 0};
        }
        if (code == IOCTL_KELU_READ_FROM_PORT || code == IOCTL_KELU_WRITE_TO_PORT) {
            return {ERROR_DEVICE_NOT_CONNECTED, 0};  // the port is closed
        }
        return {ERROR_SUCCESS, request->reply};
    }

private:
    struct Request {
        ULONG code;
        ULONG input;
        ULONG output;
        ULONG reply;
        bool lowByte;
    };
    static const Request *Find(ULONG code)
    {
        static const Request requests[] = {
            {IOCTL_KELU_CONNECT_PORTS, 8, 0, 0, false},
            {IOCTL_KELU_DISCONNECT_PORTS, 8, 0, 0, false},
            {IOCTL_KELU_GET_CONNECTION_MAP, 0, 256, 256, false},
            {IOCTL_KELU_SET_MODEMREGISTERS, sizeof(KELU_MODEM_REGISTERS), 0, 0, false},
            {IOCTL_KELU_GET_MODEMREGISTERS, 4, sizeof(KELU_MODEM_REGISTERS),
             sizeof(KELU_MODEM_REGISTERS), false},
            {IOCTL_KELU_GET_SETTINGS, 4, sizeof(KELU_SETTINGS_REPLY), sizeof(KELU_SETTINGS_REPLY),
             false},
            {IOCTL_KELU_SET_CONFIRMATION, 4, 0, 0, true},
            {IOCTL_KELU_READ_FROM_PORT, 4, 1, 1, false},
            {IOCTL_KELU_WRITE_TO_PORT, 4, 0, 0, true},
            {IOCTL_KELU_INIT_EVENTS, 4, 0, 0, true},
            {IOCTL_KELU_IS_PORT_OPENED, 4, 4, 4, true},
            {IOCTL_KELU_GET_NUMBYTESINBUFFER, 4, 4, 4, true},
            {IOCTL_KELU_CONFIRM_PORT_OPENING, 8, 0, 0, true},
        };
        for (const Request &request : requests) {
            if (request.code == code) {
                return &request;
            }
        }
        return nullptr;
    }
};

// The serial requests on an open port whose partner is closed, so that no event ends a
// wait. The model follows the two settings that decide later answers: the wait mask
// and whether DTR belongs to the handshake. Codes the port does not serve succeed with
// no bytes; direct I/O never reaches the driver.
class PortModel {
public:
    // *pends: the request waits until it is cancelled (and then ends as the outcome says).
    Outcome Answer(ULONG code, const std::vector<UCHAR> &input, ULONG outputLength, bool *pends)
    {
        *pends = false;
        ULONG method = METHOD_FROM_CTL_CODE(code);
        if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
            return {ERROR_INVALID_FUNCTION, 0};
        }
        const Request *request = Find(code);
        if (request == nullptr) {
            return {ERROR_SUCCESS, 0};
        }
        if (input.size() < request->input || outputLength < request->output) {
            return {ERROR_INSUFFICIENT_BUFFER, 0};
        }
        ULONG value = FirstUlong(input);
        switch (code) {
        case IOCTL_SERIAL_SET_HANDFLOW: {
            SERIAL_HANDFLOW handFlow;
            std::memcpy(&handFlow, input.data(), sizeof(handFlow));
            if (!IsValid(handFlow)) {
                return {ERROR_INVALID_PARAMETER, 0};
            }
            dtrHandshake_ =
                (handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
            return {ERROR_SUCCESS, 0};
        }
        case IOCTL_SERIAL_SET_DTR:
        case IOCTL_SERIAL_CLR_DTR:
            return SucceedsIf(!dtrHandshake_, ERROR_INVALID_PARAMETER);
        case IOCTL_SERIAL_PURGE:
            return SucceedsIf(value != 0 && (value & ~0xFUL) == 0, ERROR_INVALID_PARAMETER);
        case IOCTL_SERIAL_SET_WAIT_MASK:
            waitMask_ = value;
            return {ERROR_SUCCESS, 0};
        case IOCTL_SERIAL_WAIT_ON_MASK:
            if (waitMask_ == 0) {
                return {ERROR_GEN_FAILURE, 0};
            }
            *pends = true;
            return {ERROR_OPERATION_ABORTED, 0};
        case kModemCheck:
            return {ERROR_INVALID_PARAMETER, 0};
        default:
            return {ERROR_SUCCESS, request->reply};
        }
    }

private:
    static constexpr ULONG kModemCheck = CTL_CODE(0x2B, 11, METHOD_BUFFERED, FILE_ANY_ACCESS);

    struct Request {
        ULONG code;
        ULONG input;
        ULONG output;
        ULONG reply;
    };
    static const Request *Find(ULONG code)
    {
        static const Request requests[] = {
            {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0, 0},
            {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0, 0},
            {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0, 0},
            {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0, 0},
            {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0, 0},
            {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0, 0},
            {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0, 0},
            {IOCTL_SERIAL_PURGE, 4, 0, 0},
            {IOCTL_SERIAL_SET_MODEM_CONTROL, 4, 0, 0},
            {IOCTL_SERIAL_SET_FIFO_CONTROL, 4, 0, 0},
            {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0, 0},
            {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL), sizeof(SERIAL_LINE_CONTROL)},
            {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS), sizeof(SERIAL_CHARS)},
            {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW), sizeof(SERIAL_HANDFLOW)},
            {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS), sizeof(SERIAL_TIMEOUTS)},
            {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS), sizeof(SERIAL_STATUS)},
            {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP), sizeof(SERIAL_COMMPROP)},
            {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS), sizeof(SERIALPERF_STATS)},
            {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4, 4},
            {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4, 4},
            {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4, 4},
            {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4, 4},
            {IOCTL_SERIAL_GET_DTRRTS, 0, 4, 4},
            {IOCTL_SERIAL_CONFIG_SIZE, 0, 4, 4},
            {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, 4, 4},
            {IOCTL_SERIAL_SET_DTR, 0, 0, 0},
            {IOCTL_SERIAL_CLR_DTR, 0, 0, 0},
            {IOCTL_SERIAL_SET_RTS, 0, 0, 0},
            {IOCTL_SERIAL_CLR_RTS, 0, 0, 0},
            {IOCTL_SERIAL_SET_BREAK_ON, 0, 0, 0},
            {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0, 0},
            {kModemCheck, 0, 0, 0},
        };
        for (const Request &request : requests) {
            if (request.code == code) {
                return &request;
            }
        }
        return nullptr;
    }

    // Handshake settings a port accepts: defined bits only, DTR not both controlled and
    // handshaking, and both limits within 0 to 1024.
    static bool IsValid(const SERIAL_HANDFLOW &handFlow)
    {
        return (handFlow.ControlHandShake & SERIAL_CONTROL_INVALID) == 0 &&
               (handFlow.FlowReplace & SERIAL_FLOW_INVALID) == 0 &&
               (handFlow.ControlHandShake & SERIAL_DTR_MASK) != SERIAL_DTR_MASK &&
               handFlow.XonLimit >= 0 && handFlow.XonLimit <= 1024 && handFlow.XoffLimit >= 0 &&
               handFlow.XoffLimit <= 1024;
    }

    ULONG waitMask_ = 0;
    bool dtrHandshake_ = false;
};

class RandomRequestsTest : public ApiTest {
protected:
    void SetUp() override
    {
        ApiTest::SetUp();
        InstallBusAndPortDriver();
        for (ULONG port : {1UL, 2UL}) {
            int result = 0;
            RunWhileClockAdvances([&] { result = keluPluginPort(port, 0); }, 2000);
            ASSERT_EQ(result, 1);
        }
        ASSERT_EQ(keluConnectPorts(1, 2), 1);
    }

    std::mt19937 random_{20261208};

    ULONG Below(ULONG bound) { return std::uniform_int_distribution<ULONG>(0, bound - 1)(random_); }

    std::vector<UCHAR> RandomBytes(ULONG length)
    {
        std::vector<UCHAR> bytes(length);
        for (UCHAR &b : bytes) {
            // Small values often, so that port numbers and lengths hit real ports.
            b = static_cast<UCHAR>(Below(4) == 0 ? Below(256) : Below(3));
        }
        return bytes;
    }

    // Whole ULONGs, often small numbers, so that masks and sizes take their meaningful values.
    std::vector<UCHAR> RandomWords(ULONG length)
    {
        std::vector<UCHAR> bytes = RandomBytes(length);
        for (size_t at = 0; at + 4 <= bytes.size(); at += 4) {
            if (Below(2) == 0) {
                ULONG small = Below(16);
                std::memcpy(&bytes[at], &small, sizeof(small));
            }
        }
        return bytes;
    }
};

TEST_F(RandomRequestsTest, TheControlDeviceAnswersEveryRequestAsTheModelSays)
{
    ControlModel model;
    for (int i = 0; i < 3000; i++) {
        // Mostly the protocol's own codes, sometimes their neighbours.
        ULONG code = Below(8) == 0 ? 0x830020BC + 4 * Below(20) : 0x830020C0 + 4 * Below(13);
        std::vector<UCHAR> input = RandomBytes(Below(3) == 0 ? Below(64) : 4 * Below(4));
        ULONG outputLength = Below(3) == 0 ? Below(300) : 256;
        std::vector<UCHAR> output(outputLength + 1, 0xEE);
        HANDLE control =
            CreateFileA("\\\\.\\KeluControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(control, INVALID_HANDLE_VALUE);
        DWORD returned = 0xFFFFFFFF;
        BOOL ok = DeviceIoControl(control, code, input.data(), static_cast<DWORD>(input.size()),
                                  output.data(), outputLength, &returned, nullptr);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        CloseHandle(control);
        SCOPED_TRACE(testing::Message() << "request " << i << " code 0x" << std::hex << code
                                        << std::dec << ", " << input.size() << " bytes in, "
                                        << outputLength << " out");
        EXPECT_EQ((Outcome{error, returned}), model.Answer(code, input, outputLength));
        EXPECT_EQ(output[outputLength], 0xEE);
        if (HasFailure()) {
            return;
        }
    }
}

TEST_F(RandomRequestsTest, AnOpenPortAnswersEveryRequestAsTheModelSays)
{
    HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PortModel model;
    for (int i = 0; i < 3000; i++) {
        // The serial request set (functions 0 to 40) and sometimes any code at all.
        ULONG method = Below(4) == 0 ? Below(4) : METHOD_BUFFERED;
        ULONG code = Below(10) == 0
                         ? Below(0xFFFFFFFF)
                         : CTL_CODE(FILE_DEVICE_SERIAL_PORT, Below(41), method, FILE_ANY_ACCESS);
        std::vector<UCHAR> input = RandomWords(Below(40));
        ULONG outputLength = Below(80);
        std::vector<UCHAR> output(outputLength + 1, 0xEE);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done;
        ResetEvent(done);
        DWORD returned = 0xFFFFFFFF;
        BOOL ok = DeviceIoControl(port, code, input.data(), static_cast<DWORD>(input.size()),
                                  output.data(), outputLength, &returned, &overlapped);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        bool pended = !ok && error == ERROR_IO_PENDING;
        if (pended) {
            CancelIo(port);
            ok = GetOverlappedResult(port, &overlapped, &returned, TRUE);
            error = ok ? ERROR_SUCCESS : GetLastError();
        }
        SCOPED_TRACE(testing::Message() << "request " << i << " code 0x" << std::hex << code
                                        << std::dec << ", " << input.size() << " bytes in, "
                                        << outputLength << " out");
        bool pends = false;
        Outcome expected = model.Answer(code, input, outputLength, &pends);
        if (code == IOCTL_SERIAL_SET_QUEUE_SIZE && error == ERROR_NO_SYSTEM_RESOURCES) {
            // Sizes beyond the pool are refused, changing nothing.
            expected = {ERROR_NO_SYSTEM_RESOURCES, 0};
        }
        if (code == IOCTL_SERIAL_IMMEDIATE_CHAR && error == ERROR_BUSY) {
            // The character finds the transmit ring full (random queue sizes can make it
            // small); only then is it refused.
            COMSTAT status = {};
            DWORD errors = 0;
            ASSERT_TRUE(ClearCommError(port, &errors, &status));
            EXPECT_GT(status.cbOutQue, 0u);
            expected = {ERROR_BUSY, 0};
        }
        EXPECT_EQ(pended, pends);
        EXPECT_EQ((Outcome{error, returned}), expected);
        EXPECT_EQ(output[outputLength], 0xEE);
        if (HasFailure()) {
            break;
        }
    }
    CloseHandle(done);
    CloseHandle(port);
}

}  // namespace
