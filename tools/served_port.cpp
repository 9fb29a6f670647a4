// A served port's serial requests and its watched reads.
#include "served_port.h"

#include "arguments.h"

namespace {

// What wakes the thread that carries the port's output to its client.
const DWORD kWatchedEvents = EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;
// How often a write that waits for the partner looks at whether it should stop.
const DWORD kWriteSliceMs = 100;

// The RFC's stop size codes (1, 2, and 3 for one and a half) and the port's.
UCHAR StopBitsFromStopSize(uint8_t stopSize)
{
    return stopSize == 1 ? STOP_BIT_1 : stopSize == 2 ? STOP_BITS_2 : STOP_BITS_1_5;
}
uint8_t StopSizeFromStopBits(UCHAR stopBits)
{
    return stopBits == STOP_BIT_1 ? 1 : stopBits == STOP_BITS_2 ? 2 : 3;
}

}  // namespace

std::unique_ptr<ServedPort> ServedPort::Open(ULONG port, DWORD *error)
{
    std::string name = "\\\\.\\" + PortName(port);
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return nullptr;
    }
    std::unique_ptr<ServedPort> served(new ServedPort(handle));
    // Reads return at once with what waits; writes wait as long as the partner needs.
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    served->waitEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (served->waitEvent_ == nullptr || !SetCommTimeouts(handle, &timeouts) || !SetCommMask(handle, kWatchedEvents)) {
        *error = GetLastError();
        return nullptr;
    }
    return served;
}

ServedPort::~ServedPort()
{
    if (waitEvent_ != nullptr) CloseHandle(waitEvent_);
    CloseHandle(handle_);
}

bool ServedPort::Request(DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return false;
    DWORD bytes = 0;
    BOOL done = DeviceIoControl(handle_, code, const_cast<void *>(in), inSize, out, outSize, &bytes, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(handle_, &overlapped, &bytes, TRUE);
    CloseHandle(overlapped.hEvent);
    return done;
}

bool ServedPort::Write(const uint8_t *bytes, size_t count, const std::function<bool()> &abandon)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return false;
    DWORD written = 0;
    BOOL done = WriteFile(handle_, bytes, static_cast<DWORD>(count), &written, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) {
        while (WaitForSingleObject(overlapped.hEvent, kWriteSliceMs) == WAIT_TIMEOUT) {
            if (abandon()) {
                CancelIo(handle_);
                break;
            }
        }
        done = GetOverlappedResult(handle_, &overlapped, &written, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return done && written == count;
}

size_t ServedPort::ReadWaiting(uint8_t *buffer, size_t capacity)
{
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) return 0;
    DWORD read = 0;
    BOOL done = ReadFile(handle_, buffer, static_cast<DWORD>(capacity), &read, &overlapped);
    if (!done && GetLastError() == ERROR_IO_PENDING) done = GetOverlappedResult(handle_, &overlapped, &read, TRUE);
    CloseHandle(overlapped.hEvent);
    return done ? read : 0;
}

DWORD ServedPort::WaitForActivity(DWORD milliseconds)
{
    if (!waitPending_) {
        ResetEvent(waitEvent_);
        waitOverlapped_ = {};
        waitOverlapped_.hEvent = waitEvent_;
        waitEvents_ = 0;
        if (WaitCommEvent(handle_, &waitEvents_, &waitOverlapped_)) return waitEvents_;
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        waitPending_ = true;
    }
    if (WaitForSingleObject(waitEvent_, milliseconds) != WAIT_OBJECT_0) return 0;
    waitPending_ = false;
    DWORD bytes = 0;
    return GetOverlappedResult(handle_, &waitOverlapped_, &bytes, TRUE) ? waitEvents_ : 0;
}

void ServedPort::StopWaiting()
{
    if (!waitPending_) return;
    CancelIo(handle_);
    DWORD bytes = 0;
    GetOverlappedResult(handle_, &waitOverlapped_, &bytes, TRUE);
    waitPending_ = false;
}

uint8_t ServedPort::TakeLineErrors()
{
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(handle_, &errors, &status)) return 0;
    uint8_t line = 0;
    if (errors & CE_BREAK) line |= comport::kLineBreak;
    if (errors & CE_FRAME) line |= comport::kLineFramingError;
    if (errors & CE_RXPARITY) line |= comport::kLineParityError;
    if (errors & (CE_OVERRUN | CE_RXOVER)) line |= comport::kLineOverrun;
    return line;
}

bool ServedPort::SetBaudRate(uint32_t rate)
{
    SERIAL_BAUD_RATE baud = {rate};
    return Request(IOCTL_SERIAL_SET_BAUD_RATE, &baud, sizeof baud, nullptr, 0);
}

uint32_t ServedPort::BaudRate()
{
    SERIAL_BAUD_RATE baud = {};
    Request(IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &baud, sizeof baud);
    return baud.BaudRate;
}

SERIAL_LINE_CONTROL ServedPort::LineControl()
{
    SERIAL_LINE_CONTROL line = {};
    Request(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line);
    return line;
}

bool ServedPort::UpdateLineControl(void (*change)(SERIAL_LINE_CONTROL &, uint8_t), uint8_t value)
{
    SERIAL_LINE_CONTROL line = {};
    if (!Request(IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &line, sizeof line)) return false;
    change(line, value);
    return Request(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof line, nullptr, 0);
}

bool ServedPort::SetDataSize(uint8_t bits)
{
    return UpdateLineControl([](SERIAL_LINE_CONTROL &line, uint8_t value) { line.WordLength = value; }, bits);
}

bool ServedPort::SetParity(uint8_t parity)
{
    if (parity < 1 || parity > 5) return false;
    return UpdateLineControl([](SERIAL_LINE_CONTROL &line, uint8_t value) { line.Parity = value - 1; }, parity);
}

bool ServedPort::SetStopSize(uint8_t stopSize)
{
    if (stopSize < 1 || stopSize > 3) return false;
    return UpdateLineControl(
        [](SERIAL_LINE_CONTROL &line, uint8_t value) { line.StopBits = StopBitsFromStopSize(value); }, stopSize);
}

uint8_t ServedPort::DataSize() { return LineControl().WordLength; }
uint8_t ServedPort::Parity() { return LineControl().Parity + 1; }
uint8_t ServedPort::StopSize() { return StopSizeFromStopBits(LineControl().StopBits); }

bool ServedPort::SetOutboundFlow(comport::OutboundFlow flow)
{
    SERIAL_HANDFLOW handFlow = {};
    if (!Request(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handFlow, sizeof handFlow)) return false;
    handFlow.ControlHandShake &= ~SERIAL_OUT_HANDSHAKEMASK;
    handFlow.FlowReplace &= ~SERIAL_AUTO_TRANSMIT;
    switch (flow) {
    case comport::OutboundFlow::kNone: break;
    case comport::OutboundFlow::kXonXoff: handFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT; break;
    case comport::OutboundFlow::kHardware: handFlow.ControlHandShake |= SERIAL_CTS_HANDSHAKE; break;
    case comport::OutboundFlow::kDcd: handFlow.ControlHandShake |= SERIAL_DCD_HANDSHAKE; break;
    case comport::OutboundFlow::kDsr: handFlow.ControlHandShake |= SERIAL_DSR_HANDSHAKE; break;
    }
    return Request(IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof handFlow, nullptr, 0);
}

comport::OutboundFlow ServedPort::CurrentOutboundFlow()
{
    SERIAL_HANDFLOW handFlow = {};
    Request(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handFlow, sizeof handFlow);
    if (handFlow.ControlHandShake & SERIAL_CTS_HANDSHAKE) return comport::OutboundFlow::kHardware;
    if (handFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) return comport::OutboundFlow::kXonXoff;
    if (handFlow.ControlHandShake & SERIAL_DSR_HANDSHAKE) return comport::OutboundFlow::kDsr;
    if (handFlow.ControlHandShake & SERIAL_DCD_HANDSHAKE) return comport::OutboundFlow::kDcd;
    return comport::OutboundFlow::kNone;
}

bool ServedPort::SetInboundFlow(comport::InboundFlow flow)
{
    SERIAL_HANDFLOW handFlow = {};
    if (!Request(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handFlow, sizeof handFlow)) return false;
    // Leaving handshake, a line that handshake drove stays up as a plain enabled line.
    if ((handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE)
        handFlow.FlowReplace = (handFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_CONTROL;
    if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
        handFlow.ControlHandShake = (handFlow.ControlHandShake & ~SERIAL_DTR_MASK) | SERIAL_DTR_CONTROL;
    handFlow.FlowReplace &= ~SERIAL_AUTO_RECEIVE;
    switch (flow) {
    case comport::InboundFlow::kNone: break;
    case comport::InboundFlow::kXonXoff: handFlow.FlowReplace |= SERIAL_AUTO_RECEIVE; break;
    case comport::InboundFlow::kHardware:
        handFlow.FlowReplace = (handFlow.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_HANDSHAKE;
        break;
    case comport::InboundFlow::kDtr:
        handFlow.ControlHandShake = (handFlow.ControlHandShake & ~SERIAL_DTR_MASK) | SERIAL_DTR_HANDSHAKE;
        break;
    }
    return Request(IOCTL_SERIAL_SET_HANDFLOW, &handFlow, sizeof handFlow, nullptr, 0);
}

comport::InboundFlow ServedPort::CurrentInboundFlow()
{
    SERIAL_HANDFLOW handFlow = {};
    Request(IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &handFlow, sizeof handFlow);
    if ((handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) return comport::InboundFlow::kHardware;
    if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) return comport::InboundFlow::kDtr;
    if (handFlow.FlowReplace & SERIAL_AUTO_RECEIVE) return comport::InboundFlow::kXonXoff;
    return comport::InboundFlow::kNone;
}

bool ServedPort::SetBreak(bool on)
{
    return Request(on ? IOCTL_SERIAL_SET_BREAK_ON : IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0);
}

bool ServedPort::SetDtr(bool on) { return Request(on ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0); }
bool ServedPort::SetRts(bool on) { return Request(on ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0); }

ULONG ServedPort::DtrRts()
{
    ULONG lines = 0;
    Request(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof lines);
    return lines;
}

bool ServedPort::Dtr() { return DtrRts() & SERIAL_DTR_STATE; }
bool ServedPort::Rts() { return DtrRts() & SERIAL_RTS_STATE; }

uint8_t ServedPort::ModemState()
{
    ULONG status = 0;
    Request(IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status);
    return static_cast<uint8_t>(status & 0xF0);
}

bool ServedPort::Purge(bool receive, bool transmit)
{
    ULONG mask = (receive ? SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR : 0) |
                 (transmit ? SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR : 0);
    return Request(IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0);
}
