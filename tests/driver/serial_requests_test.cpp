// The standard serial requests on a port: their defaults, length checks, validation,
// the lines and the break they carry to the partner, purge and queue sizes.
#include "serial_fixture.h"

#include <pool.h>

using SerialRequestsTest = SerialTest;

TEST_F(SerialRequestsTest, AFreshPortReportsItsDefaults) {
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_BAUD_RATE), 19200u);
    auto line = Get<SERIAL_LINE_CONTROL>(a_, IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(line.StopBits, 0);
    EXPECT_EQ(line.Parity, 0);
    EXPECT_EQ(line.WordLength, 8);
    auto chars = Get<SERIAL_CHARS>(a_, IOCTL_SERIAL_GET_CHARS);
    EXPECT_EQ(chars.XonChar, 0x0B);
    EXPECT_EQ(chars.XoffChar, 0x0D);
    EXPECT_EQ(chars.EventChar, 0);
    auto flow = Get<SERIAL_HANDFLOW>(a_, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(flow.ControlHandShake, 0u);
    EXPECT_EQ(flow.FlowReplace, 0u);
    EXPECT_EQ(flow.XonLimit, 500);
    EXPECT_EQ(flow.XoffLimit, 100);
    auto props = Get<SERIAL_COMMPROP>(a_, IOCTL_SERIAL_GET_PROPERTIES);
    EXPECT_EQ(props.PacketLength, 64);
    EXPECT_EQ(props.PacketVersion, 2);
    EXPECT_EQ(props.MaxBaud, 0x10000000u);
    EXPECT_EQ(props.ProvCapabilities, 0xFFu);
    EXPECT_EQ(props.SettableParams, 0x7Fu);
    EXPECT_EQ(props.SettableBaud, 0x1007FFFFu);
    EXPECT_EQ(props.SettableData, 0x000F);
    EXPECT_EQ(props.SettableStopParity, 0x1F07);
    EXPECT_EQ(props.CurrentRxQueue, 4096u);  // the ring of this machine's memory class
    EXPECT_EQ(props.CurrentTxQueue, 0u);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_CONFIG_SIZE), 0u);
    auto stats = Get<SERIALPERF_STATS>(a_, IOCTL_SERIAL_GET_STATS);
    SERIALPERF_STATS zero{};
    EXPECT_EQ(std::memcmp(&stats, &zero, sizeof(zero)), 0);
}

TEST_F(SerialRequestsTest, ShortBuffersAreRefusedAndChangeNothing) {
    BYTE buffer[8];
    std::memset(buffer, 0x77, sizeof(buffer));
    SerialAnswer answer = Ioctl(a_, IOCTL_SERIAL_GET_CHARS, buffer, 0, 5);
    EXPECT_EQ(answer.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(answer.bytes, 0u);
    EXPECT_EQ(buffer[0], 0x77);

    ULONG rate = 9600;
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BAUD_RATE, &rate, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_BAUD_RATE), 19200u);
    SERIAL_HANDFLOW flow = {1, 0, 10, 10};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_HANDFLOW, &flow, 15).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Get<SERIAL_HANDFLOW>(a_, IOCTL_SERIAL_GET_HANDFLOW).XonLimit, 500);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_GET_PROPERTIES, buffer, 0, 8).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(SerialRequestsTest, SettingsAreStoredAsGivenAndABaudRateOfZeroIsIgnored) {
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, 115200), STATUS_SUCCESS);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, 0), STATUS_SUCCESS);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    SERIAL_LINE_CONTROL line = {2, 4, 5};  // not validated
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)).status, STATUS_SUCCESS);
    auto stored = Get<SERIAL_LINE_CONTROL>(a_, IOCTL_SERIAL_GET_LINE_CONTROL);
    EXPECT_EQ(stored.StopBits, 2);
    EXPECT_EQ(stored.Parity, 4);
    EXPECT_EQ(stored.WordLength, 5);
    SERIAL_CHARS chars = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)).status, STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_CHARS>(a_, IOCTL_SERIAL_GET_CHARS).XoffChar, 6);
    // Settings are the port's, not the partner's.
    EXPECT_EQ(GetUlong(b_, IOCTL_SERIAL_GET_BAUD_RATE), 19200u);
}

TEST_F(SerialRequestsTest, HandflowIsValidatedAgainstItsBitsAndAFixedLimit) {
    SERIAL_HANDFLOW accepted = {SERIAL_CTS_HANDSHAKE, SERIAL_AUTO_RECEIVE, 1024, 0};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_HANDFLOW, &accepted, sizeof(accepted)).status,
              STATUS_SUCCESS);
    const SERIAL_HANDFLOW refused[] = {
        {0, 0, 1025, 0},
        {0, 0, 0, -1},
        {3, 0, 10, 10},             // DTR control and DTR handshake at once
        {0x4, 0, 10, 10},           // a reserved handshake bit
        {0, 0x20, 10, 10},          // a reserved flow bit
    };
    for (SERIAL_HANDFLOW flow : refused) {
        EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_HANDFLOW, &flow, sizeof(flow)).status,
                  STATUS_INVALID_PARAMETER);
    }
    auto stored = Get<SERIAL_HANDFLOW>(a_, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(stored.ControlHandShake, static_cast<ULONG>(SERIAL_CTS_HANDSHAKE));
    EXPECT_EQ(stored.XonLimit, 1024);
    EXPECT_EQ(stored.XoffLimit, 0);
}

TEST_F(SerialRequestsTest, TheLinesReachThePartnerAndDtrIsRefusedUnderDtrHandshake) {
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_MODEM_CONTROL, 3), STATUS_SUCCESS);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_DTRRTS), 3u);
    // CTS, DSR and DCD came up, each with its change bit, which one read clears.
    EXPECT_EQ(GetUlong(b_, IOCTL_SERIAL_GET_MODEMSTATUS), 0xB0u | 0x0Bu);
    EXPECT_EQ(GetUlong(b_, IOCTL_SERIAL_GET_MODEMSTATUS), 0xB0u);

    SERIAL_HANDFLOW dtrHandshake = {SERIAL_DTR_HANDSHAKE, 0, 10, 10};
    ASSERT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_HANDFLOW, &dtrHandshake, sizeof(dtrHandshake)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_CLR_DTR).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_DTR).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_CLR_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_MODEM_CONTROL), static_cast<ULONG>(SERIAL_DTR_STATE));
    EXPECT_EQ(GetUlong(b_, IOCTL_SERIAL_GET_MODEMSTATUS), 0xA0u | 0x01u);
}

TEST_F(SerialRequestsTest, UnservedCodesAreAcceptedAndTheModemCheckIsRefused) {
    for (ULONG code : {static_cast<ULONG>(IOCTL_SERIAL_SET_XON),
                       static_cast<ULONG>(IOCTL_SERIAL_CLEAR_STATS),
                       static_cast<ULONG>(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, 0))}) {
        SerialAnswer answer = Ioctl(a_, code);
        EXPECT_EQ(answer.status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(answer.bytes, 0u);
    }
    EXPECT_EQ(Ioctl(a_, 0x002B002C).status, STATUS_INVALID_PARAMETER);
}

TEST_F(SerialRequestsTest, ABreakReachesThePartnerOnceAsAnEventAndAnErrorWhileDataFlows) {
    ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_BREAK | SERIAL_EV_RXCHAR),
              STATUS_SUCCESS);
    Overlapped first;
    StartWait(b_, first);
    SerialAnswer on = Ioctl(a_, IOCTL_SERIAL_SET_BREAK_ON);
    EXPECT_EQ(on.status, STATUS_SUCCESS);
    EXPECT_EQ(on.bytes, 0u);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(WaitResult(first), static_cast<ULONG>(SERIAL_EV_BREAK));
    EXPECT_EQ(Get<SERIAL_STATUS>(a_, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u)
        << "the sender hears nothing of its own break";

    // Held on, the break is not told again; bytes written meanwhile still arrive.
    Overlapped second;
    StartWait(b_, second);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_FALSE(second.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(3)), 3u);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(WaitResult(second), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    auto status = Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(status.Errors, static_cast<ULONG>(SERIAL_ERROR_BREAK));
    EXPECT_EQ(status.AmountInInQueue, 3u);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u)
        << "the read cleared the error";

    // The end of a break is no event; the next break is one again.
    Overlapped third;
    StartWait(b_, third);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    EXPECT_FALSE(third.Done());
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    ASSERT_TRUE(third.Done());
    EXPECT_EQ(WaitResult(third), static_cast<ULONG>(SERIAL_EV_BREAK));
}

TEST_F(SerialRequestsTest, ABreakIsToldOnlyToAnOpenConnectedPartnerAndEndsWithTheClose) {
    // A break that begins while the partner is closed is not kept for its next open.
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);

    // Closing the sender ends its break, without an event; its next break is told.
    ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_BREAK), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(b_, wait);
    CloseHandle(a_);
    a_ = OpenPort(0);
    ASSERT_NE(a_, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_BREAK));

    // An error not read before the close is gone after it.
    CloseHandle(b_);
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);

    // Without a connection nothing reaches the partner; connecting carries the break
    // across as it carries the lines.
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BREAK_OFF).status, STATUS_SUCCESS);
    ASSERT_EQ(Disconnect(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_BREAK_ON).status, STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).Errors, 0u);
    ASSERT_EQ(Connect(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).Errors,
              static_cast<ULONG>(SERIAL_ERROR_BREAK));
}

TEST_F(SerialRequestsTest, PurgeChecksItsMaskAndLeavesTheTransmitRingAlone) {
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_PURGE, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_PURGE, 0x10), STATUS_INVALID_PARAMETER);

    // Bytes for a closed partner wait in the transmit ring; TXCLEAR keeps them.
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WriteNow(a_, Pattern(20)), 20u);
    ULONG mask = SERIAL_PURGE_TXCLEAR;
    SerialAnswer answer = Ioctl(a_, IOCTL_SERIAL_PURGE, &mask, sizeof(mask));
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.bytes, 0u);  // a purge has no output
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    Overlapped read;
    StartRead(b_, read, 20);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.data, Pattern(20));
}

TEST_F(SerialRequestsTest, PurgeAbortsPendingRequestsAndClearsTheReceiveRing) {
    EXPECT_EQ(WriteNow(a_, Pattern(30)), 30u);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 30u);
    Overlapped pending;
    StartRead(b_, pending, 40);  // takes the 30 bytes and waits for 10 more
    EXPECT_FALSE(pending.Done());
    Overlapped behind;
    StartRead(b_, behind, 5);
    EXPECT_EQ(Set(b_, IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    // The aborted read keeps its 30 bytes; the one behind it had none.
    ASSERT_TRUE(pending.Done());
    EXPECT_EQ(pending.Status(), STATUS_SUCCESS);
    ASSERT_EQ(pending.Bytes(), 30u);
    EXPECT_EQ(std::vector<BYTE>(pending.data.begin(), pending.data.begin() + 30), Pattern(30));
    ASSERT_TRUE(behind.Done());
    EXPECT_EQ(behind.Status(), STATUS_CANCELLED);
    EXPECT_EQ(behind.Bytes(), 0u);

    EXPECT_EQ(WriteNow(a_, Pattern(12)), 12u);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 12u);
    EXPECT_EQ(Set(b_, IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 0u);
}

// New ring sizes keep every byte the rings hold, in order; a ring never becomes smaller
// than its bytes (0 counts as 1).
TEST_F(SerialRequestsTest, QueueSizesResizeTheRingsAndKeepTheirBytes) {
    EXPECT_EQ(WriteNow(a_, Pattern(10)), 10u);
    SERIAL_QUEUE_SIZE zero = {0, 0};
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_QUEUE_SIZE, &zero, sizeof(zero)).status, STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_COMMPROP>(b_, IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 10u);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 10u);
    Overlapped some;
    StartRead(b_, some, 4);
    ASSERT_TRUE(some.Done());
    EXPECT_EQ(some.data, Pattern(4));

    SERIAL_QUEUE_SIZE large = {10000, 8000};
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_QUEUE_SIZE, &large, sizeof(large)).status, STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_COMMPROP>(b_, IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 10000u);
    // The larger ring takes a run that the default one could not.
    EXPECT_EQ(WriteNow(a_, Pattern(4096, 10 * 7)), 4096u);
    EXPECT_EQ(WriteNow(a_, Pattern(3000, 9)), 3000u);
    EXPECT_EQ(Get<SERIAL_STATUS>(b_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInInQueue, 7102u);
    Overlapped all;
    StartRead(b_, all, 7102);
    ASSERT_TRUE(all.Done());
    std::vector<BYTE> expected = Pattern(4106);
    expected.erase(expected.begin(), expected.begin() + 4);
    std::vector<BYTE> tail = Pattern(3000, 9);
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_EQ(all.data, expected);
}

// A half-stored write survives new sizes of its transmit ring: nothing is dropped, and
// the partner receives exactly what the write reports.
TEST_F(SerialRequestsTest, NewQueueSizesKeepAHalfStoredWriteWhole) {
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    Overlapped write;
    StartWrite(a_, write, Pattern(5000));
    EXPECT_FALSE(write.Done());  // 4096 bytes stored, the partner closed
    SERIAL_QUEUE_SIZE smaller = {100, 100};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_QUEUE_SIZE, &smaller, sizeof(smaller)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIAL_STATUS>(a_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 5000u);
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    SERIAL_QUEUE_SIZE room = {8000, 8000};
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_QUEUE_SIZE, &room, sizeof(room)).status, STATUS_SUCCESS);
    ASSERT_TRUE(write.Done());
    EXPECT_EQ(write.Status(), STATUS_SUCCESS);
    EXPECT_EQ(write.Bytes(), 5000u);
    Overlapped read;
    StartRead(b_, read, 5000);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.data, Pattern(5000));
}

TEST_F(SerialRequestsTest, AFailedQueueSizeLeavesBothRingsAsTheyWere) {
    EXPECT_EQ(WriteNow(a_, Pattern(25)), 25u);
    // The receive buffer can be had, the transmit buffer cannot.
    PoolFailAllocationsOfAtLeast(20000);
    SERIAL_QUEUE_SIZE sizes = {8000, 30000};
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes)).status,
              STATUS_INSUFFICIENT_RESOURCES);
    PoolClearFaults();
    EXPECT_EQ(Get<SERIAL_COMMPROP>(b_, IOCTL_SERIAL_GET_PROPERTIES).CurrentRxQueue, 4096u);
    Overlapped read;
    StartRead(b_, read, 25);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Bytes(), 25u);
    EXPECT_EQ(read.data, Pattern(25));
}

TEST_F(SerialRequestsTest, SettingsAndTheWaitMaskSurviveACloseAndReopen) {
    // Settings live in the device and survive a close and reopen.
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, 57600), STATUS_SUCCESS);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS), STATUS_SUCCESS);
    CloseHandle(a_);
    a_ = OpenPort(0);
    ASSERT_NE(a_, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_BAUD_RATE), 57600u);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_WAIT_MASK), static_cast<ULONG>(SERIAL_EV_CTS));
}

// An immediate character overtakes the bytes still waiting to be sent; with the transmit
// ring full it is refused and nothing changes.
TEST_F(SerialRequestsTest, AnImmediateCharacterGoesOutAheadOfTheWaitingBytes) {
    UCHAR ch = 'Z';
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 0).status, STATUS_BUFFER_TOO_SMALL);

    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WriteNow(a_, Pattern(3)), 3u);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 1).status, STATUS_SUCCESS);
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    Overlapped read;
    StartRead(b_, read, 4);
    ASSERT_TRUE(read.Done());
    std::vector<BYTE> expected = Pattern(3);
    expected.insert(expected.begin(), 'Z');
    EXPECT_EQ(read.data, expected);

    // With the partner open the character arrives at once.
    Overlapped next;
    StartRead(b_, next, 1);
    ch = 'Q';
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 1).status, STATUS_SUCCESS);
    ASSERT_TRUE(next.Done());
    EXPECT_EQ(next.data, std::vector<BYTE>{'Q'});

    // A full transmit ring has no room for it.
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    const ULONG ring = Get<SERIAL_STATUS>(a_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue;
    EXPECT_EQ(ring, 0u);
    EXPECT_EQ(WriteNow(a_, Pattern(4096)), 4096u);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_IMMEDIATE_CHAR, &ch, 1).status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(Get<SERIAL_STATUS>(a_, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 4096u);
}
