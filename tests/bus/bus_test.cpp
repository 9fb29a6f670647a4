// The bus enumerator as the port driver and the library rely on it: children per
// plugged-in port reaching their driver, removal on unplug, the plugged map, the
// refusals, persistence across restarts, and its device interface.
#include "bus_fixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

using Events = std::vector<std::string>;

Events Sorted(Events events)
{
    std::sort(events.begin(), events.end());
    return events;
}

}  // namespace

TEST_F(BusTest, PluggedPortReachesItsDriverAndUnplugRemovesIt)
{
    ASSERT_EQ(PlugIn(4), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PortDoubleEvents(), (Events{"add 4", "start 4 SUCCESS"}));
    EXPECT_EQ(PluggedPorts(), (std::vector<int>{4}));

    PnpDeviceInfo child;
    ASSERT_TRUE(PnpFindDevice(u"KELB\\KELU", &child));
    EXPECT_TRUE(child.started);
    EXPECT_EQ(child.hardwareIds, (std::vector<std::u16string>{u"KELB\\KELU"}));
    EXPECT_EQ(child.compatibleIdsStatus, STATUS_SUCCESS);  // an empty list, not a refusal
    EXPECT_TRUE(child.compatibleIds.empty());
    ASSERT_TRUE(child.hasCapabilities);
    EXPECT_EQ(child.capabilities.DeviceState[PowerSystemWorking], PowerDeviceD0);
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; s++) {
        EXPECT_EQ(child.capabilities.DeviceState[s], PowerDeviceD3) << s;
    }
    EXPECT_EQ(child.capabilities.UINumber, 5u);

    ASSERT_EQ(Unplug(4), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PortDoubleEvents(), (Events{"add 4", "start 4 SUCCESS", "remove 4", "unload"}));
    EXPECT_TRUE(PluggedPorts().empty());
    EXPECT_FALSE(PnpFindDevice(u"KELB\\KELU", &child));
}

TEST_F(BusTest, RefusedRequestsLeaveTheBusAsItWas)
{
    ASSERT_EQ(PlugIn(4), (DWORD)ERROR_SUCCESS);
    EXPECT_EQ(PlugIn(4), (DWORD)ERROR_ALREADY_EXISTS);
    EXPECT_EQ(PlugIn(256), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(PlugIn(0xFFFFFFFF), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Unplug(9), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Unplug(300), (DWORD)ERROR_INVALID_PARAMETER);

    // Malformed plug-in records: wrong size word, a list that runs past the buffer,
    // another hardware id, a record shorter than its header.
    const std::u16string_view good(u"KELB\\KELU\0\0", 11);
    const std::u16string_view unterminated(u"KELB\\KELU\0X", 11);
    const std::u16string_view other(u"KELB\\KELX\0\0", 11);
    for (auto record : {PlugInRecord(12, 5, good), PlugInRecord(8, 5, unterminated),
                        PlugInRecord(8, 5, other), std::vector<UCHAR>(6, 0)}) {
        EXPECT_EQ(Send(IOCTL_KELBUS_PLUGIN_PORT, record.data(), record.size(), record.size()),
                  (DWORD)ERROR_INVALID_PARAMETER);
    }
    KELBUS_UNPLUG_REQUEST unplug = {sizeof(unplug), 4, {0, 0}};
    EXPECT_EQ(Send(IOCTL_KELBUS_UNPLUG_PORT, &unplug, 12, 12), (DWORD)ERROR_INVALID_PARAMETER);
    UCHAR map[KELBUS_PLUGGED_MAP_SIZE];
    EXPECT_EQ(Send(IOCTL_KELBUS_GET_PLUGGED_MAP, map, 0, sizeof(map) - 1),
              (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Send(CTL_CODE(FILE_DEVICE_BUS_EXTENDER, 0x002, METHOD_BUFFERED, FILE_ANY_ACCESS),
                   map, 0, 0),
              (DWORD)ERROR_INVALID_FUNCTION);

    PnpWaitIdle();
    EXPECT_EQ(PortDoubleEvents(), (Events{"add 4", "start 4 SUCCESS"}));
    EXPECT_EQ(PluggedPorts(), (std::vector<int>{4}));
}

TEST_F(BusTest, PluggedPortsComeBackAfterARestart)
{
    ASSERT_EQ(PlugIn(0), (DWORD)ERROR_SUCCESS);
    ASSERT_EQ(PlugIn(255), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();

    Restart();
    EXPECT_EQ(Sorted(PortDoubleEvents()),
              (Events{"add 0", "add 255", "start 0 SUCCESS", "start 255 SUCCESS"}));
    EXPECT_EQ(PluggedPorts(), (std::vector<int>{0, 255}));

    ASSERT_EQ(Unplug(0), (DWORD)ERROR_SUCCESS);
    Restart();
    EXPECT_EQ(PortDoubleEvents(), (Events{"add 255", "start 255 SUCCESS"}));
    EXPECT_EQ(PluggedPorts(), (std::vector<int>{255}));
}

TEST_F(BusTest, InterfaceLivesWithTheBusAndChildrenGoFirst)
{
    std::vector<DeviceInterfaceInfo> interfaces = IoListDeviceInterfaces(GUID_DEVINTERFACE_KELBUS);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].instancePath, busInstance_);
    ASSERT_EQ(PlugIn(3), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();

    ASSERT_EQ(PnpRemoveRootDevice(busInstance_), STATUS_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PortDoubleEvents(), (Events{"add 3", "start 3 SUCCESS", "remove 3", "unload"}));
    EXPECT_TRUE(IoListDeviceInterfaces(GUID_DEVINTERFACE_KELBUS).empty());
    EXPECT_EQ(PlugIn(3), (DWORD)ERROR_NO_MORE_ITEMS);
    // Unloaded (which also checked that the bus left no pool behind).
    EXPECT_EQ(LoaderFindDriver(u"KELBUS"), nullptr);

    // The plugged-in ports stay recorded and return with the bus.
    RegistryValue stored;
    ASSERT_EQ(RegistryQueryValue(LoaderServiceKey(u"KELBUS"), u"PluggedPorts", &stored),
              STATUS_SUCCESS);
    EXPECT_EQ(stored.type, (ULONG)REG_BINARY);
    ASSERT_EQ(stored.data.size(), 256u);
    EXPECT_EQ(stored.data[3], 1);
    PortDoubleClearEvents();
    ASSERT_EQ(PnpCreateRootDevice(u"KELBUS", u"Pellix_Virtual_Bus_Enumerator", u"KELBUS",
                                  &busInstance_),
              STATUS_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PortDoubleEvents(), (Events{"add 3", "start 3 SUCCESS"}));
}

TEST_F(BusTest, NumberCanBePluggedAgainBeforeItsOldChildIsRemoved)
{
    for (int round = 0; round < 10; round++) {
        ASSERT_EQ(PlugIn(7), (DWORD)ERROR_SUCCESS) << round;
        ASSERT_EQ(Unplug(7), (DWORD)ERROR_SUCCESS) << round;
    }
    ASSERT_EQ(PlugIn(7), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();
    Events events = PortDoubleEvents();
    long adds = std::count(events.begin(), events.end(), "add 7");
    long removes = std::count(events.begin(), events.end(), "remove 7");
    EXPECT_EQ(adds, removes + 1);
    std::vector<PnpDeviceInfo> children;
    for (const PnpDeviceInfo &device : PnpListDevices()) {
        if (!device.hardwareIds.empty() && device.hardwareIds[0] == u"KELB\\KELU") {
            children.push_back(device);
        }
    }
    ASSERT_EQ(children.size(), 1u);
    EXPECT_TRUE(children[0].started);
    EXPECT_EQ(PluggedPorts(), (std::vector<int>{7}));
}

// Suite name marks it for the ThreadSanitizer run.
using BusConcurrency = BusTest;

// Several applications plug in and unplug the same numbers at once: each number gets
// exactly one child, and is unplugged exactly once.
TEST_F(BusConcurrency, ParallelRequestsKeepOneChildPerNumber)
{
    const int kThreads = 4;
    const ULONG kPorts = 16;
    std::atomic<int> plugged[kPorts] = {};
    std::atomic<int> unplugged[kPorts] = {};
    std::atomic<int> unexpected{0};
    auto run = [&](bool plug) {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&, t] {
                for (ULONG i = 0; i < kPorts; i++) {
                    ULONG port = (i + t * 5) % kPorts;
                    DWORD error = plug ? PlugIn(port) : Unplug(port);
                    DWORD refused = plug ? ERROR_ALREADY_EXISTS : ERROR_FILE_NOT_FOUND;
                    if (error == ERROR_SUCCESS) {
                        (plug ? plugged : unplugged)[port]++;
                    } else if (error != refused) {
                        unexpected++;
                    }
                }
            });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
    };
    run(true);
    EXPECT_EQ(PluggedPorts().size(), kPorts);
    run(false);
    PnpWaitIdle();
    EXPECT_EQ(unexpected, 0);
    for (ULONG port = 0; port < kPorts; port++) {
        EXPECT_EQ(plugged[port], 1) << port;
        EXPECT_EQ(unplugged[port], 1) << port;
    }
    EXPECT_TRUE(PluggedPorts().empty());
    Events events = PortDoubleEvents();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const std::string &e) { return e.rfind("add ", 0) == 0; }),
              std::count_if(events.begin(), events.end(),
                            [](const std::string &e) { return e.rfind("remove ", 0) == 0; }));
}

// The setup calls by which applications find the bus: the list is a snapshot of the
// present interfaces, the detail call reports the size it needs, and records or
// lists that are not what the caller was given are refused.
TEST_F(BusTest, InterfaceIsFoundFromUserModeAsOnWindows)
{
    HDEVINFO list = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_KELBUS, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data = {sizeof(data), {}, 0, 0};
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_KELBUS, 0, &data));
    EXPECT_EQ(data.Flags, (DWORD)SPINT_ACTIVE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_KELBUS, 1, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);

    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &size, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    std::u16string path = IoListDeviceInterfaces(GUID_DEVINTERFACE_KELBUS).at(0).userPath;
    std::string expected(path.begin(), path.end());
    EXPECT_EQ(size, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + expected.size() + 1);
    std::vector<char> storage(size);
    auto *detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    detail->cbSize = size;  // the whole buffer instead of the fixed part: refused
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(*detail);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(list, &data, detail, size, nullptr, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath), expected);
    EXPECT_EQ(expected.rfind("\\\\?\\", 0), 0u);

    // The list does not follow later changes; the handle dies with it.
    ASSERT_EQ(PnpRemoveRootDevice(busInstance_), STATUS_SUCCESS);
    PnpWaitIdle();
    EXPECT_TRUE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_KELBUS, 0, &data));
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(list));
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_KELBUS, 0, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(list));

    list = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_KELBUS, nullptr, nullptr,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_KELBUS, 0, &data));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(list);
    EXPECT_EQ(OpenBus(), INVALID_HANDLE_VALUE);
}

// A stop (as for resource rebalancing) and the start that follows keep the children;
// while stopped the bus refuses changes.
TEST_F(BusTest, StopAndStartAgainKeepTheChildren)
{
    ASSERT_EQ(PlugIn(2), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();
    PnpDeviceInfo bus;
    ASSERT_TRUE(PnpFindDevice(u"Pellix_Virtual_Bus_Enumerator", &bus));
    ASSERT_EQ(PnpSendRequest(bus.pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(PnpSendRequest(bus.pdo, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(PlugIn(3), (DWORD)ERROR_NOT_READY);
    EXPECT_EQ(Unplug(2), (DWORD)ERROR_NOT_READY);

    ASSERT_EQ(PnpSendRequest(bus.pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PlugIn(3), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();
    EXPECT_EQ(PluggedPorts(), (std::vector<int>{2, 3}));
    EXPECT_EQ(PortDoubleEvents(),
              (Events{"add 2", "start 2 SUCCESS", "add 3", "start 3 SUCCESS"}));
}

// System power requests travel down the bus's stack and a child's stack and succeed.
TEST_F(BusTest, PowerRequestsPassThroughTheBusAndItsChildren)
{
    ASSERT_EQ(PlugIn(6), (DWORD)ERROR_SUCCESS);
    PnpWaitIdle();
    PnpDeviceInfo bus;
    PnpDeviceInfo child;
    ASSERT_TRUE(PnpFindDevice(u"Pellix_Virtual_Bus_Enumerator", &bus));
    ASSERT_TRUE(PnpFindDevice(u"KELB\\KELU", &child));
    for (PDEVICE_OBJECT pdo : {bus.pdo, child.pdo}) {
        EXPECT_EQ(PoSendSystemPowerRequest(pdo, IRP_MN_QUERY_POWER, PowerSystemSleeping3,
                                           PowerActionSleep),
                  STATUS_SUCCESS);
        EXPECT_EQ(PoSendSystemPowerRequest(pdo, IRP_MN_SET_POWER, PowerSystemSleeping3,
                                           PowerActionSleep),
                  STATUS_SUCCESS);
        EXPECT_EQ(PoSendSystemPowerRequest(pdo, IRP_MN_SET_POWER, PowerSystemWorking,
                                           PowerActionNone),
                  STATUS_SUCCESS);
    }
}
