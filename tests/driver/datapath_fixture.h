// What the data path tests share: two plugged-in ports, COM1 and COM2, connected as a
// pair, opened as an application opens them, and overlapped requests whose outcome is
// read from their OVERLAPPED record (the status block) without waiting.
#pragma once

#include "rig.h"

#include <ntddser.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

// One overlapped read or write with its own buffer and event.
struct Overlapped {
    OVERLAPPED ov{};
    std::vector<BYTE> data;

    HANDLE port = INVALID_HANDLE_VALUE;  // where it was issued

    explicit Overlapped(size_t length = 0) : data(length) {
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    // A test that fails midway leaves requests pending: they must end before the
    // buffer and the record go.
    ~Overlapped() {
        if (port != INVALID_HANDLE_VALUE && !Done()) {
            CancelIo(port);
            Eventually([this] { return Done(); }, 5);
        }
        CloseHandle(ov.hEvent);
    }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;

    bool Done() const { return WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0; }
    NTSTATUS Status() const { return static_cast<NTSTATUS>(ov.Internal); }
    ULONG Bytes() const { return static_cast<ULONG>(ov.InternalHigh); }
};

// The largest timeout value, which some combinations give a meaning of its own.
inline constexpr ULONG kMaxTimeout = 0xFFFFFFFF;

class DataPathTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
        ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
        ASSERT_EQ(Connect(0, 1), STATUS_SUCCESS);
    }

public:

    // Opens COMn+1 for overlapped I/O (or synchronous); INVALID_HANDLE_VALUE on failure.
    static HANDLE OpenPort(ULONG port, bool overlapped = true) {
        std::string path = "\\\\.\\COM" + std::to_string(port + 1);
        return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    }

    static BOOL SetTimeouts(HANDLE port, ULONG interval, ULONG readMultiplier, ULONG readConstant,
                            ULONG writeMultiplier = 0, ULONG writeConstant = 0) {
        SERIAL_TIMEOUTS timeouts = {interval, readMultiplier, readConstant, writeMultiplier,
                                    writeConstant};
        DWORD returned;
        Overlapped request;
        if (DeviceIoControl(port, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), nullptr,
                            0, &returned, &request.ov))
            return TRUE;
        return GetOverlappedResult(port, &request.ov, &returned, TRUE);
    }

    // Starts an overlapped read; the request is pending or already complete.
    static void StartRead(HANDLE port, Overlapped &request, ULONG length) {
        request.data.resize(length);
        request.port = port;
        ReadFile(port, request.data.data(), length, nullptr, &request.ov);
    }

    static void StartWrite(HANDLE port, Overlapped &request, const std::vector<BYTE> &bytes) {
        request.data = bytes;
        request.port = port;
        WriteFile(port, request.data.data(), static_cast<DWORD>(bytes.size()), nullptr,
                  &request.ov);
    }

    // A write that completes within the call (the bytes fit into the transmit ring).
    static ULONG WriteNow(HANDLE port, const std::vector<BYTE> &bytes) {
        Overlapped request;
        StartWrite(port, request, bytes);
        EXPECT_TRUE(request.Done());
        EXPECT_EQ(request.Status(), STATUS_SUCCESS);
        return request.Bytes();
    }

    // Whether a pending request is still pending when the manual clock has moved one
    // millisecond short of `milliseconds`, and has ended with STATUS_TIMEOUT when it
    // reaches them: its timer fires to the millisecond.
    static ::testing::AssertionResult TimesOutAfter(const Overlapped &request,
                                                    ULONGLONG milliseconds) {
        MachineAdvanceClockMs(milliseconds - 1);
        if (request.Done())
            return ::testing::AssertionFailure() << "ended before " << milliseconds << " ms";
        MachineAdvanceClockMs(1);
        if (!request.Done())
            return ::testing::AssertionFailure() << "still pending after " << milliseconds << " ms";
        if (request.Status() != STATUS_TIMEOUT)
            return ::testing::AssertionFailure()
                   << "ended with status 0x" << std::hex << request.Status();
        return ::testing::AssertionSuccess();
    }

    static std::vector<BYTE> Pattern(size_t length, BYTE first = 0) {
        std::vector<BYTE> bytes(length);
        for (size_t i = 0; i < length; i++)
            bytes[i] = static_cast<BYTE>(first + i * 7);
        return bytes;
    }
};

// The pair with both ports open: COM1 as a_, COM2 as b_ (overlapped handles). A test
// that closes one sets it to INVALID_HANDLE_VALUE or reopens it.
class OpenPairTest : public DataPathTest {
protected:
    void SetUp() override {
        DataPathTest::SetUp();
        a_ = OpenPort(0);
        b_ = OpenPort(1);
        ASSERT_NE(a_, INVALID_HANDLE_VALUE);
        ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        for (HANDLE port : {a_, b_}) {
            if (port != INVALID_HANDLE_VALUE)
                CloseHandle(port);
        }
        DataPathTest::TearDown();
    }
    HANDLE a_ = INVALID_HANDLE_VALUE;
    HANDLE b_ = INVALID_HANDLE_VALUE;
};
