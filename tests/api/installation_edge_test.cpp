// Installation and removal of the driver package at their edges: the package path,
// missing files, installing twice, removal without or with several bus devices.
#include "installation_fixture.h"

#include <algorithm>

namespace {

using InstallationEdgeTest = InstallationTest;

TEST_F(InstallationEdgeTest, NullAndEmptyPathsDoNothing)
{
    EXPECT_EQ(keluInstallDrivers(nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    char empty[] = "";
    EXPECT_EQ(keluInstallDrivers(empty), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(KELU_ERROR_BAD_PACKAGE_PATH));
    EXPECT_FALSE(ServiceRecorded(u"KELU"));
}

TEST_F(InstallationEdgeTest, PathOf260CharactersInstallsAndOneMoreIsRefused)
{
    // A real directory whose name is exactly 260 characters, trailing backslash
    // included, so the buffers also hold it with "\kelbus.inf" appended.
    std::string base = CopyPackage("p");
    std::string path = base;
    while (path.size() < 259) {
        size_t room = std::min<size_t>(259 - path.size() - 1, 200);
        path += "/" + std::string(room, 'd');
    }
    ASSERT_EQ(path.size(), 259u);
    std::filesystem::create_directories(path);
    for (const auto &entry : std::filesystem::directory_iterator(base)) {
        if (entry.is_regular_file()) std::filesystem::copy_file(entry.path(), path + "/" + entry.path().filename().string());
    }
    std::string tooLong = path + "\\x";
    ASSERT_EQ(tooLong.size(), 261u);
    DWORD error = 0;
    EXPECT_EQ(Install(tooLong, &error), 0);
    EXPECT_EQ(error, static_cast<DWORD>(KELU_ERROR_BAD_PACKAGE_PATH));
    EXPECT_FALSE(ServiceRecorded(u"KELU"));

    EXPECT_EQ(Install(path + "\\", &error), 1) << error;
    ASSERT_EQ(BusDevices().size(), 1u);
    EXPECT_TRUE(BusDevices()[0].started);
}

TEST_F(InstallationEdgeTest, PathsWithAndWithoutTrailingBackslashNameTheSameFiles)
{
    std::string package = CopyPackage("pkg");
    DWORD error = 0;
    ASSERT_EQ(Install(package, &error), 1) << error;
    EXPECT_EQ(ReadFileText(Disk("windows/inf/oem0.inf")), ReadFileText(package + "/kelu.inf"));
    EXPECT_EQ(ReadFileText(Disk("windows/inf/oem1.inf")), ReadFileText(package + "/kelbus.inf"));
    EXPECT_EQ(ReadFileText(Disk("windows/system32/drivers/kelu.sys")),
              ReadFileText(package + "/kelu.sys"));

    ASSERT_EQ(Install(package + "\\", &error), 1) << error;
    // The same INFs are not stored twice.
    EXPECT_FALSE(std::filesystem::exists(Disk("windows/inf/oem2.inf")));
}

TEST_F(InstallationEdgeTest, DirectoryWithoutTheDriverStopsAfterTheServiceAndTheInf)
{
    std::string package = CopyPackage("nosys", {"kelu.sys"});
    DWORD error = 0;
    EXPECT_EQ(Install(package, &error), 0);
    EXPECT_EQ(error, static_cast<DWORD>(KELU_ERROR_BAD_PACKAGE_PATH));
    // Nothing is undone: the service and the port driver's INF stay.
    EXPECT_TRUE(ServiceRecorded(u"KELU"));
    std::u16string image;
    EXPECT_EQ(RegistryQueryString(LoaderServiceKey(u"KELU"), u"ImagePath", &image), STATUS_SUCCESS);
    EXPECT_EQ(image, u"\\SystemRoot\\System32\\DRIVERS\\kelu.sys");
    EXPECT_EQ(ReadFileText(Disk("windows/inf/oem0.inf")), ReadFileText(package + "/kelu.inf"));
    EXPECT_FALSE(std::filesystem::exists(Disk("windows/inf/oem1.inf")));
    EXPECT_TRUE(BusDevices().empty());
}

TEST_F(InstallationEdgeTest, DirectoryWithoutTheBusInfStopsAfterTheDriverCopy)
{
    std::string package = CopyPackage("nobus", {"kelbus.inf"});
    DWORD error = 0;
    EXPECT_EQ(Install(package, &error), 0);
    EXPECT_EQ(error, static_cast<DWORD>(KELU_ERROR_BAD_PACKAGE_PATH));
    EXPECT_TRUE(std::filesystem::exists(Disk("windows/system32/drivers/kelu.sys")));
    EXPECT_TRUE(BusDevices().empty());
}

TEST_F(InstallationEdgeTest, InstallingTwiceRecreatesTheServiceAndUpdatesTheOneBusDevice)
{
    std::string package = CopyPackage("pkg");
    DWORD error = 0;
    ULONGLONG elapsed = 0;
    ASSERT_EQ(Install(package, &error, &elapsed), 1) << error;
    EXPECT_EQ(elapsed, 0u);
    ASSERT_EQ(BusDevices().size(), 1u);
    PnpDeviceInfo first = BusDevices()[0];
    EXPECT_TRUE(first.started);
    EXPECT_EQ(first.service, u"KELBUS");

    // The second run deletes the existing service and waits before creating it again.
    ASSERT_EQ(RegistrySetDword(LoaderServiceKey(u"KELU"), u"Start", 4), STATUS_SUCCESS);
    ASSERT_EQ(Install(package, &error, &elapsed), 1) << error;
    EXPECT_GE(elapsed, 2000u);
    ULONG start = 0;
    EXPECT_EQ(RegistryQueryDword(LoaderServiceKey(u"KELU"), u"Start", &start), STATUS_SUCCESS);
    EXPECT_EQ(start, 3u);
    ASSERT_EQ(BusDevices().size(), 1u);
    EXPECT_EQ(BusDevices()[0].instancePath, first.instancePath);
    EXPECT_TRUE(BusDevices()[0].started);
}

TEST_F(InstallationEdgeTest, RemovalWithoutABusDeviceKeepsTheServices)
{
    ASSERT_EQ(Install(CopyPackage("pkg")), 1);
    ASSERT_EQ(PnpRemoveRootDevice(BusDevices()[0].instancePath), STATUS_SUCCESS);
    PnpWaitIdle();
    DWORD error = 0;
    EXPECT_EQ(Uninstall(&error), 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(ServiceRecorded(u"KELU"));
    EXPECT_TRUE(ServiceRecorded(u"KELBUS"));
}

TEST_F(InstallationEdgeTest, RemovalTakesOnlyTheFirstOfTwoBusDevices)
{
    ASSERT_EQ(Install(CopyPackage("pkg")), 1);
    std::u16string second;
    ASSERT_EQ(PnpCreateRootDevice(u"SYSTEM", u"Pellix_Virtual_Bus_Enumerator", u"KELBUS", &second),
              STATUS_SUCCESS);
    PnpWaitIdle();
    ASSERT_EQ(BusDevices().size(), 2u);

    EXPECT_EQ(Uninstall(), 1);
    ASSERT_EQ(BusDevices().size(), 1u);
    EXPECT_EQ(BusDevices()[0].instancePath, second);
    EXPECT_FALSE(ServiceRecorded(u"KELU"));
    // The bus driver still runs the second device: its service waits, marked.
    ULONG marked = 0;
    EXPECT_EQ(RegistryQueryDword(LoaderServiceKey(u"KELBUS"), u"DeleteFlag", &marked),
              STATUS_SUCCESS);
    EXPECT_EQ(marked, 1u);

    // Installing now finds the remaining device, whose driver update meets the marked
    // service: the installation completes and says so in the last error.
    DWORD error = 0;
    EXPECT_EQ(Install(CopyPackage("pkg"), &error), 1);
    EXPECT_EQ(error, static_cast<DWORD>(KELU_ERROR_SERVICE_MARKED_FOR_DELETE));
}

}  // namespace
