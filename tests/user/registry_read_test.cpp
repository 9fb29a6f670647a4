// Reading the registry as applications do: the serial ports' device map under
// HKEY_LOCAL_MACHINE, enumerated and queried with the -A calls, and the refusals.
#include "win32_fixture.h"

#include <registry.h>

#include <string>

namespace {

const char16_t kSerialComm[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class RegistryReadTest : public Win32Test {
protected:
    void SetUp() override
    {
        Win32Test::SetUp();
        ASSERT_EQ(RegistrySetString(kSerialComm, u"\\Device\\Serial0", u"COM1"), STATUS_SUCCESS);
        ASSERT_EQ(RegistrySetString(kSerialComm, u"\\Device\\Serial11", u"COM12"), STATUS_SUCCESS);
        ASSERT_EQ(RegistrySetDword(kSerialComm, u"Count", 2), STATUS_SUCCESS);
        ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                KEY_QUERY_VALUE, &key_),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(key_);
        Win32Test::TearDown();
    }
    HKEY key_ = nullptr;
};

}  // namespace

TEST_F(RegistryReadTest, ListsTheSerialPortsAsAPortEnumeratorDoes)
{
    DWORD values = 0, longestName = 0, largestData = 0;
    ASSERT_EQ(RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               &longestName, &largestData, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(values, 3u);
    EXPECT_EQ(longestName, 16u);  // "\Device\Serial11"
    EXPECT_EQ(largestData, 6u);   // "COM12" and its zero

    std::string found;
    for (DWORD index = 0;; index++) {
        char name[32];
        DWORD nameLength = sizeof(name);
        BYTE data[16];
        DWORD dataSize = sizeof(data);
        DWORD type = 0;
        LSTATUS status = RegEnumValueA(key_, index, name, &nameLength, nullptr, &type, data, &dataSize);
        if (status == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(status, ERROR_SUCCESS);
        EXPECT_EQ(nameLength, std::string(name).size());
        if (type == REG_SZ) {
            EXPECT_EQ(dataSize, std::string(reinterpret_cast<char *>(data)).size() + 1);
            found += std::string(name) + "=" + reinterpret_cast<char *>(data) + ";";
        }
    }
    EXPECT_EQ(found, "\\Device\\Serial0=COM1;\\Device\\Serial11=COM12;");

    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(key_, "\\device\\serial11", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);  // names compare without regard to case
    EXPECT_EQ(type, (DWORD)REG_SZ);
    EXPECT_EQ(size, 6u);
    DWORD count = 0;
    size = sizeof(count);
    ASSERT_EQ(RegQueryValueExA(key_, "Count", nullptr, &type, reinterpret_cast<BYTE *>(&count), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, (DWORD)REG_DWORD);
    EXPECT_EQ(count, 2u);
}

TEST_F(RegistryReadTest, ShortBuffersReportWhatTheyNeedAndWriteNoName)
{
    char name[4] = "xyz";
    DWORD nameLength = sizeof(name);
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA);
    EXPECT_STREQ(name, "xyz");

    BYTE data[2];
    DWORD size = sizeof(data);
    EXPECT_EQ(RegQueryValueExA(key_, "\\Device\\Serial11", nullptr, nullptr, data, &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
}

TEST_F(RegistryReadTest, RefusalsOfKeysAndValues)
{
    HKEY other = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\NoSuchKey", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE", 0, KEY_WRITE, &other),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &other),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\HARDWARE", 0, KEY_READ, &other),
              ERROR_BAD_PATHNAME);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE", 0, KEY_READ, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(RegQueryValueExA(key_, "Missing", nullptr, nullptr, nullptr, nullptr),
              ERROR_FILE_NOT_FOUND);
    BYTE data[4];
    EXPECT_EQ(RegQueryValueExA(key_, "Count", nullptr, nullptr, data, nullptr),
              ERROR_INVALID_PARAMETER);
    DWORD reserved = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key_, nullptr, nullptr, &reserved, nullptr, nullptr, nullptr,
                               nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);

    // A subkey opened relative to an open key, then closed: its handle is gone.
    HKEY hardware = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE", 0, KEY_READ, &hardware), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(hardware, "DEVICEMAP\\SERIALCOMM\\", 0, KEY_READ, &other), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(other), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(other, "Count", nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(hardware), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(RegistryReadTest, AKeyDeletedWhileOpenFailsTheCallsOnIt)
{
    ASSERT_EQ(RegistryDeleteKeyTree(kSerialComm), STATUS_SUCCESS);
    DWORD values = 0;
    EXPECT_EQ(RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
    char name[32];
    DWORD nameLength = sizeof(name);
    EXPECT_EQ(RegEnumValueA(key_, 0, name, &nameLength, nullptr, nullptr, nullptr, nullptr),
              ERROR_KEY_DELETED);
}
