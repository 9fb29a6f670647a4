// What the serial request tests share: the pair of data path tests, opened, with
// requests sent as an application sends them and answered with the driver's own status.
#pragma once

#include "datapath_fixture.h"

// The driver's answer to one device control request on an overlapped port handle.
struct SerialAnswer {
    NTSTATUS status;
    ULONG bytes;
};

class SerialTest : public OpenPairTest {
protected:
    // Sends a request that completes at once; input and output share `buffer`.
    static SerialAnswer Ioctl(HANDLE port, ULONG code, void *buffer = nullptr, ULONG input = 0,
                              ULONG output = 0) {
        Overlapped request;
        DWORD returned = 0;
        DeviceIoControl(port, code, input ? buffer : nullptr, input, output ? buffer : nullptr,
                        output, &returned, &request.ov);
        EXPECT_TRUE(request.Done()) << std::hex << code;
        return {request.Status(), request.Bytes()};
    }
    static NTSTATUS Set(HANDLE port, ULONG code, ULONG value) {
        return Ioctl(port, code, &value, sizeof(value)).status;
    }
    static ULONG GetUlong(HANDLE port, ULONG code) {
        ULONG value = 0xDEADBEEF;
        EXPECT_EQ(Ioctl(port, code, &value, 0, sizeof(value)).status, STATUS_SUCCESS);
        return value;
    }
    template <typename Record>
    static Record Get(HANDLE port, ULONG code) {
        Record record;
        std::memset(&record, 0xCC, sizeof(record));
        EXPECT_EQ(Ioctl(port, code, &record, 0, sizeof(record)).bytes, sizeof(record));
        return record;
    }
    // Starts IOCTL_SERIAL_WAIT_ON_MASK; the answer lands in request.data (4 bytes). TRUE
    // when it succeeded without pending.
    static BOOL StartWait(HANDLE port, Overlapped &request) {
        request.data.assign(4, 0xEE);
        request.port = port;
        DWORD returned;
        return DeviceIoControl(port, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, request.data.data(),
                               4, &returned, &request.ov);
    }
    static ULONG WaitResult(const Overlapped &request) {
        ULONG value;
        std::memcpy(&value, request.data.data(), sizeof(value));
        return value;
    }

};
