// The telnet parser, the negotiation answers and the wire encoding.
#include "telnet.h"

namespace telnet {

namespace {

// Flushes the data run that ends before an event or at the end of a Feed.
struct DataRun {
    const uint8_t *start = nullptr;
    size_t count = 0;

    void Add(const uint8_t *byte)
    {
        if (count == 0) start = byte;
        count++;
    }
    void Flush(Listener &listener)
    {
        if (count != 0) listener.OnData(start, count);
        count = 0;
    }
};

}  // namespace

void Parser::Fail(const std::string &reason)
{
    state_ = State::kFailed;
    failure_ = reason;
    payload_.clear();
}

bool Parser::Feed(const uint8_t *bytes, size_t count, Listener &listener)
{
    DataRun run;
    for (size_t i = 0; i < count && state_ != State::kFailed; i++) {
        const uint8_t *byte = bytes + i;
        switch (state_) {
        case State::kData:
            if (*byte == kIac) {
                run.Flush(listener);  // a run covers contiguous bytes only
                state_ = State::kIac;
            } else {
                run.Add(byte);
            }
            break;
        case State::kIac:
            if (*byte == kIac) {
                run.Add(byte);  // the second IAC of IAC IAC is the data byte 0xFF
                state_ = State::kData;
            } else if (*byte >= kWill && *byte <= kDont) {
                verb_ = *byte;
                state_ = State::kNegotiation;
            } else if (*byte == kSb) {
                state_ = State::kSubnegotiationOption;
            } else if (*byte == kSe) {
                Fail("SE outside a subnegotiation");
            } else if (*byte > kSe) {
                run.Flush(listener);
                listener.OnCommand(*byte);
                state_ = State::kData;
            } else {
                Fail("IAC followed by " + std::to_string(*byte) + ", which is no telnet command");
            }
            break;
        case State::kNegotiation:
            run.Flush(listener);
            listener.OnNegotiation(verb_, *byte);
            state_ = State::kData;
            break;
        case State::kSubnegotiationOption:
            if (*byte == kIac) {
                Fail("a subnegotiation without an option");
                break;
            }
            option_ = *byte;
            payload_.clear();
            state_ = State::kSubnegotiation;
            break;
        case State::kSubnegotiation:
            if (*byte == kIac) {
                state_ = State::kSubnegotiationIac;
            } else if (payload_.size() == kMaxSubnegotiation) {
                Fail("a subnegotiation longer than " + std::to_string(kMaxSubnegotiation) + " bytes");
            } else {
                payload_.push_back(*byte);
            }
            break;
        case State::kSubnegotiationIac:
            if (*byte == kSe) {
                run.Flush(listener);
                listener.OnSubnegotiation(option_, payload_);
                payload_.clear();
                state_ = State::kData;
            } else if (*byte == kIac && payload_.size() < kMaxSubnegotiation) {
                payload_.push_back(kIac);
                state_ = State::kSubnegotiation;
            } else if (*byte == kIac) {
                Fail("a subnegotiation longer than " + std::to_string(kMaxSubnegotiation) + " bytes");
            } else {
                Fail("IAC followed by " + std::to_string(*byte) + " inside a subnegotiation");
            }
            break;
        case State::kFailed:
            break;
        }
    }
    if (state_ != State::kFailed) run.Flush(listener);
    return state_ != State::kFailed;
}

namespace {

// The server sends in binary and without go-aheads; it takes binary, no go-aheads and
// the com port option from the client. It echoes nothing.
bool ServerMayEnable(uint8_t option) { return option == kBinary || option == kSuppressGoAhead; }
bool ClientMayEnable(uint8_t option)
{
    return option == kBinary || option == kSuppressGoAhead || option == kComPortOption;
}

}  // namespace

std::vector<uint8_t> Negotiator::Answer(uint8_t verb, uint8_t option)
{
    switch (verb) {
    case kWill:
        if (client_[option]) return {};
        if (!ClientMayEnable(option)) return Negotiation(kDont, option);
        client_[option] = true;
        return Negotiation(kDo, option);
    case kWont:
        if (!client_[option]) return {};
        client_[option] = false;
        return Negotiation(kDont, option);
    case kDo:
        if (server_[option]) return {};
        if (!ServerMayEnable(option)) return Negotiation(kWont, option);
        server_[option] = true;
        return Negotiation(kWill, option);
    case kDont:
        if (!server_[option]) return {};
        server_[option] = false;
        return Negotiation(kWont, option);
    default:
        return {};
    }
}

void AppendEscaped(std::vector<uint8_t> &out, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        out.push_back(bytes[i]);
        if (bytes[i] == kIac) out.push_back(kIac);
    }
}

std::vector<uint8_t> Negotiation(uint8_t verb, uint8_t option) { return {kIac, verb, option}; }

std::vector<uint8_t> Subnegotiation(uint8_t option, const std::vector<uint8_t> &payload)
{
    std::vector<uint8_t> out = {kIac, kSb};
    AppendEscaped(out, &option, 1);
    AppendEscaped(out, payload.data(), payload.size());
    out.push_back(kIac);
    out.push_back(kSe);
    return out;
}

}  // namespace telnet
