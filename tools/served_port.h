// A port opened for a network client: its serial requests, as the com port option
// asks for them, and the reads and waits that carry its output to the client.
#pragma once

#include "com_port_control.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddser.h>

#include <functional>
#include <memory>

class ServedPort final : public comport::SerialPort {
public:
    // Opens COMn as its application, for overlapped I/O; waits while the open waits
    // for approval. Null with the Win32 error when the open fails.
    static std::unique_ptr<ServedPort> Open(ULONG port, DWORD *error);
    ~ServedPort();
    ServedPort(const ServedPort &) = delete;
    ServedPort &operator=(const ServedPort &) = delete;

    // Writes every byte, for as long as the partner takes to read them, unless
    // `abandon` says so first (the write is then cancelled). False when abandoned or
    // failed.
    bool Write(const uint8_t *bytes, size_t count, const std::function<bool()> &abandon);
    // What waits to be read, up to `capacity` bytes, without waiting.
    size_t ReadWaiting(uint8_t *buffer, size_t capacity);
    // Waits up to `milliseconds` for received bytes, a modem line change, a break or a
    // line error, and returns the EV_* events seen (0 when the time ran out). Only the
    // port's watching thread calls it, and calls StopWaiting before it ends.
    DWORD WaitForActivity(DWORD milliseconds);
    void StopWaiting();
    // Line state bits (break, framing, parity, overrun) reported since the last call.
    uint8_t TakeLineErrors();

    bool SetBaudRate(uint32_t rate) override;
    bool SetDataSize(uint8_t bits) override;
    bool SetParity(uint8_t parity) override;
    bool SetStopSize(uint8_t stopSize) override;
    uint32_t BaudRate() override;
    uint8_t DataSize() override;
    uint8_t Parity() override;
    uint8_t StopSize() override;
    bool SetOutboundFlow(comport::OutboundFlow flow) override;
    bool SetInboundFlow(comport::InboundFlow flow) override;
    comport::OutboundFlow CurrentOutboundFlow() override;
    comport::InboundFlow CurrentInboundFlow() override;
    bool SetBreak(bool on) override;
    bool SetDtr(bool on) override;
    bool SetRts(bool on) override;
    bool Dtr() override;
    bool Rts() override;
    uint8_t ModemState() override;
    bool Purge(bool receive, bool transmit) override;

private:
    explicit ServedPort(HANDLE handle) : handle_(handle) {}
    // One overlapped serial request, waited for.
    bool Request(DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize);
    bool UpdateLineControl(void (*change)(SERIAL_LINE_CONTROL &, uint8_t), uint8_t value);
    SERIAL_LINE_CONTROL LineControl();
    ULONG DtrRts();

    HANDLE handle_;
    HANDLE waitEvent_ = nullptr;
    OVERLAPPED waitOverlapped_ = {};
    DWORD waitEvents_ = 0;
    bool waitPending_ = false;
};
