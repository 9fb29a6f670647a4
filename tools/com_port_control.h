// The com port option of a served port (RFC 2217): what a client's subnegotiation
// asks of the port and what the server answers, and the notifications of modem and
// line state. The port itself is behind SerialPort, so this layer is plain logic.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace comport {

// Client-to-server codes; the server's reply or notification is the code + 100.
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerOffset = 100;

// Modem state bits; the upper four are the serial modem status bits as they are.
inline constexpr uint8_t kModemCarrier = 0x80;
inline constexpr uint8_t kModemRing = 0x40;
inline constexpr uint8_t kModemDsr = 0x20;
inline constexpr uint8_t kModemCts = 0x10;
inline constexpr uint8_t kModemDeltaCarrier = 0x08;
inline constexpr uint8_t kModemRingTrailingEdge = 0x04;
inline constexpr uint8_t kModemDeltaDsr = 0x02;
inline constexpr uint8_t kModemDeltaCts = 0x01;

// Line state bits the port can report.
inline constexpr uint8_t kLineBreak = 0x10;
inline constexpr uint8_t kLineFramingError = 0x08;
inline constexpr uint8_t kLineParityError = 0x04;
inline constexpr uint8_t kLineOverrun = 0x02;

// Outbound and inbound flow control as SET-CONTROL names them.
enum class OutboundFlow : uint8_t { kNone = 1, kXonXoff = 2, kHardware = 3, kDcd = 17, kDsr = 19 };
enum class InboundFlow : uint8_t { kNone = 14, kXonXoff = 15, kHardware = 16, kDtr = 18 };

// The port a client controls. Setters return false when the port refused; the
// server then reports what the port has, so a refusal is never a silent success.
// Parity and stop bits use the RFC's codes (parity 1 none to 5 space; stop size 1,
// 2, or 3 for one and a half).
class SerialPort {
public:
    virtual bool SetBaudRate(uint32_t rate) = 0;
    virtual bool SetDataSize(uint8_t bits) = 0;
    virtual bool SetParity(uint8_t parity) = 0;
    virtual bool SetStopSize(uint8_t stopSize) = 0;
    virtual uint32_t BaudRate() = 0;
    virtual uint8_t DataSize() = 0;
    virtual uint8_t Parity() = 0;
    virtual uint8_t StopSize() = 0;
    virtual bool SetOutboundFlow(OutboundFlow flow) = 0;
    virtual bool SetInboundFlow(InboundFlow flow) = 0;
    virtual OutboundFlow CurrentOutboundFlow() = 0;
    virtual InboundFlow CurrentInboundFlow() = 0;
    virtual bool SetBreak(bool on) = 0;
    virtual bool SetDtr(bool on) = 0;
    virtual bool SetRts(bool on) = 0;
    virtual bool Dtr() = 0;
    virtual bool Rts() = 0;
    // The modem state's upper four bits (CTS, DSR, RI, DCD).
    virtual uint8_t ModemState() = 0;
    // Empties the port's receive side (what waits to go to the client) and/or its
    // transmit side (what the client wrote and the partner has not read).
    virtual bool Purge(bool receive, bool transmit) = 0;

protected:
    ~SerialPort() = default;
};

// The notification value for a modem state change from `previous` to `current`
// (upper four bits each), with the deltas the change implies, when a bit that `mask`
// lets through changed; nothing otherwise.
std::optional<uint8_t> ModemNotification(uint8_t previous, uint8_t current, uint8_t mask);

class Control {
public:
    Control(SerialPort &port, std::string signature) : port_(port), signature_(std::move(signature)) {}

    // Carries out one COM-PORT-OPTION subnegotiation payload (command byte, value) and
    // returns the payloads to send back (each to be framed as a subnegotiation).
    // Nothing for a command this server does not take; std::nullopt for a value of
    // the wrong length, which the caller treats as a malformed stream.
    std::optional<std::vector<std::vector<uint8_t>>> Handle(const std::vector<uint8_t> &payload);

    // The notification payload for a modem state read from the port, if the client's
    // mask wants it. The first state reported is always sent, so the client knows
    // the lines from the start.
    std::optional<std::vector<uint8_t>> ModemChanged(uint8_t state);
    // The same for line state bits the port reported.
    std::optional<std::vector<uint8_t>> LineStateReported(uint8_t state);

    // The client asked the server to stop sending data (FLOWCONTROL-SUSPEND).
    bool suspended() const { return suspended_; }

private:
    std::vector<uint8_t> Reply(uint8_t command, std::vector<uint8_t> value) const;
    std::vector<uint8_t> HandleControl(uint8_t value);

    SerialPort &port_;
    std::string signature_;
    std::atomic<uint8_t> modemMask_{0xFF};
    std::atomic<uint8_t> lineMask_{0};
    std::atomic<bool> suspended_{false};
    std::atomic<bool> breakOn_{false};
    std::mutex modemLock_;  // the connection's two threads both report states
    uint8_t lastModemState_ = 0;
    bool modemStateKnown_ = false;
};

}  // namespace comport
