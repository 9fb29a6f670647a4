// The com port option's requests, replies and notifications.
#include "com_port_control.h"

namespace comport {

namespace {

// SET-CONTROL values.
enum ControlValue : uint8_t {
    kRequestOutboundFlow = 0,
    kRequestBreak = 4,
    kBreakOn = 5,
    kBreakOff = 6,
    kRequestDtr = 7,
    kDtrOn = 8,
    kDtrOff = 9,
    kRequestRts = 10,
    kRtsOn = 11,
    kRtsOff = 12,
    kRequestInboundFlow = 13,
};

bool IsOutboundFlow(uint8_t value)
{
    return (value >= 1 && value <= 3) || value == uint8_t(OutboundFlow::kDcd) || value == uint8_t(OutboundFlow::kDsr);
}

bool IsInboundFlow(uint8_t value)
{
    return (value >= 14 && value <= 16) || value == uint8_t(InboundFlow::kDtr);
}

// Each setting command with a one-byte value: 0 asks for the current value.
struct ByteSetting {
    uint8_t command;
    bool (SerialPort::*set)(uint8_t);
    uint8_t (SerialPort::*get)();
};
const ByteSetting kByteSettings[] = {
    {kSetDataSize, &SerialPort::SetDataSize, &SerialPort::DataSize},
    {kSetParity, &SerialPort::SetParity, &SerialPort::Parity},
    {kSetStopSize, &SerialPort::SetStopSize, &SerialPort::StopSize},
};

}  // namespace

std::optional<uint8_t> ModemNotification(uint8_t previous, uint8_t current, uint8_t mask)
{
    uint8_t changed = previous ^ current;
    uint8_t deltas = 0;
    if (changed & kModemCts) deltas |= kModemDeltaCts;
    if (changed & kModemDsr) deltas |= kModemDeltaDsr;
    if (changed & kModemCarrier) deltas |= kModemDeltaCarrier;
    if ((previous & kModemRing) && !(current & kModemRing)) deltas |= kModemRingTrailingEdge;
    // A rising ring has no delta bit of its own; it is a change of the ring bit.
    if (((changed & 0xF0) | deltas) & mask) return static_cast<uint8_t>((current & 0xF0) | deltas) & mask;
    return std::nullopt;
}

std::vector<uint8_t> Control::Reply(uint8_t command, std::vector<uint8_t> value) const
{
    value.insert(value.begin(), static_cast<uint8_t>(command + kServerOffset));
    return value;
}

std::vector<uint8_t> Control::HandleControl(uint8_t value)
{
    if (value == kRequestOutboundFlow || IsOutboundFlow(value)) {
        if (value != kRequestOutboundFlow) port_.SetOutboundFlow(OutboundFlow(value));
        return Reply(kSetControl, {uint8_t(port_.CurrentOutboundFlow())});
    }
    if (value == kRequestInboundFlow || IsInboundFlow(value)) {
        if (value != kRequestInboundFlow) port_.SetInboundFlow(InboundFlow(value));
        return Reply(kSetControl, {uint8_t(port_.CurrentInboundFlow())});
    }
    switch (value) {
    case kBreakOn:
    case kBreakOff:
        if (port_.SetBreak(value == kBreakOn)) breakOn_ = value == kBreakOn;
        [[fallthrough]];
    case kRequestBreak:
        return Reply(kSetControl, {breakOn_ ? kBreakOn : kBreakOff});
    case kDtrOn:
    case kDtrOff:
        port_.SetDtr(value == kDtrOn);
        [[fallthrough]];
    case kRequestDtr:
        return Reply(kSetControl, {port_.Dtr() ? kDtrOn : kDtrOff});
    case kRtsOn:
    case kRtsOff:
        port_.SetRts(value == kRtsOn);
        [[fallthrough]];
    case kRequestRts:
        return Reply(kSetControl, {port_.Rts() ? kRtsOn : kRtsOff});
    default:
        // A value the option does not define: the outbound flow setting stands.
        return Reply(kSetControl, {uint8_t(port_.CurrentOutboundFlow())});
    }
}

std::optional<std::vector<std::vector<uint8_t>>> Control::Handle(const std::vector<uint8_t> &payload)
{
    using Replies = std::vector<std::vector<uint8_t>>;
    if (payload.empty()) return std::nullopt;
    const uint8_t command = payload[0];
    const size_t valueSize = payload.size() - 1;
    const uint8_t byteValue = valueSize == 1 ? payload[1] : 0;

    switch (command) {
    case kSignature:
        // A client that names itself wants no answer; an empty one asks for ours.
        if (valueSize != 0) return Replies{};
        return Replies{Reply(kSignature, std::vector<uint8_t>(signature_.begin(), signature_.end()))};
    case kSetBaudRate: {
        if (valueSize != 4) return std::nullopt;
        uint32_t rate = uint32_t(payload[1]) << 24 | uint32_t(payload[2]) << 16 | uint32_t(payload[3]) << 8 | payload[4];
        if (rate != 0) port_.SetBaudRate(rate);
        uint32_t now = port_.BaudRate();
        return Replies{Reply(kSetBaudRate, {uint8_t(now >> 24), uint8_t(now >> 16), uint8_t(now >> 8), uint8_t(now)})};
    }
    case kSetDataSize:
    case kSetParity:
    case kSetStopSize:
        if (valueSize != 1) return std::nullopt;
        for (const ByteSetting &setting : kByteSettings) {
            if (setting.command != command) continue;
            if (byteValue != 0) (port_.*setting.set)(byteValue);
            return Replies{Reply(command, {(port_.*setting.get)()})};
        }
        return Replies{};
    case kSetControl:
        if (valueSize != 1) return std::nullopt;
        return Replies{HandleControl(byteValue)};
    case kNotifyLineState:
        // Asked by the client: the line has nothing pending.
        return Replies{Reply(kNotifyLineState, {0})};
    case kNotifyModemState:
        return Replies{Reply(kNotifyModemState, {uint8_t(port_.ModemState() & modemMask_)})};
    case kFlowControlSuspend:
    case kFlowControlResume:
        if (valueSize != 0) return std::nullopt;
        suspended_ = command == kFlowControlSuspend;
        return Replies{};
    case kSetLineStateMask:
    case kSetModemStateMask:
        if (valueSize != 1) return std::nullopt;
        (command == kSetLineStateMask ? lineMask_ : modemMask_) = byteValue;
        return Replies{Reply(command, {byteValue})};
    case kPurgeData:
        if (valueSize != 1 || byteValue < 1 || byteValue > 3) return std::nullopt;
        port_.Purge(byteValue & 1, byteValue & 2);
        return Replies{Reply(kPurgeData, {byteValue})};
    default:
        return Replies{};
    }
}

std::optional<std::vector<uint8_t>> Control::ModemChanged(uint8_t state)
{
    std::lock_guard<std::mutex> guard(modemLock_);
    state &= 0xF0;
    std::optional<uint8_t> value;
    if (!modemStateKnown_) {
        value = static_cast<uint8_t>(state & modemMask_);
        modemStateKnown_ = true;
    } else {
        value = ModemNotification(lastModemState_, state, modemMask_);
    }
    lastModemState_ = state;
    if (!value) return std::nullopt;
    return Reply(kNotifyModemState, {*value});
}

std::optional<std::vector<uint8_t>> Control::LineStateReported(uint8_t state)
{
    uint8_t value = state & lineMask_;
    if (value == 0) return std::nullopt;
    return Reply(kNotifyLineState, {value});
}

}  // namespace comport
