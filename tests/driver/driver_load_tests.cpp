// Loading and unloading the port driver: the control device, its exclusivity, the
// routing of requests by kind of device, and what a failed load leaves behind.
#include "rig.h"

#include <ntservices.h>

TEST_F(DriverTest, LoadsWithTheFirstPortAndUnloadsAfterTheLastWithNoPoolLeft)
{
    EXPECT_FALSE(DriverLoaded());
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    EXPECT_TRUE(DriverLoaded());
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\KeluControl"), u"\\Device\\KeluControl");

    ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
    EXPECT_TRUE(DriverLoaded());
    ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
    // The loader checks at unload that no block of the driver's tag is left.
    EXPECT_FALSE(DriverLoaded());
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kKeluPoolTag), 0u);
    EXPECT_FALSE(ObjectExists(u"\\Device\\KeluControl"));
    EXPECT_FALSE(LinkTarget(u"\\DosDevices\\KeluControl").has_value());
    // Nothing changed the map, so unloading wrote none.
    EXPECT_FALSE(StoredMap().has_value());
}

TEST_F(DriverTest, ControlDeviceAdmitsOneHandleAtATime)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    HANDLE first;
    ASSERT_EQ(Open("\\??\\KeluControl", &first), STATUS_SUCCESS);
    HANDLE second;
    EXPECT_EQ(Open("\\??\\KeluControl", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Control(IOCTL_KELU_GET_CONNECTION_MAP, nullptr, 0, 0).status, STATUS_ACCESS_DENIED);

    NtClose(first);
    HANDLE again;
    ASSERT_EQ(Open("\\??\\KeluControl", &again), STATUS_SUCCESS);
    NtClose(again);
}

TEST_F(DriverTest, UnhandledRequestsAreRefusedOnBothKindsOfDevice)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SYSTEM_CONTROL}) {
        EXPECT_EQ(SendToDevice(u"\\Device\\KeluControl", major), STATUS_INVALID_DEVICE_REQUEST) << (int)major;
        EXPECT_EQ(SendToDevice(u"\\Device\\Serial0", major), STATUS_INVALID_DEVICE_REQUEST) << (int)major;
    }
    // A flush is a port's request; a port with nothing to send completes it at once.
    EXPECT_EQ(SendToDevice(u"\\Device\\KeluControl", IRP_MJ_FLUSH_BUFFERS), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(SendToDevice(u"\\Device\\Serial0", IRP_MJ_FLUSH_BUFFERS), STATUS_SUCCESS);

    // An unknown control code: logged as the default case and refused.
    MachineClearDebugLog();
    ULONG word = 0;
    EXPECT_EQ(Control(IOCTL_KELU_SET_CONFIRMATION + 4, &word, sizeof(word), sizeof(word)).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(MachineDebugLog(), "kelu.sys: KeluDeviceControl starting.\n"
                                 "kelu.sys: call KeluDeviceDeviceControl\n"
                                 "kelu.sys: KeluDeviceDeviceControl starting.\n"
                                 "      Default\n"
                                 "      Status = 0xC0000010\n"
                                 "kelu.sys: KeluDeviceDeviceControl() return.\n");
}

TEST_F(DriverTest, ControlRequestsCheckTheirBufferLengths)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    UCHAR buffer[256];
    EXPECT_EQ(Control(IOCTL_KELU_GET_CONNECTION_MAP, buffer, 0, 255).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_CONNECT_PORTS, buffer, 7, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_GET_MODEMREGISTERS, buffer, 4, 11).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_GET_SETTINGS, buffer, 4, 43).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_SET_MODEMREGISTERS, buffer, 11, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(StoredMap().has_value());
}

// A taken control link fails the load after the path copy was made: nothing of the
// driver is left, its memory included.
TEST_F(DriverTest, FailedLoadLeavesNothingBehind)
{
    ASSERT_EQ(ObCreateSymbolicLink(u"\\DosDevices\\KeluControl", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    PlugIn(0);
    EXPECT_FALSE(DriverLoaded());
    EXPECT_FALSE(ObjectExists(u"\\Device\\KeluControl"));
    EXPECT_FALSE(ObjectExists(u"\\Device\\Serial0"));
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kKeluPoolTag), 0u);
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\KeluControl"), u"\\Device\\Elsewhere");
}

TEST_F(DriverTest, LoadFailsCleanlyWithoutMemory)
{
    PoolFailAllocationsWithTag(kKeluPoolTag);
    PlugIn(0);
    PoolClearFaults();
    EXPECT_FALSE(DriverLoaded());
    EXPECT_FALSE(ObjectExists(u"\\Device\\KeluControl"));
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kKeluPoolTag), 0u);
}
