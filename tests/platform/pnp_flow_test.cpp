// Plug and Play end to end with a bus driver and a function driver written as drivers:
// root device at boot, children appearing and vanishing, driver load and unload,
// refused queries, system power turned into device power, device interfaces, the
// device's hardware key.
#include "io_manager.h"
#include "io_test_support.h"
#include "loader.h"
#include "machine_test.h"
#include "pnp.h"
#include "pnp_test_drivers.h"
#include "registry.h"

namespace {

class PnpFlowTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_testBus = {};
        g_testFunction = {};
        LoaderRegisterBuiltinDriver(u"TESTBUS", TestBusDriverEntry);
        LoaderRegisterBuiltinDriver(u"TESTFUNC", TestFunctionDriverEntry);
        ASSERT_EQ(PnpSetHardwareIdService(u"TESTBUS\\CHILD", u"TESTFUNC"), STATUS_SUCCESS);
        ASSERT_EQ(PnpCreateRootDevice(u"TESTBUS", u"Test_Bus_Root", u"TESTBUS", &rootPath_),
                  STATUS_SUCCESS);
        PnpWaitIdle();
    }

    PDEVICE_OBJECT ChildPdo(int number) {
        for (const PnpDeviceInfo &device : PnpListDevices())
            if (device.instancePath == u"TESTBUS\\CHILD\\" + std::u16string(1, u'0' + number))
                return device.pdo;
        return nullptr;
    }

    std::u16string rootPath_;
};

TEST_F(PnpFlowTest, RootDeviceIsStartedAndRecorded) {
    EXPECT_EQ(rootPath_, u"ROOT\\TESTBUS\\0000");
    PnpDeviceInfo info;
    ASSERT_TRUE(PnpFindDevice(u"Test_Bus_Root", &info));
    EXPECT_TRUE(info.started);
    EXPECT_EQ(info.service, u"TESTBUS");
    EXPECT_EQ(info.instancePath, rootPath_);
    EXPECT_TRUE(info.hasCapabilities);
    EXPECT_EQ(info.capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(g_testBus.driverEntries, 1);
    ASSERT_NE(g_testBus.fdo, nullptr);
    EXPECT_EQ(g_testBus.fdo->StackSize, 2);
}

TEST_F(PnpFlowTest, ChildrenComeAndGoAndTheDriverUnloadsAfterItsLastDevice) {
    TestBusPlug(1);
    PnpWaitIdle();
    EXPECT_EQ(g_testFunction.driverEntries, 1);
    EXPECT_EQ(g_testFunction.addDevices, 1);
    EXPECT_EQ(g_testFunction.starts, 1);
    EXPECT_EQ(g_testFunction.sleepState[PowerSystemSleeping3], PowerDeviceD2)
        << "capabilities were asked before START";
    PnpDeviceInfo info;
    ASSERT_TRUE(PnpFindDevice(u"TESTBUS\\CHILD", &info));
    EXPECT_TRUE(info.started);
    EXPECT_EQ(info.service, u"TESTFUNC");
    EXPECT_TRUE(ChildPdo(1)->Flags & DO_BUS_ENUMERATED_DEVICE);

    TestBusPlug(2);
    PnpWaitIdle();
    EXPECT_EQ(g_testFunction.driverEntries, 1) << "one load serves every device";
    EXPECT_EQ(g_testFunction.addDevices, 2);

    TestBusUnplug(1);
    PnpWaitIdle();
    EXPECT_EQ(g_testFunction.surpriseRemovals, 1);
    EXPECT_EQ(g_testFunction.removals, 1);
    EXPECT_EQ(g_testBus.childEvents,
              (std::vector<std::string>{"surprise removal 1", "remove 1"}));
    EXPECT_EQ(ChildPdo(1), nullptr);
    EXPECT_EQ(g_testFunction.unloads, 0) << "device 2 still uses the driver";
    EXPECT_NE(LoaderFindDriver(u"TESTFUNC"), nullptr);

    TestBusUnplug(2);
    PnpWaitIdle();
    EXPECT_EQ(g_testFunction.removals, 2);
    EXPECT_EQ(g_testFunction.devices, 0);
    EXPECT_EQ(g_testFunction.unloads, 1);
    EXPECT_EQ(LoaderFindDriver(u"TESTFUNC"), nullptr);

    TestBusPlug(3);
    PnpWaitIdle();
    EXPECT_EQ(g_testFunction.driverEntries, 2) << "loaded again for the next device";
    EXPECT_EQ(g_testFunction.starts, 3);
}

TEST_F(PnpFlowTest, RefusedQueryStopIsPassedBackAndRemovalByRequestUnloads) {
    TestBusPlug(0);
    PnpWaitIdle();
    PDEVICE_OBJECT pdo = ChildPdo(0);
    ASSERT_NE(pdo, nullptr);

    g_testFunction.refuseQueryStop = true;
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_UNSUCCESSFUL);
    g_testFunction.refuseQueryStop = false;
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(g_testFunction.removals, 1);
    EXPECT_EQ(g_testFunction.surpriseRemovals, 0);
    EXPECT_EQ(g_testFunction.unloads, 1);
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(PnpSendRequest(pdo, IRP_MN_QUERY_ID), STATUS_INVALID_PARAMETER);
}

TEST_F(PnpFlowTest, SystemSleepBecomesTheDevicePowerStateFromTheCapabilities) {
    TestBusPlug(1);
    PnpWaitIdle();
    PDEVICE_OBJECT pdo = ChildPdo(1);
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(PoSendSystemPowerRequest(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3, PowerActionSleep),
              STATUS_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(g_testBus.childEvents, (std::vector<std::string>{"device power 1 D2"}));
    EXPECT_EQ(g_testFunction.powerCallbacks, 1);
    EXPECT_EQ(g_testFunction.powerCallbackStatus, STATUS_SUCCESS);
    EXPECT_EQ(PoGetDevicePowerState(IoGetTopOfStack(pdo)), PowerDeviceD2);

    EXPECT_EQ(PoSendSystemPowerRequest(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3, PowerActionSleep),
              STATUS_SUCCESS);
}

TEST_F(PnpFlowTest, EnabledInterfaceIsListedAndOpensTheDevice) {
    std::vector<DeviceInterfaceInfo> interfaces = IoListDeviceInterfaces(GUID_TEST_BUS_INTERFACE);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].symbolicLink,
              u"\\??\\ROOT#TESTBUS#0000#{1234abcd-0001-0002-1020-304050607080}");
    EXPECT_EQ(interfaces[0].userPath,
              u"\\\\?\\ROOT#TESTBUS#0000#{1234abcd-0001-0002-1020-304050607080}");
    EXPECT_EQ(interfaces[0].instancePath, rootPath_);

    HANDLE file = nullptr;
    ASSERT_EQ(OpenDevice(interfaces[0].symbolicLink, true, &file), STATUS_SUCCESS);
    EXPECT_EQ(g_testBus.opens, 1) << "the open reached the top of the stack: the bus FDO";
    NtClose(file);

    ASSERT_EQ(PnpRemoveRootDevice(rootPath_), STATUS_SUCCESS);
    EXPECT_TRUE(IoListDeviceInterfaces(GUID_TEST_BUS_INTERFACE).empty());
    EXPECT_EQ(OpenDevice(interfaces[0].symbolicLink, true, &file), STATUS_OBJECT_NAME_NOT_FOUND);
    PnpDeviceInfo info;
    EXPECT_FALSE(PnpFindDevice(u"Test_Bus_Root", &info));
}

TEST_F(PnpFlowTest, HardwareKeyOfAPdoTakesValuesThroughItsHandleAndSurvivesARestart) {
    TestBusPlug(1);
    PnpWaitIdle();
    PDEVICE_OBJECT pdo = ChildPdo(1);
    ASSERT_NE(pdo, nullptr);
    const std::u16string keyPath = PnpHardwareKeyPath(u"TESTBUS\\CHILD\\1");
    EXPECT_EQ(keyPath,
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\TESTBUS\\CHILD\\1"
              u"\\Device Parameters");
    EXPECT_FALSE(RegistryKeyExists(keyPath));

    UNICODE_STRING portName = RTL_CONSTANT_STRING(u"PortName");
    const char16_t com7[] = u"COM7";
    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key), STATUS_SUCCESS);
    EXPECT_TRUE(RegistryKeyExists(keyPath)) << "the first open creates the key";
    EXPECT_EQ(ZwSetValueKey(key, &portName, 0, REG_SZ, const_cast<char16_t *>(com7), sizeof com7),
              STATUS_SUCCESS);
    std::u16string text;
    EXPECT_EQ(RegistryQueryString(keyPath, u"PortName", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"COM7");

    // Requests that change nothing: wrong data, a key type not served, a device object
    // that is no PDO, a handle without the right to write.
    EXPECT_EQ(ZwSetValueKey(key, nullptr, 0, REG_SZ, const_cast<char16_t *>(com7), sizeof com7),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwSetValueKey(key, &portName, 0, REG_SZ, nullptr, 4), STATUS_INVALID_PARAMETER);
    HANDLE other = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DRIVER, KEY_WRITE, &other),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                      KEY_WRITE, &other),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IoOpenDeviceRegistryKey(g_testBus.fdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &other),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(IoOpenDeviceRegistryKey(nullptr, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &other),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(other, nullptr);
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &other), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(other, &portName, 0, REG_SZ, const_cast<char16_t *>(u"COM8"), 10),
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
    // GENERIC_WRITE stands for the key rights that write.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, GENERIC_WRITE, &other),
              STATUS_SUCCESS);
    ULONG number = 7;
    UNICODE_STRING numberName = RTL_CONSTANT_STRING(u"Number");
    EXPECT_EQ(ZwSetValueKey(other, &numberName, 0, REG_DWORD, &number, sizeof number), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(other), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(other, &portName, 0, REG_SZ, const_cast<char16_t *>(u"COM8"), 10),
              STATUS_INVALID_HANDLE);
    // A handle to an object that is no key.
    UNICODE_STRING eventName = RTL_CONSTANT_STRING(u"\\BaseNamedObjects\\NotAKey");
    HANDLE event = nullptr;
    ASSERT_NE(IoCreateSynchronizationEvent(&eventName, &event), nullptr);
    EXPECT_EQ(ZwSetValueKey(event, &portName, 0, REG_SZ, const_cast<char16_t *>(u"COM8"), 10),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(event), STATUS_SUCCESS);
    EXPECT_EQ(RegistryQueryString(keyPath, u"PortName", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"COM7");

    // A key deleted under an open handle is not brought back by a write.
    ASSERT_EQ(RegistryDeleteKeyTree(keyPath), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &portName, 0, REG_SZ, const_cast<char16_t *>(com7), sizeof com7),
              STATUS_KEY_DELETED);
    EXPECT_FALSE(RegistryKeyExists(keyPath));
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // The key is part of the stored registry.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_WRITE, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwSetValueKey(key, &portName, 0, REG_SZ, const_cast<char16_t *>(com7), sizeof com7),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    Restart();
    EXPECT_EQ(RegistryQueryString(keyPath, u"PortName", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"COM7");
}

TEST_F(PnpFlowTest, DeviceWithoutUsableDriverIsLeftWithoutOne) {
    ASSERT_EQ(PnpSetHardwareIdService(u"TESTBUS\\CHILD", u"NOSUCHSERVICE"), STATUS_SUCCESS);
    TestBusPlug(1);
    PnpWaitIdle();
    PnpDeviceInfo info;
    ASSERT_TRUE(PnpFindDevice(u"TESTBUS\\CHILD", &info));
    EXPECT_FALSE(info.started);
    EXPECT_EQ(info.problem, STATUS_OBJECT_NAME_NOT_FOUND);

    // A service whose image is missing fails the same way.
    ASSERT_EQ(LoaderInstallService(u"MISSINGIMAGE", u"System32\\drivers\\missing.sys"),
              STATUS_SUCCESS);
    ASSERT_EQ(PnpSetHardwareIdService(u"TESTBUS\\CHILD", u"MISSINGIMAGE"), STATUS_SUCCESS);
    TestBusPlug(2);
    PnpWaitIdle();
    EXPECT_EQ(g_testFunction.addDevices, 0);
    for (const PnpDeviceInfo &device : PnpListDevices()) {
        if (device.instancePath == u"TESTBUS\\CHILD\\2") {
            EXPECT_EQ(device.problem, STATUS_OBJECT_NAME_NOT_FOUND);
        }
    }
}

TEST_F(PnpFlowTest, RootDeviceComesBackAfterARestartWithItsChildrenRemovedAtShutdown) {
    TestBusPlug(1);
    PnpWaitIdle();
    Restart();
    EXPECT_EQ(g_testFunction.removals, 1) << "shutdown removed the child";
    EXPECT_EQ(g_testFunction.unloads, 1);
    EXPECT_EQ(g_testBus.driverEntries, 2) << "the root device was started at boot";
    PnpDeviceInfo info;
    ASSERT_TRUE(PnpFindDevice(u"Test_Bus_Root", &info));
    EXPECT_TRUE(info.started);
}

}  // namespace
