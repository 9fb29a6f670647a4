// Driver loading for Plug and Play: image paths under the system root, images that
// cannot be loaded, failing DriverEntry, and the checks at unload.
#include "loader.h"
#include "machine_test.h"
#include "pnp.h"

#include <filesystem>
#include <fstream>

namespace {

int g_entries, g_unloads, g_adds;
NTSTATUS g_entryStatus;
PDEVICE_OBJECT g_leftBehind;

VOID NTAPI CountUnload(PDRIVER_OBJECT) {
    g_unloads++;
}

VOID NTAPI UnloadLeavingADevice(PDRIVER_OBJECT driver) {
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_leftBehind);
}

NTSTATUS NTAPI AddNothing(PDRIVER_OBJECT, PDEVICE_OBJECT) {
    g_adds++;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ConfigurableEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    g_entries++;
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(registryPath->Buffer),
                             registryPath->Length / 2),
              u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\LOADTEST");
    driver->DriverExtension->AddDevice = AddNothing;
    driver->DriverUnload = CountUnload;
    return g_entryStatus;
}

class PnpLoaderTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        g_entries = g_unloads = g_adds = 0;
        g_entryStatus = STATUS_SUCCESS;
    }

    NTSTATUS StartRootDevice(const std::u16string &service) {
        std::u16string instance;
        EXPECT_EQ(PnpCreateRootDevice(u"LOADER", u"Loader_Test_Device", service, &instance),
                  STATUS_SUCCESS);
        PnpWaitIdle();
        PnpDeviceInfo info = {};
        EXPECT_TRUE(PnpFindDevice(u"Loader_Test_Device", &info));
        return info.started ? STATUS_SUCCESS : info.problem;
    }

    std::filesystem::path DriversDirectory() {
        return std::filesystem::path(LoaderSystemRootDirectory()) / "System32" / "drivers";
    }
};

TEST_F(PnpLoaderTest, RelativeImagePathIsFoundUnderTheSystemRootIgnoringCase) {
    std::filesystem::create_directories(DriversDirectory());
    std::ofstream(DriversDirectory() / "Broken.SYS") << "not an image";
    ASSERT_EQ(LoaderInstallService(u"BROKEN", u"\\SystemRoot\\system32\\DRIVERS\\broken.sys"),
              STATUS_SUCCESS);
    EXPECT_EQ(StartRootDevice(u"BROKEN"), STATUS_INVALID_IMAGE_FORMAT)
        << "found, then refused by the mapper";
    EXPECT_EQ(LoaderFindDriver(u"BROKEN"), nullptr);
}

TEST_F(PnpLoaderTest, FailingDriverEntryLeavesTheDeviceWithoutDriver) {
    g_entryStatus = STATUS_INSUFFICIENT_RESOURCES;
    LoaderRegisterBuiltinDriver(u"LOADTEST", ConfigurableEntry);
    EXPECT_EQ(StartRootDevice(u"LOADTEST"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_entries, 1);
    EXPECT_EQ(g_adds, 0);
    EXPECT_EQ(g_unloads, 0) << "a driver that failed to load is never unloaded";
    EXPECT_EQ(LoaderFindDriver(u"LOADTEST"), nullptr);
}

TEST_F(PnpLoaderTest, DriverWhoseAddDeviceAddsNothingIsUnloadedAfterItsDeviceGoes) {
    LoaderRegisterBuiltinDriver(u"LOADTEST", ConfigurableEntry);
    // AddDevice succeeded without attaching: the stack is the PDO alone, which starts.
    EXPECT_EQ(StartRootDevice(u"LOADTEST"), STATUS_SUCCESS);
    EXPECT_EQ(g_adds, 1);
    ASSERT_EQ(PnpRemoveRootDevice(u"ROOT\\LOADER\\0000"), STATUS_SUCCESS);
    EXPECT_EQ(g_unloads, 1);
    EXPECT_EQ(LoaderFindDriver(u"LOADTEST"), nullptr);
}

#ifdef KELBUS_IMAGE_PATH
TEST_F(PnpLoaderTest, RealImageIsLoadedFromItsCopyAndUnloadedAgain) {
    std::filesystem::create_directories(DriversDirectory());
    std::filesystem::copy_file(KELBUS_IMAGE_PATH, DriversDirectory() / "kelbus.sys");
    ASSERT_EQ(LoaderInstallService(u"KELBUS", u"System32\\drivers\\kelbus.sys"), STATUS_SUCCESS);
    for (int round = 0; round < 2; round++) {
        std::u16string instance;
        ASSERT_EQ(PnpCreateRootDevice(u"KELBUS", u"Pellix_Virtual_Bus_Enumerator", u"KELBUS",
                                      &instance),
                  STATUS_SUCCESS);
        PnpWaitIdle();
        PnpDeviceInfo info = {};
        ASSERT_TRUE(PnpFindDevice(u"Pellix_Virtual_Bus_Enumerator", &info));
        EXPECT_TRUE(info.started) << "round " << round;
        EXPECT_NE(LoaderFindDriver(u"KELBUS"), nullptr);
        ASSERT_EQ(PnpRemoveRootDevice(instance), STATUS_SUCCESS);
        EXPECT_EQ(LoaderFindDriver(u"KELBUS"), nullptr);
    }
}
#endif

using PnpLoaderDeathTest = PnpLoaderTest;

TEST_F(PnpLoaderDeathTest, UnloadThatLeavesADeviceStops) {
    EXPECT_DEATH(
        {
            LoaderRegisterBuiltinDriver(u"LOADTEST", [](PDRIVER_OBJECT driver, PUNICODE_STRING path) {
                NTSTATUS status = ConfigurableEntry(driver, path);
                driver->DriverUnload = UnloadLeavingADevice;
                return status;
            });
            StartRootDevice(u"LOADTEST");
            PnpRemoveRootDevice(u"ROOT\\LOADER\\0000");
        },
        "DEVICES_LEFT_AT_UNLOAD");
}

}  // namespace
