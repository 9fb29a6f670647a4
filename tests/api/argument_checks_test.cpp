// Every export refuses a bad argument with ERROR_INVALID_PARAMETER before it sends
// anything, and leaves its result arguments alone.
#include "api_fixture.h"

#include <string>
#include <vector>

namespace {

struct BadCall {
    std::string what;
    std::function<bool()> call;  // true when the export reported failure
};

constexpr ULONG kUntouched = 0xA5A5A5A5;

std::vector<BadCall> BadCalls(ULONG *resultWord, int *resultInt, UCHAR *data, char *ch,
                              KELU_PORT_SETTINGS *settings)
{
    std::vector<BadCall> calls;
    for (ULONG port : {0UL, 256UL, 0xFFFFFFFFUL}) {
        std::string p = " port " + std::to_string(port);
        calls.push_back({"plugin" + p, [=] { return keluPluginPort(port, 1) == 0; }});
        calls.push_back({"unplug" + p, [=] { return keluUnplugPort(port) == 0; }});
        calls.push_back(
            {"plugged in" + p, [=] { return keluIsPortPluggedIn(port, resultInt) == 0; }});
        calls.push_back({"connect first" + p, [=] { return keluConnectPorts(port, 2) == 0; }});
        calls.push_back({"connect second" + p, [=] { return keluConnectPorts(2, port) == 0; }});
        calls.push_back(
            {"disconnect first" + p, [=] { return keluDisconnectPorts(port, 2) == 0; }});
        calls.push_back(
            {"disconnect second" + p, [=] { return keluDisconnectPorts(2, port) == 0; }});
        calls.push_back(
            {"partner" + p, [=] { return keluGetConnectedPort(port, resultWord) == 0; }});
        calls.push_back({"confirm" + p, [=] { return keluConfirmPortOpening(port, 0) == 0; }});
        calls.push_back({"opened" + p, [=] { return keluIsPortOpened(port, resultInt) == 0; }});
        calls.push_back(
            {"waiting" + p, [=] { return keluGetNumBytesInBuffer(port, resultWord) == 0; }});
        calls.push_back(
            {"write char" + p, [=] { return keluWriteCharToPortBuffer(port, 'x') == 0; }});
        calls.push_back(
            {"read char" + p, [=] { return keluReadCharFromPortBuffer(port, ch) == 0; }});
        calls.push_back({"write run" + p,
                         [=] { return keluWriteToPortBuffer(port, data, 4, resultWord) == 0; }});
        calls.push_back({"read run" + p,
                         [=] { return keluReadFromPortBuffer(port, data, 4, resultWord) == 0; }});
        calls.push_back(
            {"get signals" + p, [=] { return keluGetControlSignals(port, resultWord) == 0; }});
        calls.push_back(
            {"set signals" + p, [=] { return keluSetControlSignals(port, 0x3F) == 0; }});
        calls.push_back({"settings" + p, [=] { return keluGetSettings(port, settings) == 0; }});
        calls.push_back({"data event" + p, [=] { return keluGetDataEvent(port) == nullptr; }});
        calls.push_back(
            {"settings event" + p, [=] { return keluGetSettingsEvent(port) == nullptr; }});
        calls.push_back({"flow event" + p, [=] { return keluGetFlowEvent(port) == nullptr; }});
        calls.push_back({"open event" + p, [=] { return keluGetOpenCloseEvent(port) == nullptr; }});
    }
    calls.push_back({"connect equal", [] { return keluConnectPorts(3, 3) == 0; }});
    calls.push_back({"disconnect equal", [] { return keluDisconnectPorts(3, 3) == 0; }});
    calls.push_back({"null pluggedIn", [] { return keluIsPortPluggedIn(3, nullptr) == 0; }});
    calls.push_back({"null partner", [] { return keluGetConnectedPort(3, nullptr) == 0; }});
    calls.push_back({"null opened", [] { return keluIsPortOpened(3, nullptr) == 0; }});
    calls.push_back({"null count", [] { return keluGetNumBytesInBuffer(3, nullptr) == 0; }});
    calls.push_back({"null ch", [] { return keluReadCharFromPortBuffer(3, nullptr) == 0; }});
    calls.push_back(
        {"null write data", [=] { return keluWriteToPortBuffer(3, nullptr, 0, resultWord) == 0; }});
    calls.push_back(
        {"null written", [=] { return keluWriteToPortBuffer(3, data, 4, nullptr) == 0; }});
    calls.push_back(
        {"null read data", [=] { return keluReadFromPortBuffer(3, nullptr, 0, resultWord) == 0; }});
    calls.push_back(
        {"null read", [=] { return keluReadFromPortBuffer(3, data, 4, nullptr) == 0; }});
    calls.push_back({"null signals", [] { return keluGetControlSignals(3, nullptr) == 0; }});
    calls.push_back({"null settings", [] { return keluGetSettings(3, nullptr) == 0; }});
    calls.push_back({"null install path", [] { return keluInstallDrivers(nullptr) == 0; }});
    return calls;
}

TEST_F(ScriptedApiTest, BadArgumentsFailWithInvalidParameterAndSendNothing)
{
    ULONG resultWord = kUntouched;
    int resultInt = static_cast<int>(kUntouched);
    UCHAR data[4] = {1, 2, 3, 4};
    char ch = 'q';
    KELU_PORT_SETTINGS settings;
    memset(&settings, 0xA5, sizeof(settings));
    for (const BadCall &bad : BadCalls(&resultWord, &resultInt, data, &ch, &settings)) {
        SCOPED_TRACE(bad.what);
        SetLastError(ERROR_SUCCESS);
        EXPECT_TRUE(bad.call());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(ScriptedControlDeviceOpens(), 0);
    EXPECT_TRUE(RecordedRequests().empty());
    EXPECT_EQ(resultWord, kUntouched);
    EXPECT_EQ(resultInt, static_cast<int>(kUntouched));
    EXPECT_EQ(ch, 'q');
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(settings.BaudRate, kUntouched);
}

// The edges of the range are ports like any other: 1 is sent as 0 and 255 as 254.
TEST_F(ScriptedApiTest, PortsOneAndTwoHundredFiftyFiveAreSentZeroBased)
{
    EXPECT_EQ(keluConnectPorts(1, 255), 1);
    auto requests = RecordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].input, Bytes({0, 254}));
}

}  // namespace
