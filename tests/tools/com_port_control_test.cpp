// The com port option: what a client's commands do to a port, what the server
// answers, and which modem and line changes reach the client.
#include "com_port_control.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;
using Replies = std::vector<Bytes>;
using namespace comport;

// A port that keeps what it is told, and refuses what a real port would.
class FakePort final : public SerialPort {
public:
    uint32_t rate = 9600;
    uint8_t dataSize = 8, parity = 1, stopSize = 1;
    OutboundFlow outbound = OutboundFlow::kNone;
    InboundFlow inbound = InboundFlow::kNone;
    bool breakOn = false, dtr = false, rts = false;
    uint8_t modem = 0;
    int purgedReceive = 0, purgedTransmit = 0;
    bool refuseBreak = false;

    bool SetBaudRate(uint32_t value) override
    {
        if (value > 921600) return false;
        rate = value;
        return true;
    }
    bool SetDataSize(uint8_t value) override
    {
        if (value < 5 || value > 8) return false;
        dataSize = value;
        return true;
    }
    bool SetParity(uint8_t value) override { return (parity = value, true); }
    bool SetStopSize(uint8_t value) override { return (stopSize = value, true); }
    uint32_t BaudRate() override { return rate; }
    uint8_t DataSize() override { return dataSize; }
    uint8_t Parity() override { return parity; }
    uint8_t StopSize() override { return stopSize; }
    bool SetOutboundFlow(OutboundFlow flow) override { return (outbound = flow, true); }
    bool SetInboundFlow(InboundFlow flow) override { return (inbound = flow, true); }
    OutboundFlow CurrentOutboundFlow() override { return outbound; }
    InboundFlow CurrentInboundFlow() override { return inbound; }
    bool SetBreak(bool on) override
    {
        if (refuseBreak) return false;
        breakOn = on;
        return true;
    }
    bool SetDtr(bool on) override { return (dtr = on, true); }
    bool SetRts(bool on) override { return (rts = on, true); }
    bool Dtr() override { return dtr; }
    bool Rts() override { return rts; }
    uint8_t ModemState() override { return modem; }
    bool Purge(bool receive, bool transmit) override
    {
        purgedReceive += receive;
        purgedTransmit += transmit;
        return true;
    }
};

class ComPortControlTest : public ::testing::Test {
protected:
    FakePort port;
    Control control{port, "kelu COM1"};

    Replies Handle(const Bytes &payload)
    {
        std::optional<Replies> replies = control.Handle(payload);
        EXPECT_TRUE(replies.has_value()) << "command " << int(payload.empty() ? -1 : payload[0]);
        return replies.value_or(Replies{});
    }
};

TEST_F(ComPortControlTest, LineSettingsAreSetAndAnsweredWithWhatThePortNowHas)
{
    EXPECT_EQ(Handle({kSetBaudRate, 0, 0, 0xE1, 0x00}), (Replies{{101, 0, 0, 0xE1, 0x00}}));
    EXPECT_EQ(port.rate, 57600u);
    // 0 asks without changing; a rate the port refuses is answered with the one it kept.
    EXPECT_EQ(Handle({kSetBaudRate, 0, 0, 0, 0}), (Replies{{101, 0, 0, 0xE1, 0x00}}));
    EXPECT_EQ(Handle({kSetBaudRate, 0x10, 0, 0, 0}), (Replies{{101, 0, 0, 0xE1, 0x00}}));

    EXPECT_EQ(Handle({kSetDataSize, 7}), (Replies{{102, 7}}));
    EXPECT_EQ(Handle({kSetDataSize, 9}), (Replies{{102, 7}}));
    EXPECT_EQ(Handle({kSetDataSize, 0}), (Replies{{102, 7}}));
    EXPECT_EQ(Handle({kSetParity, 3}), (Replies{{103, 3}}));
    EXPECT_EQ(Handle({kSetParity, 0}), (Replies{{103, 3}}));
    EXPECT_EQ(Handle({kSetStopSize, 2}), (Replies{{104, 2}}));
    EXPECT_EQ(port.dataSize, 7);
    EXPECT_EQ(port.parity, 3);
    EXPECT_EQ(port.stopSize, 2);
}

TEST_F(ComPortControlTest, SetControlDrivesLinesBreakAndFlowControl)
{
    EXPECT_EQ(Handle({kSetControl, 8}), (Replies{{105, 8}}));  // DTR on
    EXPECT_TRUE(port.dtr);
    EXPECT_EQ(Handle({kSetControl, 7}), (Replies{{105, 8}}));  // asks
    EXPECT_EQ(Handle({kSetControl, 9}), (Replies{{105, 9}}));
    EXPECT_FALSE(port.dtr);
    EXPECT_EQ(Handle({kSetControl, 11}), (Replies{{105, 11}}));  // RTS on
    EXPECT_TRUE(port.rts);
    EXPECT_EQ(Handle({kSetControl, 12}), (Replies{{105, 12}}));
    EXPECT_FALSE(port.rts);
    EXPECT_EQ(Handle({kSetControl, 10}), (Replies{{105, 12}}));

    EXPECT_EQ(Handle({kSetControl, 5}), (Replies{{105, 5}}));
    EXPECT_TRUE(port.breakOn);
    EXPECT_EQ(Handle({kSetControl, 4}), (Replies{{105, 5}}));
    port.refuseBreak = true;
    EXPECT_EQ(Handle({kSetControl, 6}), (Replies{{105, 5}}));  // the break stays on

    EXPECT_EQ(Handle({kSetControl, 3}), (Replies{{105, 3}}));
    EXPECT_EQ(port.outbound, OutboundFlow::kHardware);
    EXPECT_EQ(Handle({kSetControl, 19}), (Replies{{105, 19}}));
    EXPECT_EQ(Handle({kSetControl, 0}), (Replies{{105, 19}}));
    EXPECT_EQ(Handle({kSetControl, 16}), (Replies{{105, 16}}));
    EXPECT_EQ(port.inbound, InboundFlow::kHardware);
    EXPECT_EQ(Handle({kSetControl, 13}), (Replies{{105, 16}}));
    EXPECT_EQ(Handle({kSetControl, 15}), (Replies{{105, 15}}));
    // A value the option does not define changes nothing and is answered with the
    // outbound setting.
    EXPECT_EQ(Handle({kSetControl, 42}), (Replies{{105, 19}}));
    EXPECT_EQ(port.inbound, InboundFlow::kXonXoff);
}

TEST_F(ComPortControlTest, MasksSuspendPurgeAndSignatureAreHonoured)
{
    EXPECT_EQ(Handle({kSetModemStateMask, 0x30}), (Replies{{111, 0x30}}));
    EXPECT_EQ(Handle({kSetLineStateMask, 0x10}), (Replies{{110, 0x10}}));
    port.modem = kModemCarrier | kModemCts;
    EXPECT_EQ(Handle({kNotifyModemState}), (Replies{{107, kModemCts}}));

    EXPECT_FALSE(control.suspended());
    EXPECT_EQ(Handle({kFlowControlSuspend}), Replies{});
    EXPECT_TRUE(control.suspended());
    EXPECT_EQ(Handle({kFlowControlResume}), Replies{});
    EXPECT_FALSE(control.suspended());

    EXPECT_EQ(Handle({kPurgeData, 1}), (Replies{{112, 1}}));
    EXPECT_EQ(Handle({kPurgeData, 3}), (Replies{{112, 3}}));
    EXPECT_EQ(port.purgedReceive, 2);
    EXPECT_EQ(port.purgedTransmit, 1);

    Bytes signature = {100};
    for (char c : std::string("kelu COM1")) signature.push_back(uint8_t(c));
    EXPECT_EQ(Handle({kSignature}), Replies{signature});
    EXPECT_EQ(Handle({kSignature, 'p', 'y'}), Replies{});  // the client names itself
    EXPECT_EQ(Handle({99, 1, 2}), Replies{});              // a command from a later revision
}

TEST_F(ComPortControlTest, AValueOfTheWrongLengthIsMalformedAndChangesNothing)
{
    const Bytes malformed[] = {
        {},
        {kSetBaudRate, 0, 1},
        {kSetDataSize},
        {kSetParity, 1, 2},
        {kSetControl},
        {kFlowControlSuspend, 0},
        {kSetModemStateMask},
        {kPurgeData, 4},
    };
    for (const Bytes &payload : malformed)
        EXPECT_FALSE(control.Handle(payload).has_value()) << int(payload.empty() ? -1 : payload[0]);
    EXPECT_EQ(port.rate, 9600u);
    EXPECT_EQ(port.parity, 1);
    EXPECT_EQ(port.purgedReceive + port.purgedTransmit, 0);
    EXPECT_FALSE(control.suspended());
}

TEST(ModemNotificationTest, ChangesCarryTheirDeltasAndTheMaskDecides)
{
    // CTS rises: its delta; DSR and DCD fall: theirs.
    EXPECT_EQ(ModemNotification(0, kModemCts, 0xFF), kModemCts | kModemDeltaCts);
    EXPECT_EQ(ModemNotification(kModemDsr | kModemCarrier, 0, 0xFF), kModemDeltaDsr | kModemDeltaCarrier);
    // The ring has a delta for its trailing edge only; its rise is still a change.
    EXPECT_EQ(ModemNotification(kModemRing, 0, 0xFF), kModemRingTrailingEdge);
    EXPECT_EQ(ModemNotification(0, kModemRing, 0xFF), kModemRing);
    // Nothing changed, or only bits the client masked out: no notification.
    EXPECT_EQ(ModemNotification(kModemCts, kModemCts, 0xFF), std::nullopt);
    EXPECT_EQ(ModemNotification(0, kModemDsr, kModemCts | kModemDeltaCts), std::nullopt);
    // The value sent is masked too.
    EXPECT_EQ(ModemNotification(kModemDsr, kModemDsr | kModemCts, kModemCts | kModemDeltaCts),
              kModemCts | kModemDeltaCts);
}

TEST_F(ComPortControlTest, TheFirstModemStateIsAlwaysSentThenOnlyMaskedChanges)
{
    EXPECT_EQ(control.ModemChanged(0), (Bytes{107, 0}));
    EXPECT_EQ(control.ModemChanged(0), std::nullopt);
    EXPECT_EQ(control.ModemChanged(kModemCts | kModemDeltaCts), (Bytes{107, kModemCts | kModemDeltaCts}));
    Handle({kSetModemStateMask, kModemDsr});
    EXPECT_EQ(control.ModemChanged(0), std::nullopt);  // CTS fell: masked out
    EXPECT_EQ(control.ModemChanged(kModemDsr), (Bytes{107, kModemDsr}));

    // Line state is reported only for bits the client asked for (none by default).
    EXPECT_EQ(control.LineStateReported(kLineBreak), std::nullopt);
    Handle({kSetLineStateMask, kLineBreak | kLineOverrun});
    EXPECT_EQ(control.LineStateReported(kLineBreak | kLineParityError), (Bytes{106, kLineBreak}));
    EXPECT_EQ(control.LineStateReported(kLineParityError), std::nullopt);
}

}  // namespace
