// The service control manager: records the loader starts drivers from, and deletion
// that waits for the driver to go.
#include "setup_fixture.h"

namespace {

const char16_t kServicesKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

class ServiceControlTest : public SetupTest {
protected:
    void SetUp() override
    {
        SetupTest::SetUp();
        manager_ = OpenSCManagerA(nullptr, SERVICES_ACTIVE_DATABASEA, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(manager_, nullptr);
    }

    void TearDown() override
    {
        EXPECT_TRUE(CloseServiceHandle(manager_));
        SetupTest::TearDown();
    }

    SC_HANDLE Create(const char *name, const char *image)
    {
        return CreateServiceA(manager_, name, "Display", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                              SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image, "Some Group",
                              nullptr, nullptr, nullptr, nullptr);
    }

    // A root device on the service, started now if its driver loads.
    static std::u16string StartDevice(const std::u16string &service)
    {
        std::u16string instance;
        EXPECT_EQ(PnpCreateRootDevice(u"TESTDEVICE", u"Test_Root_Bus", service, &instance),
                  STATUS_SUCCESS);
        PnpWaitIdle();
        return instance;
    }

    SC_HANDLE manager_ = nullptr;
};

TEST_F(ServiceControlTest, CreatedServiceIsWhatTheLoaderStartsTheDriverFrom)
{
    ASSERT_TRUE(CopyFileA(KELBUS_IMAGE_PATH, "C:\\WINDOWS\\system32\\drivers\\testbus.sys", FALSE));
    SC_HANDLE service = Create("TestBus", "System32\\DRIVERS\\testbus.sys");
    ASSERT_NE(service, nullptr);
    EXPECT_TRUE(CloseServiceHandle(service));

    std::u16string key = std::u16string(kServicesKey) + u"TestBus";
    std::u16string text;
    ULONG value = 0;
    EXPECT_EQ(RegistryQueryString(key, u"ImagePath", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"System32\\DRIVERS\\testbus.sys");
    EXPECT_EQ(RegistryQueryString(key, u"DisplayName", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"Display");
    EXPECT_EQ(RegistryQueryString(key, u"Group", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"Some Group");
    EXPECT_EQ(RegistryQueryDword(key, u"Start", &value), STATUS_SUCCESS);
    EXPECT_EQ(value, static_cast<ULONG>(SERVICE_DEMAND_START));

    StartDevice(u"TESTBUS");
    PnpDeviceInfo device;
    ASSERT_TRUE(PnpFindDevice(u"Test_Root_Bus", &device));
    EXPECT_TRUE(device.started);
    EXPECT_NE(LoaderFindDriver(u"TestBus"), nullptr);
}

TEST_F(ServiceControlTest, ServiceWithoutItsImageFailsToStartItsDevice)
{
    SC_HANDLE service = Create("TestBus", "System32\\DRIVERS\\missing.sys");
    ASSERT_NE(service, nullptr);
    CloseServiceHandle(service);
    StartDevice(u"TestBus");
    PnpDeviceInfo device;
    ASSERT_TRUE(PnpFindDevice(u"Test_Root_Bus", &device));
    EXPECT_FALSE(device.started);
    EXPECT_EQ(device.problem, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ServiceControlTest, NamesAreUniqueWithoutRegardToCase)
{
    SC_HANDLE service = Create("TestBus", "x.sys");
    ASSERT_NE(service, nullptr);
    EXPECT_EQ(Create("TESTBUS", "y.sys"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_EXISTS));
    SC_HANDLE opened = OpenServiceA(manager_, "testbus", SERVICE_ALL_ACCESS);
    EXPECT_NE(opened, nullptr);
    EXPECT_EQ(OpenServiceA(manager_, "Other", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST));
    EXPECT_EQ(Create("A\\B", "x.sys"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    CloseServiceHandle(opened);
    CloseServiceHandle(service);
}

TEST_F(ServiceControlTest, DeletionWaitsForTheLastHandle)
{
    SC_HANDLE first = Create("TestBus", "x.sys");
    SC_HANDLE second = OpenServiceA(manager_, "TestBus", SERVICE_ALL_ACCESS);
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(DeleteService(first));
    EXPECT_FALSE(DeleteService(second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    CloseServiceHandle(first);
    EXPECT_TRUE(RegistryKeyExists(std::u16string(kServicesKey) + u"TestBus"));
    EXPECT_EQ(Create("TestBus", "x.sys"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE));
    CloseServiceHandle(second);
    EXPECT_FALSE(RegistryKeyExists(std::u16string(kServicesKey) + u"TestBus"));
    SC_HANDLE again = Create("TestBus", "x.sys");
    EXPECT_NE(again, nullptr);
    CloseServiceHandle(again);
}

TEST_F(ServiceControlTest, ServiceOfALoadedDriverIsDeletedOnlyAfterItUnloads)
{
    ASSERT_TRUE(CopyFileA(KELBUS_IMAGE_PATH, "C:\\WINDOWS\\system32\\drivers\\testbus.sys", FALSE));
    SC_HANDLE service = Create("TestBus", "System32\\DRIVERS\\testbus.sys");
    std::u16string instance = StartDevice(u"TestBus");
    ASSERT_NE(LoaderFindDriver(u"TestBus"), nullptr);

    EXPECT_TRUE(DeleteService(service));
    CloseServiceHandle(service);
    std::u16string key = std::u16string(kServicesKey) + u"TestBus";
    EXPECT_TRUE(RegistryKeyExists(key));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_TRUE(RegistryKeyExists(key));
    CloseServiceHandle(manager);

    ASSERT_EQ(PnpRemoveRootDevice(instance), STATUS_SUCCESS);
    PnpWaitIdle();
    ASSERT_EQ(LoaderFindDriver(u"TestBus"), nullptr);
    manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    EXPECT_FALSE(RegistryKeyExists(key));
    CloseServiceHandle(manager);
}

TEST_F(ServiceControlTest, ForeignHandlesAndOtherMachinesAreRefused)
{
    EXPECT_EQ(OpenSCManagerA("\\\\elsewhere", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(OpenSCManagerA(nullptr, "OtherDatabase", SC_MANAGER_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DATABASE_DOES_NOT_EXIST));
    SC_HANDLE service = Create("TestBus", "x.sys");
    // A service handle is no manager, and a closed handle is no handle.
    EXPECT_EQ(OpenServiceA(service, "TestBus", SERVICE_ALL_ACCESS), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(DeleteService(manager_));
    CloseServiceHandle(service);
    EXPECT_FALSE(CloseServiceHandle(service));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
