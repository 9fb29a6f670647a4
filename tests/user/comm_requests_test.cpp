// The comm calls that are one serial request each: which request they send, and
// that a port's refusal reaches the caller as its error.
#include "win32_fixture.h"

#include <ntddser.h>

TEST_F(Win32Test, BreakAndImmediateCharacterSendTheirSerialRequests)
{
    HANDLE port = Open("COM3");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    // The test device serves no serial request: each is refused, as a device that
    // lacks it refuses it on Windows.
    EXPECT_FALSE(SetCommBreak(port));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_FUNCTION);
    EXPECT_EQ(TestDeviceLastRefusedControl().code, (ULONG)IOCTL_SERIAL_SET_BREAK_ON);
    EXPECT_FALSE(ClearCommBreak(port));
    EXPECT_EQ(TestDeviceLastRefusedControl().code, (ULONG)IOCTL_SERIAL_SET_BREAK_OFF);
    EXPECT_FALSE(TransmitCommChar(port, '\xE5'));
    TestRefusedControl sent = TestDeviceLastRefusedControl();
    EXPECT_EQ(sent.code, (ULONG)IOCTL_SERIAL_IMMEDIATE_CHAR);
    EXPECT_EQ(sent.inputLength, 1u);
    EXPECT_EQ(sent.firstInputByte, 0xE5);
    CloseHandle(port);

    EXPECT_FALSE(SetCommBreak(port));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(TransmitCommChar(port, 'x'));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
}
