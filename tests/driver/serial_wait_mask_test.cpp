// Wait-on-mask: one pending wait per port, completed by the first matching event, by a
// new mask or a newer wait, or by cancellation; events in the mask that come while no
// wait is pending complete the next wait at once.
#include "serial_fixture.h"

#include <atomic>
#include <thread>

using SerialWaitMaskTest = SerialTest;

TEST_F(SerialWaitMaskTest, AWaitNeedsAMaskAndAnOlderWaitSurvivesARefusedOne) {
    Overlapped refused;
    StartWait(a_, refused);
    ASSERT_TRUE(refused.Done());
    EXPECT_EQ(refused.Status(), STATUS_UNSUCCESSFUL);

    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    EXPECT_EQ(GetUlong(a_, IOCTL_SERIAL_GET_WAIT_MASK), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    Overlapped pending;
    StartWait(a_, pending);
    EXPECT_FALSE(pending.Done());
    // A short output buffer is refused without touching the pending wait.
    ULONG small = 0;
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_WAIT_ON_MASK, &small, 0, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_FALSE(pending.Done());

    WriteNow(b_, Pattern(3));
    ASSERT_TRUE(pending.Done());
    EXPECT_EQ(pending.Status(), STATUS_SUCCESS);
    EXPECT_EQ(pending.Bytes(), 4u);
    EXPECT_EQ(WaitResult(pending), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

TEST_F(SerialWaitMaskTest, ANewWaitOrANewMaskCompletesTheOldWaitWithNoEvents) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_BREAK), STATUS_SUCCESS);
    Overlapped first, second;
    StartWait(a_, first);
    EXPECT_FALSE(first.Done());
    StartWait(a_, second);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(first.Status(), STATUS_SUCCESS);
    EXPECT_EQ(WaitResult(first), 0u);
    EXPECT_FALSE(second.Done());

    // Nothing this port does raises a break: only a new mask ends the wait.
    WriteNow(b_, Pattern(5));
    EXPECT_EQ(Set(b_, IOCTL_SERIAL_SET_RTS, 0), STATUS_SUCCESS);
    EXPECT_FALSE(second.Done());
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_ERR), STATUS_SUCCESS);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(WaitResult(second), 0u);
}

// The reading loop of an event-driven application: told of bytes, it reads what is there
// and waits again. Bytes, line changes and an empty transmit ring that came in between
// must not be slept past.
TEST_F(SerialWaitMaskTest, EventsWhileNoWaitIsPendingCompleteTheNextWaitAtOnce) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
    Overlapped first;
    StartWait(a_, first);
    WriteNow(b_, Pattern(4));
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(WaitResult(first), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    WriteNow(b_, Pattern(1));  // arrives before the application waits again
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    Overlapped read;
    StartRead(a_, read, 4);
    ASSERT_TRUE(read.Done());

    Overlapped second;
    ASSERT_TRUE(StartWait(a_, second));  // told without pending
    EXPECT_EQ(WaitResult(second), static_cast<ULONG>(SERIAL_EV_RXCHAR | SERIAL_EV_CTS));
    // Told once: the next wait waits for news.
    Overlapped third;
    StartWait(a_, third);
    EXPECT_FALSE(third.Done());
    WriteNow(b_, Pattern(1));
    ASSERT_TRUE(third.Done());
    EXPECT_EQ(WaitResult(third), static_cast<ULONG>(SERIAL_EV_RXCHAR));

    // A write's transmit ring empties before its writer can wait for that.
    ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    WriteNow(b_, Pattern(3));
    Overlapped empty;
    ASSERT_TRUE(StartWait(b_, empty));
    EXPECT_EQ(WaitResult(empty), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

// What is remembered is what the mask held when it happened, less what a new mask drops;
// a reopened port starts with nothing remembered.
TEST_F(SerialWaitMaskTest, TheHistoryFollowsTheMaskAndEndsWithTheHandle) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);  // DSR: outside the mask
    WriteNow(b_, Pattern(2));
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_DSR), STATUS_SUCCESS);
    Overlapped heard;
    ASSERT_TRUE(StartWait(a_, heard));
    EXPECT_EQ(WaitResult(heard), static_cast<ULONG>(SERIAL_EV_RXCHAR));

    WriteNow(b_, Pattern(2));
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_DSR), STATUS_SUCCESS);
    Overlapped dropped;
    StartWait(a_, dropped);
    EXPECT_FALSE(dropped.Done());
    ASSERT_TRUE(CancelIo(a_));
    ASSERT_TRUE(dropped.Done());

    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    CloseHandle(a_);
    a_ = OpenPort(0, true);
    ASSERT_NE(a_, INVALID_HANDLE_VALUE);
    Overlapped reopened;
    StartWait(a_, reopened);
    EXPECT_FALSE(reopened.Done());
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    ASSERT_TRUE(reopened.Done());
    EXPECT_EQ(WaitResult(reopened), static_cast<ULONG>(SERIAL_EV_DSR));
}

// A byte the controlling application puts into the receive ring raises its events one by
// one: the first in the mask ends the pending wait, the others wait for the next.
TEST_F(SerialWaitMaskTest, AnInjectedByteTellsThePendingWaitAndKeepsTheRestForTheNext) {
    SERIAL_CHARS chars = {0, 0, 0, 0x0D, 0x11, 0x13};
    ASSERT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)).status, STATUS_SUCCESS);
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(a_, wait);
    ULONG word = 0 | (ULONG(0x0D) << KELU_WRITE_TO_PORT_BYTE_SHIFT);
    ASSERT_EQ(Control(IOCTL_KELU_WRITE_TO_PORT, &word, sizeof(word), 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_RXCHAR));
    Overlapped next;
    ASSERT_TRUE(StartWait(a_, next));
    EXPECT_EQ(WaitResult(next), static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

TEST_F(SerialWaitMaskTest, TheEventCharacterInTheMiddleOfARunRaisesRxFlag) {
    SERIAL_CHARS chars = {0, 0, 0, 0x0D, 0x0B, 0x0D};
    ASSERT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)).status, STATUS_SUCCESS);
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(a_, wait);
    WriteNow(b_, {0x41, 0x42});
    EXPECT_FALSE(wait.Done());
    WriteNow(b_, {0x41, 0x42, 0x0D, 0x43});
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

TEST_F(SerialWaitMaskTest, ThePartnersLineChangesRaiseCtsDsrAndRlsdOnlyWhenTheyChange) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_CTS), STATUS_SUCCESS);
    Overlapped cts;
    StartWait(a_, cts);
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    ASSERT_TRUE(cts.Done());
    EXPECT_EQ(WaitResult(cts), static_cast<ULONG>(SERIAL_EV_CTS));
    Overlapped unchanged;
    StartWait(a_, unchanged);
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_FALSE(unchanged.Done());

    // DSR and DCD follow DTR together.
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_DSR | SERIAL_EV_RLSD), STATUS_SUCCESS);
    ASSERT_TRUE(unchanged.Done());
    Overlapped dsr;
    StartWait(a_, dsr);
    EXPECT_EQ(Ioctl(b_, IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    ASSERT_TRUE(dsr.Done());
    EXPECT_EQ(WaitResult(dsr), static_cast<ULONG>(SERIAL_EV_DSR | SERIAL_EV_RLSD));
}

TEST_F(SerialWaitMaskTest, TransmitEmptyIsRaisedWhenTheWritersBytesHaveLeft) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(a_, wait);
    // The partner has no read pending but takes the bytes into its receive ring.
    WriteNow(a_, Pattern(8));
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

TEST_F(SerialWaitMaskTest, ACancelledWaitIsCompletedOnceAndForgotten) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(a_, wait);
    ASSERT_TRUE(CancelIo(a_));
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
    EXPECT_EQ(wait.Bytes(), 0u);
    // The port no longer holds the request: neither a new mask nor data touches it (a
    // second completion would stop the machine), and its buffer stays as it was.
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    WriteNow(b_, Pattern(2));
    EXPECT_EQ(wait.Status(), STATUS_CANCELLED);
    EXPECT_EQ(WaitResult(wait), 0xEEEEEEEEu);
    // A new wait is the port's only one; it hears of the bytes that came meanwhile.
    Overlapped next;
    ASSERT_TRUE(StartWait(a_, next));
    EXPECT_EQ(WaitResult(next), static_cast<ULONG>(SERIAL_EV_RXCHAR));

    // Closing the handle cancels a pending wait too.
    Overlapped atClose;
    StartWait(a_, atClose);
    EXPECT_FALSE(atClose.Done());
    CloseHandle(a_);
    a_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(Eventually([&] { return atClose.Done(); }));
    EXPECT_EQ(atClose.Status(), STATUS_CANCELLED);
    atClose.port = INVALID_HANDLE_VALUE;
}

TEST_F(SerialWaitMaskTest, CancellingWhileEventsArriveCompletesEachWaitExactlyOnce) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        HANDLE partner = b_;
        while (!stop) {
            Overlapped write;
            StartWrite(partner, write, {0x55});
            Eventually([&] { return write.Done(); }, 5);
            ULONG purge = SERIAL_PURGE_RXCLEAR;
            Ioctl(a_, IOCTL_SERIAL_PURGE, &purge, sizeof(purge));
        }
    });
    for (int round = 0; round < 300; round++) {
        Overlapped wait;
        StartWait(a_, wait);
        if (round % 2 == 0)
            CancelIo(a_);
        ASSERT_TRUE(Eventually([&] {
            if (!wait.Done())
                CancelIo(a_);
            return wait.Done();
        }));
        NTSTATUS status = wait.Status();
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << std::hex << status;
    }
    stop = true;
    writer.join();
}

// SERIAL_EV_RX80FULL: raised by the byte that brings the receive ring to 80 percent of
// its size (4096 bytes: 3276), not before, and not again below the mark.
TEST_F(SerialWaitMaskTest, Rx80FullIsRaisedAtTheMarkAndNotBelowIt) {
    ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(b_, wait);
    EXPECT_EQ(WriteNow(a_, Pattern(3275)), 3275u);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(1)), 1u);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_RX80FULL));

    Overlapped drain;
    StartRead(b_, drain, 3276);
    ASSERT_TRUE(drain.Done());
    Overlapped below;
    StartWait(b_, below);
    EXPECT_EQ(WriteNow(a_, Pattern(3000)), 3000u);
    EXPECT_FALSE(below.Done());
}

// SERIAL_EV_RING: raised when the port's ring indicator changes, and by nothing else.
TEST_F(SerialWaitMaskTest, RingIsRaisedOnlyWhenTheRingIndicatorChanges) {
    ASSERT_EQ(Set(b_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RING), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(b_, wait);
    // The partner's lines and data change other things.
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_EQ(WriteNow(a_, Pattern(4)), 4u);
    EXPECT_FALSE(wait.Done());
    ASSERT_EQ(SetLines(1, SERIAL_RI_STATE, 0), STATUS_SUCCESS);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_RING));

    Overlapped unchanged;
    StartWait(b_, unchanged);
    ASSERT_EQ(SetLines(1, SERIAL_RI_STATE, 0), STATUS_SUCCESS);
    EXPECT_FALSE(unchanged.Done());
    ASSERT_EQ(SetLines(1, 0, 0), STATUS_SUCCESS);
    ASSERT_TRUE(unchanged.Done());
    EXPECT_EQ(WaitResult(unchanged), static_cast<ULONG>(SERIAL_EV_RING));
}

// SERIAL_EV_TXEMPTY needs something sent: a zero-length write, the partner's data and
// line changes leave the wait alone.
TEST_F(SerialWaitMaskTest, TransmitEmptyStaysQuietWhenThereWasNothingToSend) {
    ASSERT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    Overlapped wait;
    StartWait(a_, wait);
    EXPECT_EQ(WriteNow(a_, {}), 0u);
    EXPECT_EQ(WriteNow(b_, Pattern(6)), 6u);
    Overlapped read;
    StartRead(a_, read, 6);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_RTS).status, STATUS_SUCCESS);
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(WriteNow(a_, Pattern(1)), 1u);
    ASSERT_TRUE(wait.Done());
    EXPECT_EQ(WaitResult(wait), static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}
