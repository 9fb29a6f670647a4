// The telnet layer of a served port: a parser that splits what a client sends into
// data, option negotiations and subnegotiations; the answers to negotiations; and
// the encoding of what goes back. It knows nothing of serial ports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kNop = 241;

inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPortOption = 44;

// What the parser found, in the order the bytes came.
class Listener {
public:
    // A run of data bytes, IAC IAC already turned into one 0xFF.
    virtual void OnData(const uint8_t *bytes, size_t count) = 0;
    // WILL, WONT, DO or DONT `option`.
    virtual void OnNegotiation(uint8_t verb, uint8_t option) = 0;
    // IAC SB option payload IAC SE, with the payload's IAC IAC undone.
    virtual void OnSubnegotiation(uint8_t option, const std::vector<uint8_t> &payload) = 0;
    // The two-byte commands (NOP, AYT, GA, ...), which carry nothing a port needs.
    virtual void OnCommand(uint8_t command) = 0;

protected:
    ~Listener() = default;
};

class Parser {
public:
    // No option of a serial port needs a longer subnegotiation; a longer one is taken
    // as an attack on the server's memory, not as a request.
    static constexpr size_t kMaxSubnegotiation = 64;

    // Parses the next bytes of the stream. Returns false once the stream is malformed
    // (IAC followed by a byte that is no command, SE outside a subnegotiation, a
    // subnegotiation without an option, with a stray IAC or too long); the parser then
    // stays failed, reports nothing more and failure() says why.
    bool Feed(const uint8_t *bytes, size_t count, Listener &listener);
    bool failed() const { return state_ == State::kFailed; }
    const std::string &failure() const { return failure_; }

private:
    enum class State { kData, kIac, kNegotiation, kSubnegotiationOption, kSubnegotiation, kSubnegotiationIac, kFailed };
    void Fail(const std::string &reason);

    State state_ = State::kData;
    uint8_t verb_ = 0;
    uint8_t option_ = 0;
    std::vector<uint8_t> payload_;
    std::string failure_;
};

// Which options the server agrees to on either side, and which are in force. Only a
// change of state is answered, so two peers that agree do not echo each other for ever.
class Negotiator {
public:
    // The bytes to send in answer to `verb option` (none when the state stands).
    std::vector<uint8_t> Answer(uint8_t verb, uint8_t option);
    // The client said WILL and the server agreed (the client sends in that mode).
    bool ClientEnabled(uint8_t option) const { return client_[option]; }
    // The client said DO and the server agreed.
    bool ServerEnabled(uint8_t option) const { return server_[option]; }

private:
    bool client_[256] = {};
    bool server_[256] = {};
};

// Data bytes for the wire: every 0xFF doubled.
void AppendEscaped(std::vector<uint8_t> &out, const uint8_t *bytes, size_t count);
// IAC verb option.
std::vector<uint8_t> Negotiation(uint8_t verb, uint8_t option);
// IAC SB option payload IAC SE, the payload escaped.
std::vector<uint8_t> Subnegotiation(uint8_t option, const std::vector<uint8_t> &payload);

}  // namespace telnet
