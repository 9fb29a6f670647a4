// The ports seen through the comm API, as an ordinary serial application sees them:
// the DCB and its mapping onto the port's settings, waits for comm events, the escape
// functions, and two terminal programs exchanging data over a pair.
#include "serial_fixture.h"

#include <thread>

namespace {

// A terminal program's side of a port, written with the comm API and overlapped I/O.
class Terminal {
public:
    explicit Terminal(HANDLE port) : port_(port) {
        wait_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        io_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Terminal() {
        CloseHandle(wait_.hEvent);
        CloseHandle(io_.hEvent);
    }

    // 9600 8N1 with DTR and RTS on, reads that return what is there, and a mask.
    bool Configure(DWORD mask) {
        DCB dcb;
        if (!GetCommState(port_, &dcb))
            return false;
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        COMMTIMEOUTS timeouts = {0xFFFFFFFF, 0, 0, 0, 0};
        return SetCommState(port_, &dcb) && SetCommTimeouts(port_, &timeouts) &&
               SetCommMask(port_, mask);
    }
    // Arms the wait for the next event; a program arms it before it provokes one.
    bool ArmWait() {
        events_ = 0xFFFFFFFF;
        return !WaitCommEvent(port_, &events_, &wait_) && GetLastError() == ERROR_IO_PENDING;
    }
    DWORD AwaitEvents() {
        DWORD bytes;
        return GetOverlappedResult(port_, &wait_, &bytes, TRUE) ? events_ : 0xFFFFFFFF;
    }
    bool Send(const std::vector<BYTE> &bytes) {
        DWORD done = 0;
        if (!WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, &io_) &&
            !GetOverlappedResult(port_, &io_, &done, TRUE))
            return false;
        return done == bytes.size();
    }
    // Reads all that waits in the receive queue.
    std::vector<BYTE> ReadAvailable() {
        DWORD errors;
        COMSTAT status;
        if (!ClearCommError(port_, &errors, &status) || status.cbInQue == 0)
            return {};
        std::vector<BYTE> bytes(status.cbInQue);
        DWORD done = 0;
        if (!ReadFile(port_, bytes.data(), status.cbInQue, &done, &io_))
            GetOverlappedResult(port_, &io_, &done, TRUE);
        bytes.resize(done);
        return bytes;
    }

private:
    HANDLE port_;
    OVERLAPPED wait_{};
    OVERLAPPED io_{};
    DWORD events_ = 0;
};

}  // namespace

using SerialCommTest = SerialTest;

TEST_F(SerialCommTest, TheDcbMapsOntoThePortsSettingsBothWays) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(a_, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.BaudRate, 19200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.XonChar, 0x0B);
    EXPECT_EQ(dcb.XonLim, 500);
    EXPECT_TRUE(dcb.fBinary);

    dcb.BaudRate = 38400;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.ByteSize = 7;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fOutX = TRUE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = '\n';
    dcb.XonLim = 64;
    dcb.XoffLim = 32;
    ASSERT_TRUE(SetCommState(a_, &dcb));
    auto flow = Get<SERIAL_HANDFLOW>(a_, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.ControlHandShake,
              static_cast<ULONG>(SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE));
    EXPECT_EQ(flow.FlowReplace,
              static_cast<ULONG>(SERIAL_AUTO_TRANSMIT | SERIAL_RTS_MASK) | SERIAL_XOFF_CONTINUE);
    EXPECT_EQ(flow.XonLimit, 64);
    auto chars = Get<SERIAL_CHARS>(a_, IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(chars.EventChar, '\n');
    EXPECT_EQ(chars.XoffChar, 0x13);
    auto line = Get<SERIAL_LINE_CONTROL>(a_, IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.Parity, EVENPARITY);
    EXPECT_EQ(line.StopBits, TWOSTOPBITS);
    EXPECT_EQ(line.WordLength, 7);

    DCB back;
    ASSERT_TRUE(GetCommState(a_, &back));
    EXPECT_EQ(back.BaudRate, 38400u);
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_TOGGLE));
    EXPECT_TRUE(back.fOutxCtsFlow);
    EXPECT_FALSE(back.fOutxDsrFlow);
    EXPECT_TRUE(back.fOutX);
    EXPECT_FALSE(back.fInX);
    EXPECT_TRUE(back.fTXContinueOnXoff);
    EXPECT_TRUE(back.fParity);
}

TEST_F(SerialCommTest, ARefusedDcbFailsAndPutsBackTheOldSettings) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(a_, &dcb));
    dcb.BaudRate = 300;
    dcb.XonLim = 2000;  // beyond what the port accepts; the baud rate went first
    EXPECT_FALSE(SetCommState(a_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_BAUD_RATE), 19200u);

    ASSERT_TRUE(GetCommState(a_, &dcb));
    dcb.fInX = TRUE;
    dcb.XonChar = dcb.XoffChar;
    EXPECT_FALSE(SetCommState(a_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SerialCommTest, ModeStringsFillADcb) {
    DCB dcb = {};
    dcb.XonChar = 0x11;
    ASSERT_TRUE(BuildCommDCBA("baud=1200 parity=E data=7 stop=1.5 dtr=hs", &dcb));
    EXPECT_EQ(dcb.BaudRate, 1200u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_HANDSHAKE));
    EXPECT_EQ(dcb.XonChar, 0x11);  // not named, kept
    ASSERT_TRUE(BuildCommDCBA("COM2: 9600,n,8,2", &dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
    DCB before = dcb;
    EXPECT_FALSE(BuildCommDCBA("baud=fast", &dcb));
    EXPECT_FALSE(BuildCommDCBA("data=9", &dcb));
    EXPECT_EQ(std::memcmp(&before, &dcb, sizeof(DCB)), 0);
}

// ClearCommError's cbOutQue counts what the writer still has to send: bytes in its
// transmit ring and bytes of its writes not yet stored; FlushFileBuffers waits for both.
TEST_F(SerialCommTest, TheOutgoingCountFollowsALargeWriteUntilThePartnerHasIt) {
    DWORD errors;
    COMSTAT status;
    Overlapped write;
    StartWrite(a_, write, Pattern(20000));
    EXPECT_FALSE(write.Done());  // 4096 in each ring, the rest waiting
    ASSERT_TRUE(ClearCommError(a_, &errors, &status));
    EXPECT_EQ(status.cbOutQue, 20000u - 4096u);
    ASSERT_TRUE(ClearCommError(b_, &errors, &status));
    EXPECT_EQ(status.cbInQue, 4096u);

    std::vector<BYTE> got;
    while (got.size() < 20000) {
        Overlapped read;
        StartRead(b_, read, static_cast<ULONG>(std::min<size_t>(4096, 20000 - got.size())));
        ASSERT_TRUE(read.Done());
        got.insert(got.end(), read.data.begin(), read.data.end());
        ASSERT_TRUE(ClearCommError(a_, &errors, &status));
        EXPECT_EQ(status.cbOutQue, 20000u - std::min<size_t>(20000, got.size() + 4096));
    }
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.Bytes(), 20000u);
    EXPECT_TRUE(FlushFileBuffers(a_));
    EXPECT_EQ(got, Pattern(20000));
}

TEST_F(SerialCommTest, QueuesPurgeStatusAndPropertiesThroughTheCommApi) {
    ASSERT_TRUE(SetupComm(b_, 6000, 6000));
    COMMPROP props;
    ASSERT_TRUE(GetCommProperties(b_, &props));
    EXPECT_EQ(props.dwCurrentRxQueue, 6000u);
    EXPECT_EQ(props.dwSettableBaud, 0x1007FFFFu);
    // A call given nowhere to put its answer fails before anything reaches the port.
    auto expectRefused = [](BOOL result) {
        EXPECT_FALSE(result);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    };
    expectRefused(GetCommProperties(b_, nullptr));
    expectRefused(GetCommModemStatus(b_, nullptr));
    expectRefused(GetCommMask(b_, nullptr));
    expectRefused(GetCommTimeouts(b_, nullptr));

    WriteNow(a_, Pattern(100));
    DWORD errors = 0xFF;
    COMSTAT status;
    ASSERT_TRUE(ClearCommError(b_, &errors, &status));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.cbInQue, 100u);
    ASSERT_TRUE(PurgeComm(b_, PURGE_RXCLEAR | PURGE_RXABORT));
    ASSERT_TRUE(ClearCommError(b_, nullptr, &status));
    EXPECT_EQ(status.cbInQue, 0u);
    EXPECT_FALSE(PurgeComm(b_, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    COMMTIMEOUTS timeouts = {1, 2, 3, 4, 5};
    ASSERT_TRUE(SetCommTimeouts(b_, &timeouts));
    COMMTIMEOUTS back = {};
    ASSERT_TRUE(GetCommTimeouts(b_, &back));
    EXPECT_EQ(back.WriteTotalTimeoutConstant, 5u);
    EXPECT_TRUE(EscapeCommFunction(b_, SETBREAK));
    EXPECT_TRUE(ClearCommBreak(b_));
    EXPECT_TRUE(SetCommBreak(b_));
    EXPECT_TRUE(TransmitCommChar(b_, 'x')) << GetLastError();
    EXPECT_TRUE(EscapeCommFunction(b_, SETXOFF));
    EXPECT_FALSE(EscapeCommFunction(b_, 42));
}

TEST_F(SerialCommTest, EscapeFunctionsMoveThePartnersLinesAndWakeItsWaits) {
    ASSERT_TRUE(SetCommMask(b_, EV_CTS | EV_DSR));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(b_, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_CTS | EV_DSR));

    Terminal partner(b_);
    ASSERT_TRUE(partner.ArmWait());
    ASSERT_TRUE(EscapeCommFunction(a_, SETRTS));
    EXPECT_EQ(partner.AwaitEvents(), static_cast<DWORD>(EV_CTS));
    ASSERT_TRUE(partner.ArmWait());
    ASSERT_TRUE(EscapeCommFunction(a_, SETDTR));
    EXPECT_EQ(partner.AwaitEvents(), static_cast<DWORD>(EV_DSR));
    DWORD lines = 0;
    ASSERT_TRUE(GetCommModemStatus(b_, &lines));
    EXPECT_EQ(lines & 0xF0, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));
    // Lines that change while no wait is pending are told to the next wait at once.
    ASSERT_TRUE(EscapeCommFunction(a_, CLRDTR));
    ASSERT_TRUE(EscapeCommFunction(a_, CLRRTS));
    ASSERT_TRUE(GetCommModemStatus(b_, &lines));
    EXPECT_EQ(lines & 0xF0, 0u);
    DWORD told = 0;
    OVERLAPPED atOnce = {};
    atOnce.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_TRUE(WaitCommEvent(b_, &told, &atOnce));
    EXPECT_EQ(told, static_cast<DWORD>(EV_CTS | EV_DSR));
    CloseHandle(atOnce.hEvent);

    // A newer wait replaces the one pending, which ends with no events.
    ASSERT_TRUE(partner.ArmWait());
    DWORD second = 0xFFFF;
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(WaitCommEvent(b_, &second, &ov));
    EXPECT_EQ(partner.AwaitEvents(), 0u);
    ASSERT_TRUE(SetCommMask(b_, EV_RXCHAR));
    DWORD bytes;
    ASSERT_TRUE(GetOverlappedResult(b_, &ov, &bytes, TRUE));
    EXPECT_EQ(second, 0u);
    CloseHandle(ov.hEvent);
}

TEST_F(SerialCommTest, AReadWithATotalTimeoutEndsOnTheClockWithWhatArrived) {
    COMMTIMEOUTS timeouts = {0, 0, 100, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(b_, &timeouts));
    Overlapped read;
    StartRead(b_, read, 10);
    WriteNow(a_, Pattern(4));
    EXPECT_FALSE(read.Done());
    MachineAdvanceClockMs(100);
    ASSERT_TRUE(Eventually([&] { return read.Done(); }));
    EXPECT_EQ(read.Bytes(), 4u);
}

TEST_F(SerialCommTest, TwoTerminalProgramsExchangeKilobytesOverThePair) {
    Terminal sender(a_), receiver(b_);
    ASSERT_TRUE(sender.Configure(EV_RXCHAR));
    ASSERT_TRUE(receiver.Configure(EV_RXCHAR | EV_RXFLAG));
    // Each side's DTR and RTS are the other's DSR, DCD and CTS.
    DWORD lines = 0;
    ASSERT_TRUE(GetCommModemStatus(b_, &lines));
    EXPECT_EQ(lines & 0xF0, static_cast<DWORD>(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    const int kChunks = 24;
    const size_t kChunk = 200;
    std::vector<BYTE> sent, received;
    ASSERT_TRUE(receiver.ArmWait());
    std::thread receiving([&] {
        for (int i = 0; i < kChunks; i++) {
            DWORD events = receiver.AwaitEvents();
            if ((events & EV_RXCHAR) == 0)
                return;
            std::vector<BYTE> chunk = receiver.ReadAvailable();
            received.insert(received.end(), chunk.begin(), chunk.end());
            // Armed before the acknowledgement provokes the next chunk.
            bool more = i + 1 < kChunks;
            if ((more && !receiver.ArmWait()) || !receiver.Send({0x06}))
                return;
        }
    });
    for (int i = 0; i < kChunks; i++) {
        std::vector<BYTE> chunk = Pattern(kChunk, static_cast<BYTE>(i * 31));
        sent.insert(sent.end(), chunk.begin(), chunk.end());
        ASSERT_TRUE(sender.ArmWait());
        ASSERT_TRUE(sender.Send(chunk));
        ASSERT_EQ(sender.AwaitEvents(), static_cast<DWORD>(EV_RXCHAR));
        ASSERT_EQ(sender.ReadAvailable(), std::vector<BYTE>{0x06});
    }
    receiving.join();
    EXPECT_EQ(received, sent);
    EXPECT_EQ(received.size(), kChunks * kChunk);
}
