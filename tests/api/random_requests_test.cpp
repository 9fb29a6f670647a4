// Random codes, lengths and contents sent to the control device and to an open
// port: the driver must answer each with a status it defines, never a verifier
// stop. The seed is fixed so that a failure repeats.
#include "api_fixture.h"

#include <ntddser.h>

#include <random>
#include <set>

namespace {

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
};

TEST_F(RandomRequestsTest, TheControlDeviceAnswersEveryRequestWithADefinedStatus)
{
    // The statuses of the control protocol as user mode sees them.
    const std::set<DWORD> defined = {
        ERROR_INVALID_PARAMETER,   ERROR_INSUFFICIENT_BUFFER, ERROR_DEVICE_NOT_CONNECTED,
        ERROR_NO_MORE_ITEMS,       ERROR_MORE_DATA,           ERROR_INVALID_FUNCTION,
        ERROR_NO_SYSTEM_RESOURCES, ERROR_NOT_ENOUGH_MEMORY};
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
        DWORD error = GetLastError();
        CloseHandle(control);
        SCOPED_TRACE(testing::Message() << "request " << i << " code 0x" << std::hex << code);
        if (!ok) {
            EXPECT_TRUE(defined.count(error)) << "error " << std::dec << error;
        }
        EXPECT_LE(returned, outputLength);
        EXPECT_EQ(output[outputLength], 0xEE);
        if (HasFailure()) {
            return;
        }
    }
}

TEST_F(RandomRequestsTest, AnOpenPortAnswersEveryRequestWithAMappedStatus)
{
    HANDLE port = CreateFileA("\\\\.\\COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    for (int i = 0; i < 3000; i++) {
        // The serial request set (functions 0 to 40) and sometimes any code at all.
        ULONG method = Below(4) == 0 ? Below(4) : METHOD_BUFFERED;
        ULONG code = Below(10) == 0
                         ? Below(0xFFFFFFFF)
                         : CTL_CODE(FILE_DEVICE_SERIAL_PORT, Below(41), method, FILE_ANY_ACCESS);
        std::vector<UCHAR> input = RandomBytes(Below(40));
        ULONG outputLength = Below(80);
        std::vector<UCHAR> output(outputLength + 1, 0xEE);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = done;
        ResetEvent(done);
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(port, code, input.data(), static_cast<DWORD>(input.size()),
                                  output.data(), outputLength, &returned, &overlapped);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            // A wait or a read-like request: cancel it and collect its end.
            CancelIo(port);
            ok = GetOverlappedResult(port, &overlapped, &returned, TRUE);
            error = ok ? ERROR_SUCCESS : GetLastError();
        }
        SCOPED_TRACE(testing::Message() << "request " << i << " code 0x" << std::hex << code);
        if (!ok) {
            EXPECT_NE(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND)) << "an unmapped status";
            EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS));
        }
        EXPECT_LE(returned, outputLength);
        EXPECT_EQ(output[outputLength], 0xEE);
        if (HasFailure()) {
            break;
        }
    }
    CloseHandle(done);
    CloseHandle(port);
}

}  // namespace
