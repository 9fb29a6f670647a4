// INF files: the store that keeps one copy of each, what it tells Plug and Play, the
// class they name and install.
#include "setup_fixture.h"

#include <cstring>

namespace {

const char16_t kHardwareIdServices[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\HardwareIdServices";

class InfStoreTest : public SetupTest {
protected:
    // Copies an INF into the store and returns the name it got there.
    static std::string CopyToStore(const std::string &inf)
    {
        char name[MAX_PATH] = {};
        PSTR component = nullptr;
        DWORD required = 0;
        EXPECT_TRUE(SetupCopyOEMInfA(inf.c_str(), nullptr, SPOST_NONE, 0, name, sizeof name,
                                     &required, &component));
        EXPECT_EQ(required, std::strlen(name) + 1);
        return component != nullptr ? component : "";
    }
};

TEST_F(InfStoreTest, EachInfIsStoredOnceUnderTheLowestFreeOemName)
{
    std::string bus = WriteBusPackage();
    std::string other = scratch() + "/other.inf";
    WriteText(other, std::string(kBusInf) + "; another driver\r\n");

    EXPECT_EQ(CopyToStore(bus), "oem0.inf");
    EXPECT_EQ(CopyToStore(other), "oem1.inf");
    EXPECT_EQ(CopyToStore(bus), "oem0.inf");
    EXPECT_EQ(CopyToStore(other), "oem1.inf");
    EXPECT_EQ(ReadText(Disk("windows/inf/oem1.inf")), ReadText(other));
    EXPECT_FALSE(std::filesystem::exists(Disk("windows/inf/oem2.inf")));

    // The full name, and the size it needs when the buffer is too small.
    char name[MAX_PATH];
    ASSERT_TRUE(SetupCopyOEMInfA(bus.c_str(), nullptr, SPOST_NONE, 0, name, sizeof name, nullptr,
                                 nullptr));
    EXPECT_STREQ(name, "C:\\WINDOWS\\inf\\oem0.inf");
    DWORD required = 0;
    EXPECT_FALSE(SetupCopyOEMInfA(bus.c_str(), nullptr, SPOST_NONE, 0, name, 4, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, sizeof("C:\\WINDOWS\\inf\\oem0.inf"));
}

TEST_F(InfStoreTest, StoredInfTellsPlugAndPlayTheServiceOfItsModels)
{
    CopyToStore(WriteBusPackage());
    std::u16string service;
    EXPECT_EQ(RegistryQueryString(kHardwareIdServices, u"Test_Root_Bus", &service), STATUS_SUCCESS);
    EXPECT_EQ(service, u"TESTBUS");
    EXPECT_EQ(RegistryQueryString(kHardwareIdServices, u"Other_Id", &service), STATUS_SUCCESS);
}

TEST_F(InfStoreTest, InfsThatAreNotWindowsNtInfsAreRefused)
{
    std::string missing = scratch() + "/missing.inf";
    EXPECT_FALSE(SetupCopyOEMInfA(missing.c_str(), nullptr, SPOST_NONE, 0, nullptr, 0, nullptr,
                                  nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    std::string unsigned_ = scratch() + "/plain.inf";
    WriteText(unsigned_, "[Version]\nClass=System\n");
    EXPECT_FALSE(SetupCopyOEMInfA(unsigned_.c_str(), nullptr, SPOST_NONE, 0, nullptr, 0, nullptr,
                                  nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
    EXPECT_FALSE(std::filesystem::exists(Disk("windows/inf/oem0.inf")));
}

TEST_F(InfStoreTest, ClassComesFromTheVersionSectionWithStringsSubstituted)
{
    std::string inf = scratch() + "/class.inf";
    WriteText(inf,
              "; a comment line\n"
              "[version]  ; sections and keys ignore case\n"
              "SIGNATURE = \"$Windows NT$\"\n"
              "Class = %ClassName%\n"
              "ClassGuid = {06DDC734-F5C5-446F-A607-BC1208EB1FBE}\n"
              "[Strings]\n"
              "ClassName = \"Pellix\\\n"
              "Ports\"\n");
    GUID guid = {};
    char name[MAX_CLASS_NAME_LEN];
    DWORD required = 0;
    ASSERT_TRUE(SetupDiGetINFClassA(inf.c_str(), &guid, name, sizeof name, &required));
    EXPECT_STREQ(name, "PellixPorts");
    EXPECT_EQ(required, sizeof("PellixPorts"));
    EXPECT_EQ(guid.Data1, 0x06DDC734u);
    EXPECT_EQ(guid.Data2, 0xF5C5);
    EXPECT_EQ(guid.Data4[0], 0xA6);
    EXPECT_EQ(guid.Data4[7], 0xBE);

    char tiny[4];
    EXPECT_FALSE(SetupDiGetINFClassA(inf.c_str(), &guid, tiny, sizeof tiny, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, sizeof("PellixPorts"));
}

TEST_F(InfStoreTest, ClassInstallationWritesTheClassKey)
{
    std::string inf = scratch() + "/class.inf";
    WriteText(inf,
              "[Version]\nSignature=\"$Windows NT$\"\nClass=PellixPorts\n"
              "ClassGuid={06DDC734-F5C5-446F-A607-BC1208EB1FBE}\n"
              "[ClassInstall32]\nAddReg=Class.AddReg\n"
              "[Class.AddReg]\nHKR,,,0,%Desc%\nHKR,,Icon,0,\"-23\"\nHKR,,Flags,0x10001,0x20\n"
              "[Strings]\nDesc=\"Pellix, \"\"virtual\"\" ports\"\n");
    ASSERT_TRUE(SetupDiInstallClassA(nullptr, inf.c_str(), DI_QUIETINSTALL, nullptr));
    std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                         u"{06DDC734-F5C5-446F-A607-BC1208EB1FBE}";
    std::u16string text;
    EXPECT_EQ(RegistryQueryString(key, u"Class", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"PellixPorts");
    EXPECT_EQ(RegistryQueryString(key, u"", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"Pellix, \"virtual\" ports");
    EXPECT_EQ(RegistryQueryString(key, u"Icon", &text), STATUS_SUCCESS);
    EXPECT_EQ(text, u"-23");
    ULONG flags = 0;
    EXPECT_EQ(RegistryQueryDword(key, u"Flags", &flags), STATUS_SUCCESS);
    EXPECT_EQ(flags, 0x20u);

    // An INF without a class-install part installs no class.
    std::string bus = WriteBusPackage();
    EXPECT_FALSE(SetupDiInstallClassA(nullptr, bus.c_str(), DI_QUIETINSTALL, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SECTION_NOT_FOUND));
}

}  // namespace
