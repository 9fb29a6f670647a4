// The control device's byte and open-state requests against ports an application has
// open: port numbers the table cannot hold, buffers too short to answer in, and bytes
// the controlling application injects while a read waits.
#include "datapath_fixture.h"

class ControlRequestsTest : public OpenPairTest {
protected:
    static NTSTATUS Inject(ULONG port, UCHAR byte) {
        ULONG word = port | (ULONG(byte) << KELU_WRITE_TO_PORT_BYTE_SHIFT);
        return Control(IOCTL_KELU_WRITE_TO_PORT, &word, sizeof(word), 0).status;
    }
};

TEST_F(ControlRequestsTest, PortNumbersPastTheTableAreRefusedWhereTheWholeWordCounts) {
    for (ULONG code : {IOCTL_KELU_READ_FROM_PORT, IOCTL_KELU_GET_MODEMREGISTERS, IOCTL_KELU_GET_SETTINGS,
                       IOCTL_KELU_SET_MODEMREGISTERS}) {
        for (ULONG port : {256u, 0x100u | 1u, 0xFFFFFFFFu}) {
            ULONG buffer[11] = {port};
            RequestResult result = Control(code, buffer, sizeof(buffer), sizeof(buffer));
            EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << std::hex << code << " " << port;
            EXPECT_EQ(result.information, 0u);
        }
    }
    // Where only the low byte names the port, 0x101 is port 1.
    EXPECT_EQ(Inject(0x100 | 1, 'z'), STATUS_SUCCESS);
    ULONG opened = 0x101;
    RequestResult result = Control(IOCTL_KELU_IS_PORT_OPENED, &opened, sizeof(opened), sizeof(opened));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(opened, 1u);
    // A port number with no device behind it.
    ULONG absent = 7;
    EXPECT_EQ(Control(IOCTL_KELU_IS_PORT_OPENED, &absent, 4, 4).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_KELU_READ_FROM_PORT, &absent, 4, 4).status, STATUS_INVALID_PARAMETER);
}

TEST_F(ControlRequestsTest, ShortBuffersAreRefusedAndChangeNothing) {
    ULONG buffer[2] = {1, 0};
    EXPECT_EQ(Control(IOCTL_KELU_READ_FROM_PORT, buffer, 4, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_WRITE_TO_PORT, buffer, 3, 0).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_IS_PORT_OPENED, buffer, 4, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_GET_NUMBYTESINBUFFER, buffer, 3, 4).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Control(IOCTL_KELU_CONFIRM_PORT_OPENING, buffer, 4, 0).status, STATUS_BUFFER_TOO_SMALL);

    // The refused write put nothing into port 1's receive ring.
    Overlapped read;
    StartRead(b_, read, 1);
    EXPECT_FALSE(read.Done());
    ASSERT_EQ(Inject(1, 'k'), STATUS_SUCCESS);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.data[0], 'k');
}

TEST_F(ControlRequestsTest, InjectedBytesFillThePendingReadAndWrittenBytesCanBeTaken) {
    Overlapped read;
    StartRead(b_, read, 3);
    ASSERT_EQ(Inject(1, 'x'), STATUS_SUCCESS);
    ASSERT_EQ(Inject(1, 'y'), STATUS_SUCCESS);
    EXPECT_FALSE(read.Done());
    ASSERT_EQ(Inject(1, 'z'), STATUS_SUCCESS);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(std::string(read.data.begin(), read.data.end()), "xyz");

    // Bytes port 0's partner cannot take (its receive ring holds them only while it is
    // open) wait in port 0's transmit ring for the controller.
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(Eventually([] {
        ULONG opened = 1;
        return Control(IOCTL_KELU_IS_PORT_OPENED, &opened, 4, 4).status == STATUS_SUCCESS && opened == 0;
    }));
    EXPECT_EQ(WriteNow(a_, {'p', 'q'}), 2u);
    ULONG count = 0;
    ASSERT_EQ(Control(IOCTL_KELU_GET_NUMBYTESINBUFFER, &count, 4, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    for (char expected : {'p', 'q'}) {
        ULONG word = 0;
        RequestResult result = Control(IOCTL_KELU_READ_FROM_PORT, &word, 4, 1);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.information, 1u);
        EXPECT_EQ(static_cast<char>(word & 0xFF), expected);
    }
    ULONG word = 0;
    RequestResult none = Control(IOCTL_KELU_READ_FROM_PORT, &word, 4, 1);
    EXPECT_EQ(none.status, STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(none.information, 0u);
    // Port 1 is closed now: its data is out of reach.
    EXPECT_EQ(Inject(1, 'w'), STATUS_DEVICE_NOT_CONNECTED);
}

// A port without a partner still hands what is put into its receive ring to its own
// reads, whether the read waits already or comes later.
TEST_F(ControlRequestsTest, InjectedBytesReachTheReadsOfAPortWithoutPartner) {
    ASSERT_EQ(Disconnect(0, 1), STATUS_SUCCESS);
    Overlapped waiting;
    StartRead(a_, waiting, 2);
    EXPECT_EQ(Inject(0, 'h'), STATUS_SUCCESS);
    EXPECT_FALSE(waiting.Done());
    EXPECT_EQ(Inject(0, 'i'), STATUS_SUCCESS);
    ASSERT_TRUE(waiting.Done());
    EXPECT_EQ(waiting.data, (std::vector<BYTE>{'h', 'i'}));

    EXPECT_EQ(Inject(0, '!'), STATUS_SUCCESS);
    Overlapped later;
    StartRead(a_, later, 1);
    ASSERT_TRUE(later.Done());
    EXPECT_EQ(later.data, (std::vector<BYTE>{'!'}));
}
