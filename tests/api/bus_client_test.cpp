// Plug-in, unplug and the plugged-in map through the bus enumerator's interface,
// with the scripted control device answering the confirmation request.
#include "api_fixture.h"

namespace {

class BusClientTest : public ScriptedApiTest {
protected:
    void SetUp() override
    {
        ScriptedApiTest::SetUp();
        InstallBusEnumerator();
    }

    static std::vector<RecordedRequest> ConfirmationRequests()
    {
        std::vector<RecordedRequest> requests;
        for (const RecordedRequest &request : RecordedRequests()) {
            if (request.code == IOCTL_KELU_SET_CONFIRMATION) {
                requests.push_back(request);
            }
        }
        return requests;
    }
};

const ScriptedAnswer kPortNotThereYet = {STATUS_INVALID_PARAMETER, {}};

TEST_F(ScriptedApiTest, WithoutABusEnumeratorNothingIsSent)
{
    int pluggedIn = 7;
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(keluPluginPort(5, 1), 0);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(keluUnplugPort(5), 0);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(keluIsPortPluggedIn(5, &pluggedIn), 0);
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(pluggedIn, 7);
    EXPECT_EQ(ScriptedControlDeviceOpens(), 0);
}

TEST_F(BusClientTest, PluginRecordsTheConfirmationFlagAndTheMapFollows)
{
    EXPECT_EQ(keluPluginPort(5, 1), 1);
    EXPECT_EQ(keluPluginPort(6, 0), 1);
    EXPECT_EQ(keluPluginPort(255, 7), 1);
    auto requests = ConfirmationRequests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].input, Bytes({0x80000004}));
    EXPECT_EQ(requests[1].input, Bytes({0x00000005}));
    EXPECT_EQ(requests[2].input, Bytes({0x800000FE}));

    for (ULONG port : {4UL, 5UL, 6UL, 7UL, 254UL, 255UL}) {
        SCOPED_TRACE(port);
        int pluggedIn = -1;
        EXPECT_EQ(keluIsPortPluggedIn(port, &pluggedIn), 1);
        EXPECT_EQ(pluggedIn, port == 5 || port == 6 || port == 255 ? 1 : 0);
    }

    EXPECT_EQ(keluUnplugPort(5), 1);
    PnpWaitIdle();
    int pluggedIn = -1;
    EXPECT_EQ(keluIsPortPluggedIn(5, &pluggedIn), 1);
    EXPECT_EQ(pluggedIn, 0);
    EXPECT_EQ(keluIsPortPluggedIn(6, &pluggedIn), 1);
    EXPECT_EQ(pluggedIn, 1);
}

TEST_F(BusClientTest, ABusRefusalIsReportedAndTheControlDeviceIsLeftAlone)
{
    ASSERT_EQ(keluPluginPort(8, 0), 1);
    LONG opens = ScriptedControlDeviceOpens();
    // kelbus refuses a number in use and unplugging a number it does not have.
    EXPECT_EQ(keluPluginPort(8, 1), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(keluUnplugPort(9), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(ScriptedControlDeviceOpens(), opens);
}

// The driver refuses the confirmation request until the new port has started;
// plug-in asks again every 2000 ms of machine time instead of giving up.
TEST_F(BusClientTest, PluginRetriesTheConfirmationUntilThePortHasStarted)
{
    ScriptAnswers(IOCTL_KELU_SET_CONFIRMATION,
                  {kPortNotThereYet, kPortNotThereYet, kPortNotThereYet});
    int result = -1;
    ULONGLONG elapsedMs = RunWhileClockAdvances([&] { result = keluPluginPort(3, 1); }, 2000);
    EXPECT_EQ(result, 1);
    EXPECT_GE(elapsedMs, 6000u);
    EXPECT_LE(elapsedMs, 8000u);
    auto requests = ConfirmationRequests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests.back().input, Bytes({0x80000002}));
}

TEST_F(BusClientTest, PluginGivesUpAfterTwentyAttempts)
{
    ScriptDefaultAnswer(IOCTL_KELU_SET_CONFIRMATION, kPortNotThereYet);
    int result = -1;
    DWORD error = 0;
    ULONGLONG elapsedMs = RunWhileClockAdvances(
        [&] {
            result = keluPluginPort(3, 1);
            error = GetLastError();
        },
        2000);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_GE(elapsedMs, 40000u);
    EXPECT_LE(elapsedMs, 42000u);
    EXPECT_EQ(ConfirmationRequests().size(), 20u);
    int pluggedIn = 0;
    EXPECT_EQ(keluIsPortPluggedIn(3, &pluggedIn), 1);
    EXPECT_EQ(pluggedIn, 1);
}

// Any other answer is final: no waiting, one request, the driver's error.
TEST_F(BusClientTest, PluginDoesNotRetryADefiniteRefusal)
{
    ScriptAnswers(IOCTL_KELU_SET_CONFIRMATION, {{STATUS_INSUFFICIENT_RESOURCES, {}}});
    ULONGLONG start = KeQueryInterruptTime();
    EXPECT_EQ(keluPluginPort(3, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(KeQueryInterruptTime(), start);
    EXPECT_EQ(ConfirmationRequests().size(), 1u);
}

class BusWithoutDriverTest : public ApiTest {};

// With no control device at all, plug-in tries to open it 20 times, 2000 ms apart,
// and fails with the open's error; the port stays plugged in at the bus.
TEST_F(BusWithoutDriverTest, PluginWithoutTheDriverFailsAfterFortySeconds)
{
    InstallBusEnumerator();
    int result = -1;
    DWORD error = 0;
    ULONGLONG elapsedMs = RunWhileClockAdvances(
        [&] {
            result = keluPluginPort(4, 1);
            error = GetLastError();
        },
        2000);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_GE(elapsedMs, 40000u);
    EXPECT_LE(elapsedMs, 42000u);
    int pluggedIn = 0;
    EXPECT_EQ(keluIsPortPluggedIn(4, &pluggedIn), 1);
    EXPECT_EQ(pluggedIn, 1);
}

}  // namespace
