// The system as a new user meets it: installed from the package the build assembles,
// ports plugged in and paired, two serial applications talking, a restart, removal.
#include "installation_fixture.h"

#include <cstring>

namespace {

using InstallationEndToEndTest = InstallationTest;

// Opens a port as a serial application does.
HANDLE OpenPort(const char *name)
{
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Writes on one port and reads the same bytes on the other.
void ExchangeData(const char *from, const char *to, const char *text)
{
    HANDLE writer = OpenPort(from);
    HANDLE reader = OpenPort(to);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE) << from << " " << GetLastError();
    ASSERT_NE(reader, INVALID_HANDLE_VALUE) << to << " " << GetLastError();
    DWORD length = static_cast<DWORD>(std::strlen(text));
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(writer, text, length, &written, nullptr)) << GetLastError();
    EXPECT_EQ(written, length);
    char received[64] = {};
    DWORD read = 0;
    EXPECT_TRUE(ReadFile(reader, received, length, &read, nullptr)) << GetLastError();
    EXPECT_EQ(read, length);
    EXPECT_STREQ(received, text);
    CloseHandle(writer);
    CloseHandle(reader);
}

int PlugIn(ULONG port)
{
    int result = 0;
    ApiTest::RunWhileClockAdvances([&] { result = keluPluginPort(port, 0); }, 2000);
    PnpWaitIdle();
    return result;
}

TEST_F(InstallationEndToEndTest, InstallPlugConnectTalkRestartAndRemove)
{
    DWORD error = 0;
    ASSERT_EQ(Install(BuiltPackage(), &error), 1) << std::hex << error;
    ASSERT_EQ(PlugIn(1), 1) << GetLastError();
    ASSERT_EQ(PlugIn(2), 1) << GetLastError();
    int plugged = 0;
    ASSERT_EQ(keluIsPortPluggedIn(2, &plugged), 1);
    EXPECT_EQ(plugged, 1);
    ASSERT_EQ(keluConnectPorts(1, 2), 1) << GetLastError();
    ExchangeData("COM1", "COM2", "hello");
    ExchangeData("COM2", "COM1", "world");

    // The same computer after a restart: the ports come back, still paired.
    Restart();
    PnpWaitIdle();
    ULONG partner = 0;
    ASSERT_EQ(keluGetConnectedPort(1, &partner), 1) << GetLastError();
    ASSERT_EQ(partner, 2u);  // unpaired, the read below would wait for ever
    ExchangeData("COM1", "COM2", "again");

    ASSERT_EQ(Uninstall(&error), 1) << std::hex << error;
    EXPECT_EQ(OpenPort("COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort("COM2"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenPort("\\\\.\\KeluControl"), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(BusDevices().empty());
    EXPECT_FALSE(ServiceRecorded(u"KELU"));
    EXPECT_FALSE(ServiceRecorded(u"KELBUS"));
    EXPECT_EQ(LoaderFindDriver(u"KELU"), nullptr);
}

}  // namespace
