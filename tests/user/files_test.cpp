// Opening, closing and synchronous requests on devices, and how request statuses
// reach the caller as Win32 results and errors.
#include "win32_fixture.h"

#include <cstring>

TEST_F(Win32Test, DeviceNamesResolveAsOnWindows)
{
    for (const char *name :
         {"\\\\.\\Win32Test", "\\\\?\\Win32Test", "COM3", "com3", "COM3:", "\\\\.\\COM12"}) {
        HANDLE handle = Open(name);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(CloseHandle(handle)) << name;
    }
    // Only COM1 to COM9 are reserved names; COM12 needs the device form.
    for (const char *name : {"COM12", "\\\\.\\NoSuchDevice", "\\\\.\\", "C:\\file.txt"}) {
        SetLastError(0);
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND) << name;
    }
    EXPECT_EQ(TestDeviceGetCounts().creates, 6);
}

TEST_F(Win32Test, ExclusiveDeviceAdmitsOneOpenAtATime)
{
    HANDLE first = Open("\\\\.\\Win32TestExclusive");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("\\\\.\\Win32TestExclusive"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(first));
    HANDLE again = Open("\\\\.\\Win32TestExclusive");
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST_F(Win32Test, CloseSendsCleanupAndCloseOnceAndRejectsStaleHandles)
{
    HANDLE handle = Open();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(TestDeviceGetCounts().cleanups, 0);
    ASSERT_TRUE(CloseHandle(handle));
    TestDeviceCounts counts = TestDeviceGetCounts();
    EXPECT_EQ(counts.cleanups, 1);
    EXPECT_EQ(counts.closes, 1);

    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(TestDeviceGetCounts().closes, 1);
}

TEST_F(Win32Test, SynchronousRequestsReturnTheirBytes)
{
    HANDLE handle = Open();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    ASSERT_TRUE(WriteFile(handle, "hello", 5, &count, nullptr));
    EXPECT_EQ(count, 5u);
    char read[8] = {};
    ASSERT_TRUE(ReadFile(handle, read, 3, &count, nullptr));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(read, 3), "hel");

    // Buffered device control: the output is copied back by the byte count.
    char input[4] = {'a', 'b', 'c', 'd'};
    char output[8];
    std::memset(output, '.', sizeof(output));
    ASSERT_TRUE(DeviceIoControl(handle, IOCTL_WIN32TEST_ECHO, input, sizeof(input), output,
                                sizeof(output), &count, nullptr));
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(output, 8), "abcd....");
    CloseHandle(handle);
}

TEST_F(Win32Test, StatusesBecomeWin32ResultsAndErrors)
{
    struct Case {
        ULONG status;
        BOOL result;
        DWORD error;  // for failures
        DWORD bytes;  // what the caller is told
    };
    const DWORD kSentinel = 0x12345;
    const Case cases[] = {
        {0x00000000, TRUE, kSentinel, 3},                  // success
        {0x00000102, TRUE, kSentinel, 3},                  // STATUS_TIMEOUT is a success
        {0x80000005, FALSE, ERROR_MORE_DATA, 3},           // warnings keep their bytes
        {0x8000001A, FALSE, ERROR_NO_MORE_ITEMS, 3},
        {0xC000000D, FALSE, ERROR_INVALID_PARAMETER, 0},   // errors return none
        {0xC000000E, FALSE, ERROR_FILE_NOT_FOUND, 0},
        {0xC0000010, FALSE, ERROR_INVALID_FUNCTION, 0},
        {0xC0000022, FALSE, ERROR_ACCESS_DENIED, 0},
        {0xC0000035, FALSE, ERROR_ALREADY_EXISTS, 0},
        {0xC0000056, FALSE, ERROR_ACCESS_DENIED, 0},
        {0xC000009A, FALSE, ERROR_NO_SYSTEM_RESOURCES, 0},
        {0xC000009D, FALSE, ERROR_DEVICE_NOT_CONNECTED, 0},
        {0xC00000A3, FALSE, ERROR_NOT_READY, 0},
        {0xC0000120, FALSE, ERROR_OPERATION_ABORTED, 0},
        {0xE0000042, FALSE, 0xE0000042, 0},                // application-defined: as is
        {0xC0070005, FALSE, ERROR_ACCESS_DENIED, 0},       // a Win32 error carried in a status
        {0xC0001234, FALSE, ERROR_MR_MID_NOT_FOUND, 0},    // no mapping
    };
    HANDLE handle = Open();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    for (const Case &c : cases) {
        TestCompleteWith request = {static_cast<NTSTATUS>(c.status), 3};
        UCHAR output[8];
        std::memset(output, 0, sizeof(output));
        DWORD bytes = 99;
        SetLastError(kSentinel);
        BOOL result = DeviceIoControl(handle, IOCTL_WIN32TEST_COMPLETE_WITH, &request,
                                      sizeof(request), output, sizeof(output), &bytes, nullptr);
        EXPECT_EQ(result, c.result) << std::hex << c.status;
        EXPECT_EQ(GetLastError(), c.error) << std::hex << c.status;
        EXPECT_EQ(bytes, c.bytes) << std::hex << c.status;
        // Output is copied back for successes and warnings only.
        EXPECT_EQ(output[2], c.bytes != 0 ? kTestFillByte : 0) << std::hex << c.status;
    }
    CloseHandle(handle);
}

TEST_F(Win32Test, BadArgumentsFailBeforeReachingTheDriver)
{
    EXPECT_EQ(CreateFileA(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateFileA("\\\\.\\Win32Test", GENERIC_READ, 0, nullptr, 0, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    HANDLE handle = Open();
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DWORD count = 0;
    EXPECT_FALSE(ReadFile(handle, nullptr, 5, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
    EXPECT_FALSE(DeviceIoControl(handle, IOCTL_WIN32TEST_ECHO, nullptr, 4, nullptr, 0, &count,
                                 nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOACCESS);
    // A code the driver does not know.
    EXPECT_FALSE(DeviceIoControl(handle, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED,
                                                  FILE_ANY_ACCESS),
                                 nullptr, 0, nullptr, 0, &count, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    CloseHandle(handle);
    EXPECT_EQ(TestDeviceGetCounts().creates, 1);
}
