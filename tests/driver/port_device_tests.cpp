// Port devices: their names, SERIALCOMM entries and hardware keys, refusals at
// creation, the defaults of a fresh port, and the null-modem crossover of the handshake
// lines.
#include "rig.h"

#include <ntservices.h>

namespace {

constexpr ULONG kCts = SERIAL_CTS_STATE, kDsr = SERIAL_DSR_STATE, kRi = SERIAL_RI_STATE,
                kDcd = SERIAL_DCD_STATE;
constexpr ULONG kDeltaCts = 0x01, kDeltaDsr = 0x02, kDeltaRi = 0x04, kDeltaDcd = 0x08;
constexpr ULONG kDtr = SERIAL_DTR_STATE, kRts = SERIAL_RTS_STATE;

}  // namespace

TEST_F(DriverTest, PortNumberGivesDeviceNameComNameAndSerialCommEntry)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(255), STATUS_SUCCESS);
    EXPECT_TRUE(ObjectExists(u"\\Device\\Serial0"));
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM1"), u"\\Device\\Serial0");
    EXPECT_EQ(SerialCommValue(u"\\Device\\Serial0"), u"COM1");
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM256"), u"\\Device\\Serial255");
    EXPECT_EQ(SerialCommValue(u"\\Device\\Serial255"), u"COM256");
    EXPECT_EQ(PortNameValue(0), u"COM1");
    EXPECT_EQ(PortNameValue(255), u"COM256");

    HANDLE port;
    ASSERT_EQ(Open("\\??\\COM256", &port), STATUS_SUCCESS);
    NtClose(port);

    // Removal takes the names away again.
    ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
    EXPECT_FALSE(ObjectExists(u"\\Device\\Serial0"));
    EXPECT_FALSE(LinkTarget(u"\\DosDevices\\COM1").has_value());
    EXPECT_FALSE(SerialCommValue(u"\\Device\\Serial0").has_value());
    EXPECT_EQ(SerialCommValue(u"\\Device\\Serial255"), u"COM256");
    EXPECT_EQ(Lines(0).ulModemStatus, 0xFFFFFFFFu);  // no such port any more
    // The hardware key belongs to the device record, which outlives the device.
    EXPECT_EQ(PortNameValue(0), u"COM1");
}

// A second bus reports a child with a number already in use: its device name is taken.
TEST_F(DriverTest, DuplicatePortNumberIsRefusedAndTheFirstPortKeepsWorking)
{
    AddBus();
    ASSERT_EQ(PlugIn(3, 0), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(3, 0, kDtr), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(3, 1), STATUS_SUCCESS);

    int started = 0;
    NTSTATUS problem = STATUS_SUCCESS;
    for (const PnpDeviceInfo &info : PnpListDevices()) {
        if (info.hardwareIds == std::vector<std::u16string>{u"KELB\\KELU"}) {
            started += info.started;
            if (!info.started) problem = info.problem;
        }
    }
    EXPECT_EQ(started, 1);
    EXPECT_EQ(problem, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(Lines(3).ulModemControl, kDtr);
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM4"), u"\\Device\\Serial3");
    EXPECT_EQ(SerialCommValue(u"\\Device\\Serial3"), u"COM4");
    HANDLE port;
    ASSERT_EQ(Open("\\??\\COM4", &port), STATUS_SUCCESS);
    NtClose(port);
}

TEST_F(DriverTest, TakenComNameLeavesAWorkingPortWithoutLinkOrEntry)
{
    ASSERT_EQ(ObCreateSymbolicLink(u"\\DosDevices\\COM4", u"\\Device\\Elsewhere"), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(3), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM4"), u"\\Device\\Elsewhere");
    EXPECT_FALSE(SerialCommValue(u"\\Device\\Serial3").has_value());
    EXPECT_FALSE(PortNameValue(3).has_value());
    EXPECT_EQ(SetLines(3, 0, kRts), STATUS_SUCCESS);
    HANDLE port;
    ASSERT_EQ(Open("\\Device\\Serial3", &port), STATUS_SUCCESS);
    NtClose(port);

    // Removal leaves the foreign link alone.
    ASSERT_EQ(Unplug(3), STATUS_SUCCESS);
    EXPECT_EQ(LinkTarget(u"\\DosDevices\\COM4"), u"\\Device\\Elsewhere");
    EXPECT_FALSE(DriverLoaded());
}

TEST_F(DriverTest, FreshPortHasTheDefaultSettingsAndNoLines)
{
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    KELU_SETTINGS_REPLY reply;
    memset(&reply, 0xEE, sizeof(reply));
    reply.ulPortNumber = 2;
    RequestResult result = Control(IOCTL_KELU_GET_SETTINGS, &reply, sizeof(ULONG), sizeof(reply));
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, sizeof(reply));
    EXPECT_EQ(reply.ulPortNumber, 2u);
    EXPECT_EQ(reply.ulBaudRate, 19200u);
    EXPECT_EQ(reply.WordLength, 8);
    EXPECT_EQ(reply.Parity, NO_PARITY);
    EXPECT_EQ(reply.StopBits, STOP_BIT_1);
    EXPECT_EQ(reply.XonChar, 0x0B);
    EXPECT_EQ(reply.XoffChar, 0x0D);
    EXPECT_EQ(reply.EofChar, 0);
    EXPECT_EQ(reply.ErrorChar, 0);
    EXPECT_EQ(reply.BreakChar, 0);
    EXPECT_EQ(reply.EventChar, 0);
    EXPECT_EQ(reply.ControlHandShake, 0u);
    EXPECT_EQ(reply.FlowReplace, 0u);
    EXPECT_EQ(reply.XonLimit, 500);
    EXPECT_EQ(reply.XoffLimit, 100);
    EXPECT_EQ(reply.ulFifoControl, 0u);

    KELU_MODEM_REGISTERS lines = Lines(2);
    EXPECT_EQ(lines.ulModemStatus, 0u);
    EXPECT_EQ(lines.ulModemControl, 0u);
}

TEST_F(DriverTest, RtsAndDtrCrossOverToThePartner)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);

    ASSERT_EQ(SetLines(1, 0, kRts), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus, kCts | kDeltaCts);
    EXPECT_EQ(Lines(1).ulModemStatus, 0u);  // one direction only

    ASSERT_EQ(SetLines(1, 0, kRts | kDtr), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus, kCts | kDsr | kDcd | kDeltaCts | kDeltaDsr | kDeltaDcd);

    ASSERT_EQ(SetLines(1, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus, kDeltaCts | kDeltaDsr | kDeltaDcd);
    // The partner's own control lines and RI are not touched.
    EXPECT_EQ(Lines(2).ulModemControl, 0u);
}

TEST_F(DriverTest, LineThatAlreadyShowsTheStateReportsNoChange)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);

    // The partner already shows DSR (set by the controlling application): DTR on port 1
    // raises DCD with it but marks no change, since the change is judged by DSR.
    ASSERT_EQ(SetLines(2, kDsr | kRi, 0), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus, kDsr | kRi | kDeltaDsr | kDeltaRi);
    ASSERT_EQ(SetLines(1, 0, kDtr), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus, kDsr | kDcd | kRi | kDeltaDsr | kDeltaRi);

    // A request that changes neither lines nor controls transfers nothing.
    ASSERT_EQ(SetLines(2, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(1, 0, kDtr), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus, kDeltaDsr | kDeltaRi | kDeltaDcd);
}

TEST_F(DriverTest, PluggingInAPortExchangesLinesWithItsPartner)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);  // port 2 not plugged in yet
    ASSERT_EQ(SetLines(1, 0, kDtr | kRts), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(1, kCts | kDsr | kDcd, kDtr | kRts), STATUS_SUCCESS);

    // The new port sees the partner's lines at once; the partner loses what the new
    // port (DTR and RTS off) does not drive.
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus, kCts | kDsr | kDcd | kDeltaCts | kDeltaDsr | kDeltaDcd);
    EXPECT_EQ(Lines(1).ulModemStatus & 0xF0, 0u);
    EXPECT_EQ(Lines(1).ulModemStatus & (kDeltaCts | kDeltaDsr | kDeltaDcd), kDeltaCts | kDeltaDsr | kDeltaDcd);
}

TEST_F(DriverTest, SettingLinesNeedsAStartedPort)
{
    ASSERT_EQ(PlugIn(4), STATUS_SUCCESS);
    EXPECT_EQ(SetLines(5, 0, kDtr), STATUS_INVALID_PARAMETER);  // no such port
    EXPECT_EQ(SetLines(0x104, 0, kDtr), STATUS_INVALID_PARAMETER);  // whole word is the number

    ASSERT_EQ(PnpSendRequest(PortPdo(4), IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    MachineClearDebugLog();
    EXPECT_EQ(SetLines(4, 0, kDtr), STATUS_INVALID_PARAMETER);
    EXPECT_NE(MachineDebugLog().find("&pDevExt->Mutex - Address NOT valid!!!\n"), std::string::npos);
    EXPECT_EQ(Lines(4).ulModemControl, 0u);  // reading needs no started port
}
