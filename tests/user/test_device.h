// A small driver linked into the user-mode tests: a device that keeps the bytes
// written to it and hands them to reads, pending a read (cancelably) until bytes
// arrive, plus device controls that echo their input or complete with a chosen
// status. It gives the Win32 calls real requests to carry.
#pragma once

#include <wdm.h>

#include <string>

// Service name of the builtin driver.
inline constexpr char16_t kTestDeviceService[] = u"Win32Test";

// \Device\Win32Test, linked as \DosDevices\Win32Test, COM3 and COM12.
// \Device\Win32TestExclusive (an exclusive device), linked as Win32TestExclusive.

// Echo: the output is the input (as much as fits).
#define IOCTL_WIN32TEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes with the given status after filling `information` output bytes with
// kTestFillByte.
#define IOCTL_WIN32TEST_COMPLETE_WITH \
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
struct TestCompleteWith {
    NTSTATUS status;
    ULONG information;
};
inline constexpr UCHAR kTestFillByte = 0x5A;

// Counts of what reached the driver since it was loaded.
struct TestDeviceCounts {
    LONG creates;
    LONG cleanups;
    LONG closes;
    LONG readsCompleted;   // with data
    LONG readsCancelled;   // by a cancel routine or at cleanup
};

// A device control with any other code is refused with STATUS_INVALID_DEVICE_REQUEST
// and remembered, so that a test sees which request a Win32 call sent.
struct TestRefusedControl {
    ULONG code;
    ULONG inputLength;
    UCHAR firstInputByte;
};

// Loads the driver on the running machine (its DriverEntry creates the devices).
void TestDeviceLoad();
TestDeviceCounts TestDeviceGetCounts();
TestRefusedControl TestDeviceLastRefusedControl();
// Waits (on the machine's dispatcher) until a read is queued on \Device\Win32Test.
void TestDeviceWaitForQueuedRead();
