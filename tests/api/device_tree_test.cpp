// A port seen through SetupAPI and the configuration manager: found among the
// machine's devices, its parent the bus device, its id and properties, its hardware
// key with the port's COM name, and the refusals of each call.
#include "api_fixture.h"

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstring>
#include <string>

namespace {

SP_DEVINFO_DATA EmptyDeviceInfo()
{
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    return data;
}

class DeviceTreeTest : public ApiTest {
protected:
    void SetUp() override
    {
        ApiTest::SetUp();
        InstallBusAndPortDriver();
        int result = 0;
        RunWhileClockAdvances([&] { result = keluPluginPort(3, 0); }, 2000);
        ASSERT_EQ(result, 1);
        PnpWaitIdle();
        devices_ = SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
        ASSERT_NE(devices_, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(FindPort(&port_));
    }
    void TearDown() override
    {
        SetupDiDestroyDeviceInfoList(devices_);
        ApiTest::TearDown();
    }

    // The port's element of the list: the device whose hardware id is the bus's
    // port id.
    bool FindPort(SP_DEVINFO_DATA *found)
    {
        SP_DEVINFO_DATA data = EmptyDeviceInfo();
        for (DWORD index = 0; SetupDiEnumDeviceInfo(devices_, index, &data); index++) {
            char ids[64] = {};
            if (SetupDiGetDeviceRegistryPropertyA(devices_, &data, SPDRP_HARDWAREID, nullptr,
                                                  reinterpret_cast<BYTE *>(ids), sizeof(ids),
                                                  nullptr) &&
                std::string(ids) == "KELB\\KELU") {
                *found = data;
                return true;
            }
        }
        return false;
    }

    static std::string DeviceId(DEVINST devInst)
    {
        char id[MAX_DEVICE_ID_LEN];
        EXPECT_EQ(CM_Get_Device_IDA(devInst, id, sizeof(id), 0), (CONFIGRET)CR_SUCCESS);
        return id;
    }

    static ULONG DwordProperty(DEVINST devInst, ULONG property)
    {
        ULONG value = 0xDEADBEEF;
        ULONG type = 0;
        ULONG length = sizeof(value);
        EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(devInst, property, &type, &value, &length, 0),
                  (CONFIGRET)CR_SUCCESS);
        EXPECT_EQ(type, (ULONG)REG_DWORD);
        return value;
    }

    HDEVINFO devices_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA port_ = EmptyDeviceInfo();
};

}  // namespace

TEST_F(DeviceTreeTest, APortsParentIsTheBusDeviceUnderTheTreesRoot)
{
    EXPECT_EQ(DeviceId(port_.DevInst), "KELB\\KELU\\2");
    DEVINST bus = 0;
    ASSERT_EQ(CM_Get_Parent(&bus, port_.DevInst, 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(DeviceId(bus).rfind("ROOT\\KELBUS\\", 0), 0u) << DeviceId(bus);
    DEVINST root = 0;
    ASSERT_EQ(CM_Get_Parent(&root, bus, 0), (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(DeviceId(root), "HTREE\\ROOT\\0");
    DEVINST none = 77;
    EXPECT_EQ(CM_Get_Parent(&none, root, 0), (CONFIGRET)CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(none, 77u);

    // The handles are those of SP_DEVINFO_DATA: the bus is in the list under the same one.
    SP_DEVINFO_DATA data = EmptyDeviceInfo();
    bool listed = false;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices_, index, &data); index++) {
        listed = listed || data.DevInst == bus;
    }
    EXPECT_TRUE(listed);
}

TEST_F(DeviceTreeTest, PropertiesComeFromTheRecordAndTheBusesCapabilities)
{
    EXPECT_EQ(DwordProperty(port_.DevInst, CM_DRP_ADDRESS), 2u);    // the port number
    EXPECT_EQ(DwordProperty(port_.DevInst, CM_DRP_UI_NUMBER), 3u);  // the number of COM3

    char text[64] = {};
    ULONG type = 0;
    ULONG length = sizeof(text);
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, CM_DRP_HARDWAREID, &type, text,
                                                &length, 0),
              (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(type, (ULONG)REG_MULTI_SZ);
    EXPECT_EQ(length, sizeof("KELB\\KELU") + 1);
    EXPECT_EQ(std::string(text, length), std::string("KELB\\KELU\0\0", length));

    length = sizeof(text);
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, CM_DRP_SERVICE, &type, text,
                                                &length, 0),
              (CONFIGRET)CR_SUCCESS);
    EXPECT_EQ(type, (ULONG)REG_SZ);
    EXPECT_STREQ(text, "KELU");

    // Too small: the size needed comes back.
    length = 3;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, CM_DRP_SERVICE, &type, text,
                                                &length, 0),
              (CONFIGRET)CR_BUFFER_SMALL);
    EXPECT_EQ(length, 5u);
    length = sizeof(text);
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, CM_DRP_FRIENDLYNAME, &type, text,
                                                &length, 0),
              (CONFIGRET)CR_NO_SUCH_VALUE);
    // The bus reports no compatible ids for a port.
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, CM_DRP_COMPATIBLEIDS, &type, text,
                                                &length, 0),
              (CONFIGRET)CR_NO_SUCH_VALUE);
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, 0x7777, &type, text, &length, 0),
              (CONFIGRET)CR_INVALID_PROPERTY);
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, CM_DRP_SERVICE, &type, nullptr,
                                                &length, 0),
              (CONFIGRET)CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(port_.DevInst, CM_DRP_SERVICE, &type, text,
                                                &length, 1),
              (CONFIGRET)CR_INVALID_FLAG);
}

TEST_F(DeviceTreeTest, IdsAreCutToTheBufferAndHandlesOfGoneDevicesFail)
{
    char id[6];
    std::memset(id, 'x', sizeof(id));
    EXPECT_EQ(CM_Get_Device_IDA(port_.DevInst, id, 4, 0), (CONFIGRET)CR_BUFFER_SMALL);
    EXPECT_EQ(std::string(id, 5), "KELBx");
    EXPECT_EQ(CM_Get_Device_IDA(port_.DevInst, nullptr, 4, 0), (CONFIGRET)CR_INVALID_POINTER);
    EXPECT_EQ(CM_Get_Device_IDA(port_.DevInst, id, sizeof(id), 2), (CONFIGRET)CR_INVALID_FLAG);
    DEVINST parent = 0;
    EXPECT_EQ(CM_Get_Parent(&parent, 0, 0), (CONFIGRET)CR_NO_SUCH_DEVINST);
    EXPECT_EQ(CM_Get_Parent(&parent, 99999, 0), (CONFIGRET)CR_NO_SUCH_DEVINST);
    EXPECT_EQ(CM_Get_Parent(nullptr, port_.DevInst, 0), (CONFIGRET)CR_INVALID_POINTER);

    int result = 0;
    RunWhileClockAdvances([&] { result = keluUnplugPort(3); }, 2000);
    ASSERT_EQ(result, 1);
    PnpWaitIdle();
    EXPECT_EQ(CM_Get_Parent(&parent, port_.DevInst, 0), (CONFIGRET)CR_NO_SUCH_DEVINST);
    EXPECT_EQ(CM_Get_Device_IDA(port_.DevInst, id, sizeof(id), 0), (CONFIGRET)CR_NO_SUCH_DEVINST);
}

TEST_F(DeviceTreeTest, APortsHardwareKeyNamesItsComPortAndABusDeviceHasNone)
{
    // The port driver wrote the name when it created the port.
    HKEY key = SetupDiOpenDevRegKey(devices_, &port_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE);
    ASSERT_NE(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    char name[8] = {};
    DWORD size = sizeof(name);
    DWORD type = REG_NONE;
    EXPECT_EQ(RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE *>(name),
                               &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_STREQ(name, "COM3");
    EXPECT_EQ(size, sizeof("COM3"));
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    // The bus driver keeps nothing in its device's hardware key, so there is none.
    DEVINST bus = 0;
    ASSERT_EQ(CM_Get_Parent(&bus, port_.DevInst, 0), (CONFIGRET)CR_SUCCESS);
    SP_DEVINFO_DATA busData = EmptyDeviceInfo();
    bool found = false;
    for (DWORD index = 0; !found && SetupDiEnumDeviceInfo(devices_, index, &busData); index++) {
        found = busData.DevInst == bus;
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(SetupDiOpenDevRegKey(devices_, &busData, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_QUERY_VALUE),
              reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_KEY_DOES_NOT_EXIST);

    struct Case {
        HDEVINFO list;
        DWORD scope;
        DWORD keyType;
        REGSAM access;
        DWORD error;
    };
    const Case cases[] = {
        {nullptr, DICS_FLAG_GLOBAL, DIREG_DEV, KEY_READ, ERROR_INVALID_HANDLE},
        {devices_, DICS_FLAG_CONFIGSPECIFIC, DIREG_DEV, KEY_READ, ERROR_INVALID_FLAGS},
        {devices_, DICS_FLAG_GLOBAL, 7, KEY_READ, ERROR_INVALID_FLAGS},
        {devices_, DICS_FLAG_GLOBAL, DIREG_DEV, KEY_WRITE, ERROR_ACCESS_DENIED},
        {devices_, DICS_FLAG_GLOBAL, DIREG_DRV, KEY_READ, ERROR_KEY_DOES_NOT_EXIST},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SetupDiOpenDevRegKey(c.list, &port_, c.scope, 0, c.keyType, c.access),
                  reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
        EXPECT_EQ(GetLastError(), c.error) << c.keyType << " " << c.access;
    }
}
