// Root-enumerated devices created, found, given their driver and removed through
// device information lists, the class installer and the driver update.
#include "setup_fixture.h"

#include <cstring>
#include <vector>

namespace {

const GUID kSystemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

class DeviceInstallTest : public SetupTest {
protected:
    // Creates and registers ROOT\SYSTEM\nnnn with the given ids (a multi-string).
    static void RegisterDevice(const std::string &ids)
    {
        HDEVINFO list = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
        ASSERT_NE(list, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        ASSERT_TRUE(SetupDiCreateDeviceInfoA(list, "SYSTEM", &kSystemClass, nullptr, nullptr,
                                             DICD_GENERATE_ID, &device));
        ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID,
                                                      reinterpret_cast<const BYTE *>(ids.data()),
                                                      static_cast<DWORD>(ids.size())));
        ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, list, &device));
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
        PnpWaitIdle();
    }

    // The hardware ids of every device of the tree, as a setup program reads them.
    static std::vector<std::string> ListedHardwareIds(const GUID *classGuid = nullptr)
    {
        std::vector<std::string> listed;
        HDEVINFO list = SetupDiGetClassDevsA(classGuid, nullptr, nullptr,
                                             DIGCF_PRESENT | (classGuid ? 0 : DIGCF_ALLCLASSES));
        EXPECT_NE(list, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA device = {};
        device.cbSize = sizeof device;
        for (DWORD index = 0; SetupDiEnumDeviceInfo(list, index, &device); index++) {
            DWORD required = 0;
            EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, nullptr,
                                                           nullptr, 0, &required));
            if (GetLastError() == ERROR_INVALID_DATA) {
                listed.push_back("(none)");
                continue;
            }
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
            std::vector<char> buffer(required);
            DWORD type = 0;
            EXPECT_TRUE(SetupDiGetDeviceRegistryPropertyA(list, &device, SPDRP_HARDWAREID, &type,
                                                          reinterpret_cast<BYTE *>(buffer.data()),
                                                          required, nullptr));
            EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
            EXPECT_EQ(buffer.back(), 0);
            listed.push_back(buffer.data());
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        SetupDiDestroyDeviceInfoList(list);
        return listed;
    }

    static PnpDeviceInfo Device(const char16_t *hardwareId)
    {
        PnpDeviceInfo device = {};
        EXPECT_TRUE(PnpFindDevice(hardwareId, &device));
        return device;
    }
};

TEST_F(DeviceInstallTest, RegisteredDeviceHasNoDriverUntilOneIsInstalled)
{
    RegisterDevice(std::string("Test_Root_Bus\0Second_Id\0", 25));
    PnpDeviceInfo device = Device(u"Test_Root_Bus");
    EXPECT_EQ(device.instancePath, u"ROOT\\SYSTEM\\0000");
    EXPECT_FALSE(device.started);
    EXPECT_EQ(ListedHardwareIds(), std::vector<std::string>{"Test_Root_Bus"});
    EXPECT_EQ(ListedHardwareIds(&kSystemClass), std::vector<std::string>{"Test_Root_Bus"});
    GUID otherClass = kSystemClass;
    otherClass.Data1++;
    EXPECT_TRUE(ListedHardwareIds(&otherClass).empty());

    // A second one gets the next instance number.
    RegisterDevice(std::string("Test_Root_Bus\0", 15));
    EXPECT_EQ(ListedHardwareIds().size(), 2u);
}

TEST_F(DeviceInstallTest, DriverUpdateCopiesFilesRecordsTheServiceAndStartsTheDevice)
{
    std::string inf = WriteBusPackage();
    RegisterDevice(std::string("Test_Root_Bus\0", 15));
    BOOL reboot = TRUE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "test_root_bus", inf.c_str(),
                                                   INSTALLFLAG_FORCE, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_TRUE(std::filesystem::exists(Disk("windows/system32/drivers/testbus.sys")));
    EXPECT_TRUE(std::filesystem::exists(Disk("windows/inf/oem0.inf")));
    std::u16string image;
    EXPECT_EQ(RegistryQueryString(LoaderServiceKey(u"TESTBUS"), u"ImagePath", &image),
              STATUS_SUCCESS);
    EXPECT_EQ(image, u"System32\\DRIVERS\\testbus.sys");

    PnpDeviceInfo device = Device(u"Test_Root_Bus");
    EXPECT_TRUE(device.started);
    EXPECT_EQ(device.service, u"TESTBUS");
    EXPECT_EQ(ListedHardwareIds(), std::vector<std::string>{"Test_Root_Bus"});

    // Again on the running device: nothing restarts, nothing is duplicated.
    PDEVICE_OBJECT pdo = device.pdo;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test_Root_Bus", inf.c_str(),
                                                   INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(Device(u"Test_Root_Bus").pdo, pdo);
    EXPECT_FALSE(std::filesystem::exists(Disk("windows/inf/oem1.inf")));
}

TEST_F(DeviceInstallTest, DriverUpdateNeedsAPresentDeviceAndAMatchingModel)
{
    std::string inf = WriteBusPackage();
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test_Root_Bus", inf.c_str(),
                                                    INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    RegisterDevice(std::string("Unlisted_Id\0", 13));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Unlisted_Id", inf.c_str(),
                                                    INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Unlisted_Id",
                                                    (scratch() + "/none.inf").c_str(),
                                                    INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Unlisted_Id", inf.c_str(), 0x100,
                                                    nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
}

TEST_F(DeviceInstallTest, DriverThatCannotLoadLeavesTheDeviceWithAProblem)
{
    std::string notAnImage = scratch() + "/not-an-image.sys";
    WriteText(notAnImage, "text");
    std::string inf = WriteBusPackage(notAnImage);
    RegisterDevice(std::string("Test_Root_Bus\0", 15));
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test_Root_Bus", inf.c_str(),
                                                   INSTALLFLAG_FORCE, nullptr));
    PnpDeviceInfo device = Device(u"Test_Root_Bus");
    EXPECT_FALSE(device.started);
    EXPECT_EQ(device.problem, STATUS_INVALID_IMAGE_FORMAT);
}

TEST_F(DeviceInstallTest, DriverUpdateRefusesAServiceMarkedForDeletion)
{
    std::string inf = WriteBusPackage();
    RegisterDevice(std::string("Test_Root_Bus\0", 15));
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test_Root_Bus", inf.c_str(),
                                                   INSTALLFLAG_FORCE, nullptr));
    // Deleted while the driver runs: the service stays, marked.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "TESTBUS", SERVICE_ALL_ACCESS);
    ASSERT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    RegisterDevice(std::string("Test_Root_Bus\0", 15));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test_Root_Bus", inf.c_str(),
                                                    INSTALLFLAG_FORCE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
}

TEST_F(DeviceInstallTest, RemovalTakesTheDeviceOutOfTheTreeAndTheRegistry)
{
    std::string inf = WriteBusPackage();
    RegisterDevice(std::string("Test_Root_Bus\0", 15));
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "Test_Root_Bus", inf.c_str(),
                                                   INSTALLFLAG_FORCE, nullptr));
    HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(list, 0, &device));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, list, &device));
    EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, list, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(list);
    PnpWaitIdle();
    EXPECT_TRUE(PnpListDevices().empty());
    EXPECT_EQ(LoaderFindDriver(u"TESTBUS"), nullptr);

    Restart();
    EXPECT_TRUE(PnpListDevices().empty());
}

TEST_F(DeviceInstallTest, ListsRefuseStaleHandlesAndBadRecords)
{
    HDEVINFO list = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA device = {};
    EXPECT_FALSE(SetupDiEnumDeviceInfo(list, 0, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    device.cbSize = sizeof device;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(list, 0, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(list));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(list, 0, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(list));

    // A list of one class takes no device of another.
    list = SetupDiCreateDeviceInfoList(&kSystemClass, nullptr);
    GUID other = kSystemClass;
    other.Data2++;
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(list, "SYSTEM", &other, nullptr, nullptr,
                                          DICD_GENERATE_ID, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(list, "ROOT\\SYSTEM", &kSystemClass, nullptr, nullptr,
                                          DICD_GENERATE_ID, &device));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));
    SetupDiDestroyDeviceInfoList(list);
}

}  // namespace
