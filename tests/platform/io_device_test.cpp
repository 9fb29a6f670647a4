// Device objects and their names: creation, collisions, exclusive opens, links, and
// a device deleted while a file on it is still open.
#include "io_manager.h"
#include "io_test_support.h"
#include "loader.h"
#include "machine_test.h"

#include <cstring>

namespace {

struct DeviceDriver {
    PDRIVER_OBJECT driver;
    int creates, cleanups, closes;
} g_devices;

NTSTATUS NTAPI CountingDispatch(PDEVICE_OBJECT, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE: g_devices.creates++; break;
    case IRP_MJ_CLEANUP: g_devices.cleanups++; break;
    case IRP_MJ_CLOSE: g_devices.closes++; break;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

VOID NTAPI DeleteAllDevices(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject)
        IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DeviceDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE})
        driver->MajorFunction[major] = CountingDispatch;
    driver->DriverUnload = DeleteAllDevices;
    return STATUS_SUCCESS;
}

class IoDeviceTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_devices = {};
        LoaderRegisterBuiltinDriver(u"DEVTEST", DeviceDriverEntry);
        ASSERT_EQ(LoaderLoadDriver(u"DEVTEST", &g_devices.driver), STATUS_SUCCESS);
    }

    PDEVICE_OBJECT Create(const std::u16string &name, bool exclusive, ULONG extensionSize = 0,
                          NTSTATUS expected = STATUS_SUCCESS) {
        UNICODE_STRING counted = CountedString(name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(IoCreateDevice(g_devices.driver, extensionSize, name.empty() ? nullptr : &counted,
                                 FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, exclusive, &device),
                  expected);
        if (device)
            device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }
};

TEST_F(IoDeviceTest, NewDeviceHasZeroedExtensionAndIsInitializingUntilCleared) {
    UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\Fresh");
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(g_devices.driver, 64, &name, FILE_DEVICE_SERIAL_PORT,
                             FILE_DEVICE_SECURE_OPEN, FALSE, &device),
              STATUS_SUCCESS);
    EXPECT_EQ(device->DriverObject, g_devices.driver);
    EXPECT_EQ(g_devices.driver->DeviceObject, device);
    EXPECT_EQ(device->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_EQ(device->Characteristics, (ULONG)FILE_DEVICE_SECURE_OPEN);
    EXPECT_EQ(device->StackSize, 1);
    ASSERT_NE(device->DeviceExtension, nullptr);
    static const UCHAR zeros[64] = {};
    EXPECT_EQ(memcmp(device->DeviceExtension, zeros, 64), 0);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(device->DeviceExtension) % 8, 0u);
    EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);

    HANDLE file = nullptr;
    EXPECT_EQ(OpenDevice(u"\\Device\\Fresh", true, &file), STATUS_NO_SUCH_DEVICE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(OpenDevice(u"\\Device\\Fresh", true, &file), STATUS_SUCCESS);
    EXPECT_EQ(NtClose(file), STATUS_SUCCESS);
}

TEST_F(IoDeviceTest, NameCollisionAndLinkCollisionFail) {
    Create(u"\\Device\\Twice", false);
    EXPECT_EQ(Create(u"\\Device\\Twice", false, 0, STATUS_OBJECT_NAME_COLLISION), nullptr);
    PDEVICE_OBJECT unnamed = Create(u"", false);
    EXPECT_NE(unnamed, nullptr);

    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\DosDevices\\TwiceLink");
    UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Twice");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
    HANDLE file = nullptr;
    EXPECT_EQ(OpenDevice(u"\\??\\TwiceLink", true, &file), STATUS_SUCCESS) << "\\DosDevices is \\??";
    NtClose(file);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(OpenDevice(u"\\??\\TwiceLink", true, &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS) << "the name is free again";
}

TEST_F(IoDeviceTest, ExclusiveDeviceAdmitsOneFileAtATime) {
    Create(u"\\Device\\Solo", true);
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(OpenDevice(u"\\Device\\Solo", true, &first), STATUS_SUCCESS);
    EXPECT_EQ(OpenDevice(u"\\Device\\Solo", true, &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(g_devices.creates, 1) << "a refused open never reaches the driver";
    EXPECT_EQ(NtClose(first), STATUS_SUCCESS);
    EXPECT_EQ(g_devices.cleanups, 1);
    EXPECT_EQ(g_devices.closes, 1);
    EXPECT_EQ(OpenDevice(u"\\Device\\Solo", true, &second), STATUS_SUCCESS);
    NtClose(second);

    Create(u"\\Device\\Shared", false);
    ASSERT_EQ(OpenDevice(u"\\Device\\Shared", true, &first), STATUS_SUCCESS);
    EXPECT_EQ(OpenDevice(u"\\Device\\Shared", true, &second), STATUS_SUCCESS);
    NtClose(first);
    NtClose(second);
}

TEST_F(IoDeviceTest, DeletedDeviceRefusesOpensButOpenFileStillGetsCleanupAndClose) {
    PDEVICE_OBJECT device = Create(u"\\Device\\Doomed", false, 16);
    UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\DoomedLink");
    UNICODE_STRING target = RTL_CONSTANT_STRING(u"\\Device\\Doomed");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(u"\\??\\DoomedLink", true, &file), STATUS_SUCCESS);

    IoDeleteDevice(device);
    EXPECT_EQ(g_devices.driver->DeviceObject, nullptr);
    HANDLE other = nullptr;
    EXPECT_EQ(OpenDevice(u"\\Device\\Doomed", true, &other), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_NE(OpenDevice(u"\\??\\DoomedLink", true, &other), STATUS_SUCCESS);
    EXPECT_EQ(g_devices.closes, 0);

    EXPECT_EQ(NtClose(file), STATUS_SUCCESS);
    EXPECT_EQ(g_devices.cleanups, 1);
    EXPECT_EQ(g_devices.closes, 1);
    IoDeleteSymbolicLink(&link);
}

TEST_F(IoDeviceTest, AutogeneratedNamesAreUnique) {
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(g_devices.driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &first),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(g_devices.driver, 0, nullptr, FILE_DEVICE_BUS_EXTENDER,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &second),
              STATUS_SUCCESS);
    std::u16string firstName = ObGetObjectName(first);
    EXPECT_EQ(firstName.rfind(u"\\Device\\", 0), 0u);
    EXPECT_NE(firstName, ObGetObjectName(second));
}

}  // namespace
