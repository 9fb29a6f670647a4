// Plug and Play and power on a port: which states accept requests, the stop query of
// an open port, removal and surprise removal, and the device power state that a
// system sleep asks for.
#include "rig.h"

#include <ntservices.h>

namespace {

// Whether the port accepts new requests: an open goes through the request reference.
bool Accepts(ULONG port)
{
    HANDLE handle;
    NTSTATUS status = DriverTest::Open("\\??\\COM" + std::to_string(port + 1), &handle);
    if (NT_SUCCESS(status)) {
        NtClose(handle);
        return true;
    }
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    return false;
}

}  // namespace

TEST_F(DriverTest, PortAcceptsRequestsOnlyWhileStartedAndNotBeingRemoved)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = PortPdo(0);
    ASSERT_NE(pdo, nullptr);
    EXPECT_TRUE(Accepts(0));

    // Stop pending, stopped, started again by a new START.
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Accepts(0));
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Accepts(0));
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Accepts(0));
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Accepts(0));

    // Remove pending, and back to the state before.
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(Accepts(0));
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Accepts(0));

    // Removed: the device and its names are gone, and so is the driver.
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(ObjectExists(u"\\Device\\Serial0"));
    EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM1").has_value());
    EXPECT_FALSE(SerialCommValue(u"\\Device\\Serial0").has_value());
    EXPECT_FALSE(DriverLoaded());
}

TEST_F(DriverTest, OpenPortRefusesToStopButCanBeRemoved)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = PortPdo(0);
    HANDLE handle;
    ASSERT_EQ(Open("\\??\\COM1", &handle), STATUS_SUCCESS);

    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SetLines(0, 0, SERIAL_DTR_STATE), STATUS_SUCCESS);  // still started

    // A pending read is cancelled by the removal; the handle still closes afterwards.
    NtClose(handle);
    HANDLE overlapped;
    ASSERT_EQ(Open("\\??\\COM1", &overlapped, true), STATUS_SUCCESS);
    char byte;
    IO_STATUS_BLOCK readStatus = {};
    ASSERT_EQ(NtReadFile(overlapped, nullptr, &readStatus, &byte, 1), STATUS_PENDING);

    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_TRUE(Eventually([&] { return readStatus.Status == STATUS_CANCELLED; }));
    EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM1").has_value());
    NtClose(overlapped);
    PnpWaitIdle();
    EXPECT_FALSE(DriverLoaded());
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kKeluPoolTag), 0u);
}

TEST_F(DriverTest, SurpriseRemovalTearsThePortDownLikeARemoval)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = PortPdo(1);

    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_FALSE(ObjectExists(u"\\Device\\Serial1"));
    EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM2").has_value());
    EXPECT_FALSE(SerialCommValue(u"\\Device\\Serial1").has_value());
    EXPECT_EQ(ConnectionMap()[2], 0xFF);
    EXPECT_EQ(Lines(1).ulModemStatus, 0xFFFFFFFFu);

    // The remove that follows finds the port already gone.
    ASSERT_EQ(PnpSendRequest(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(DriverLoaded());  // port 2 remains
    EXPECT_EQ(SetLines(2, 0, SERIAL_RTS_STATE), STATUS_SUCCESS);
}

TEST_F(DriverTest, SystemSleepAsksForTheDeviceStateTheCapabilitiesGave)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    PnpDeviceInfo child;
    ASSERT_TRUE(PnpFindDevice(u"KELB\\KELU", &child));
    ASSERT_TRUE(child.hasCapabilities);

    EXPECT_EQ(PoSendSystemPowerRequest(child.pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3, PowerActionSleep),
              STATUS_SUCCESS);
    ASSERT_EQ(PoSendSystemPowerRequest(child.pdo, IRP_MN_SET_POWER, PowerSystemSleeping3, PowerActionSleep),
              STATUS_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PoGetDevicePowerState(child.pdo), child.capabilities.DeviceState[PowerSystemSleeping3]);

    ASSERT_EQ(PoSendSystemPowerRequest(child.pdo, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone),
              STATUS_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PoGetDevicePowerState(child.pdo), PowerDeviceD0);
    // Power changes nothing else: the port still works.
    EXPECT_TRUE(Accepts(0));
}
