// The four named events of a port: created on request under \BaseNamedObjects and
// opened by name from user mode, auto-reset, signalled by opens and closes, waiting
// data, settings and the port's own lines, and let go at removal.
#include "serial_fixture.h"

#include <ke.h>

#include <atomic>
#include <thread>

namespace {

NTSTATUS InitEvents(ULONG port) {
    return DriverTest::Control(IOCTL_KELU_INIT_EVENTS, &port, sizeof(port), 0).status;
}

// A user-mode handle of one of a port's events, opened by name as the library does.
struct NamedEvent {
    HANDLE handle;
    NamedEvent(const char *kind, ULONG port) {
        std::string name = std::string("keluPort") + kind + std::to_string(port + 1);
        handle = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    }
    ~NamedEvent() {
        if (handle != nullptr)
            CloseHandle(handle);
    }
    // Consumes one signal, as a waiting application does.
    bool Signalled() const { return WaitForSingleObject(handle, 0) == WAIT_OBJECT_0; }
};

}  // namespace

using NamedEventsTest = SerialTest;

TEST_F(NamedEventsTest, EventsAppearByNameOnRequestAndAreCreatedOnce) {
    EXPECT_EQ(NamedEvent("Opened", 0).handle, nullptr);
    // Bytes for a closed partner wait in port 0's transmit ring.
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    WriteNow(a_, Pattern(3));
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    NamedEvent opened("Opened", 0), data("Data", 0), settings("Settings", 0),
        flow("FlowControl", 0);
    ASSERT_NE(opened.handle, nullptr);
    ASSERT_NE(data.handle, nullptr);
    ASSERT_NE(settings.handle, nullptr);
    ASSERT_NE(flow.handle, nullptr);
    EXPECT_TRUE(ObjectExists(u"\\BaseNamedObjects\\keluPortSettings1"));
    EXPECT_FALSE(opened.Signalled());
    EXPECT_TRUE(data.Signalled());
    EXPECT_FALSE(data.Signalled());  // auto-reset
    EXPECT_FALSE(settings.Signalled());
    EXPECT_FALSE(flow.Signalled());

    // A second request finds them and clears nothing.
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, 9600), STATUS_SUCCESS);
    EXPECT_EQ(InitEvents(0), STATUS_SUCCESS);
    EXPECT_TRUE(settings.Signalled());
    EXPECT_EQ(InitEvents(7), STATUS_INVALID_PARAMETER);
}

TEST_F(NamedEventsTest, TheSettingsEventCountsChangesOfSettingsOnlyAndOnlyOnce) {
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    NamedEvent settings("Settings", 0);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, 0), STATUS_SUCCESS);
    EXPECT_TRUE(settings.Signalled());

    EXPECT_TRUE(SetTimeouts(a_, 1, 2, 3));
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_FIFO_CONTROL, 1), STATUS_SUCCESS);
    SERIAL_QUEUE_SIZE sizes = {100, 100};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes)).status, STATUS_SUCCESS);
    SERIAL_HANDFLOW refused = {3, 0, 0, 0};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_HANDFLOW, &refused, sizeof(refused)).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(settings.Signalled());

    SERIAL_LINE_CONTROL line = {0, 2, 7};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)).status, STATUS_SUCCESS);
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, 2400), STATUS_SUCCESS);
    SERIAL_CHARS chars = {0, 0, 0, 0, 0x11, 0x13};
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_CHARS, &chars, sizeof(chars)).status, STATUS_SUCCESS);
    EXPECT_TRUE(settings.Signalled());
    EXPECT_FALSE(settings.Signalled());
}

TEST_F(NamedEventsTest, TheFlowControlEventFollowsThePortsOwnLinesOnly) {
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    ASSERT_EQ(InitEvents(1), STATUS_SUCCESS);
    NamedEvent flow0("FlowControl", 0), flow1("FlowControl", 1);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_TRUE(flow0.Signalled());
    EXPECT_FALSE(flow1.Signalled());  // the partner's DSR changed, not its own lines
    EXPECT_EQ(Set(b_, IOCTL_SERIAL_SET_MODEM_CONTROL, 3), STATUS_SUCCESS);
    EXPECT_TRUE(flow1.Signalled());
    EXPECT_FALSE(flow0.Signalled());
    // Lines set by the controlling application signal nothing.
    EXPECT_EQ(SetLines(0, 0xF0, 0), STATUS_SUCCESS);
    EXPECT_FALSE(flow0.Signalled());
}

// The creating thread installs the events while the port's application changes its
// settings and lines; once installed, every later change is announced.
TEST_F(NamedEventsTest, ChangesRacingTheEventsCreationAreAnnouncedOnceTheEventsExist) {
    std::atomic<bool> created{false};
    std::thread changer([&] {
        for (int round = 0; !created.load() && round < 10000; round++) {
            Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, round % 2 == 0 ? 9600 : 19200);
            Ioctl(a_, round % 2 == 0 ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS);
        }
    });
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    created = true;
    changer.join();

    NamedEvent settings("Settings", 0), flow("FlowControl", 0);
    settings.Signalled();  // consume what the race left
    flow.Signalled();
    EXPECT_EQ(Set(a_, IOCTL_SERIAL_SET_BAUD_RATE, 38400), STATUS_SUCCESS);
    EXPECT_EQ(Ioctl(a_, IOCTL_SERIAL_SET_DTR).status, STATUS_SUCCESS);
    EXPECT_TRUE(settings.Signalled());
    EXPECT_TRUE(flow.Signalled());
}

TEST_F(NamedEventsTest, OpenCloseAndWrittenDataAreAnnounced) {
    ASSERT_EQ(InitEvents(1), STATUS_SUCCESS);
    NamedEvent opened("Opened", 1), data("Data", 1);
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(Eventually([&] { return opened.Signalled(); }));
    b_ = OpenPort(1);
    ASSERT_NE(b_, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(opened.Signalled());
    EXPECT_FALSE(opened.Signalled());

    EXPECT_FALSE(data.Signalled());
    WriteNow(b_, Pattern(5));
    EXPECT_TRUE(data.Signalled());
}

TEST_F(NamedEventsTest, TwoOpensThatNeedConfirmationCreateTheirPortsEventsAtOnce) {
    CloseHandle(a_);
    CloseHandle(b_);
    a_ = b_ = INVALID_HANDLE_VALUE;
    for (int round = 0; round < 5; round++) {
        ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
        ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
        ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
        ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
        ASSERT_EQ(SetConfirmation(0, true), STATUS_SUCCESS);
        ASSERT_EQ(SetConfirmation(1, true), STATUS_SUCCESS);
        // Each open creates its port's events in a thread of its own, then announces
        // itself through the opened event and waits for the answer.
        HANDLE opened[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
        std::atomic<bool> done[2] = {false, false};
        std::thread openers[2];
        for (ULONG port = 0; port < 2; port++)
            openers[port] = std::thread([&opened, &done, port] {
                opened[port] = OpenPort(port);
                done[port] = true;
            });
        for (ULONG port = 0; port < 2; port++) {
            ASSERT_TRUE(Eventually([port] {
                NamedEvent event("Opened", port);
                return event.handle != nullptr && event.Signalled();
            }));
            // A new event is signalled for the moment between its creation and its
            // clearing, and an answer given before the open waits answers nothing: the
            // answer is repeated until the open goes on.
            ASSERT_TRUE(Eventually([port, &done] {
                EXPECT_EQ(SetConfirmation(port, false), STATUS_SUCCESS);
                return done[port].load();
            }));
        }
        for (ULONG port = 0; port < 2; port++) {
            openers[port].join();
            EXPECT_NE(opened[port], INVALID_HANDLE_VALUE);
            CloseHandle(opened[port]);
        }
    }
}

TEST_F(NamedEventsTest, RemovalLetsGoOfTheEventsAndNothingSignalsThemAfterwards) {
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    NamedEvent opened("Opened", 0), settings("Settings", 0);
    ASSERT_NE(opened.handle, nullptr);
    ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
    // The driver's handles are closed: only ours keep the events alive.
    EXPECT_TRUE(ObjectExists(u"\\BaseNamedObjects\\keluPortOpened1"));
    // The close that arrives after removal finds no events to signal.
    CloseHandle(a_);
    a_ = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(opened.Signalled());
    CloseHandle(opened.handle);
    CloseHandle(settings.handle);
    opened.handle = settings.handle = nullptr;
    EXPECT_FALSE(ObjectExists(u"\\BaseNamedObjects\\keluPortOpened1"));

    // A port plugged in again starts without events and creates fresh ones.
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    EXPECT_EQ(NamedEvent("Opened", 0).handle, nullptr);
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    EXPECT_NE(NamedEvent("Opened", 0).handle, nullptr);
}

// The creating thread is held back before its work, so its caller's 10 seconds pass
// first: the request fails, and the thread, once let go, still does its work safely.
TEST_F(NamedEventsTest, ACreatingThreadThatOutlivesItsCallerLeavesNoTraceOnARemovedPort) {
    auto initEventsGivingUp = [](ULONG port) {
        size_t blocked = MachineBlockedThreads();
        NTSTATUS status = STATUS_PENDING;
        std::thread caller([&status, port] { status = InitEvents(port); });
        EXPECT_TRUE(Eventually([blocked] { return MachineBlockedThreads() > blocked; }));
        MachineAdvanceClockMs(10000);
        caller.join();
        return status;
    };
    PsHoldSystemThreads(true);
    EXPECT_EQ(initEventsGivingUp(0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(initEventsGivingUp(1), STATUS_UNSUCCESSFUL);

    // Port 1 is removed while its thread still holds a reference: removal waits.
    size_t blocked = MachineBlockedThreads();
    std::thread remover([this] { EXPECT_EQ(Unplug(1), STATUS_SUCCESS); });
    ASSERT_TRUE(Eventually([blocked] { return MachineBlockedThreads() > blocked; }));
    PsHoldSystemThreads(false);
    remover.join();
    // Port 0's thread installed its events late; port 1's found its port going and
    // closed what it had created.
    EXPECT_TRUE(Eventually([] { return NamedEvent("Opened", 0).handle != nullptr; }));
    EXPECT_EQ(InitEvents(0), STATUS_SUCCESS);
    EXPECT_FALSE(ObjectExists(u"\\BaseNamedObjects\\keluPortOpened2"));
    // The parked threads are waited for and let go at unload: the verifier checks the
    // pool when the fixture unloads the driver.
}

TEST_F(NamedEventsTest, ARequestThatCannotGetMemoryFailsAndCreatesNothing) {
    PoolFailAllocationsWithTag(kKeluPoolTag);
    EXPECT_EQ(InitEvents(0), STATUS_UNSUCCESSFUL);
    PoolClearFaults();
    EXPECT_FALSE(ObjectExists(u"\\BaseNamedObjects\\keluPortOpened1"));
    EXPECT_EQ(InitEvents(0), STATUS_SUCCESS);
}

// Another kind of object holds the name of the last event created: the three made
// before it are closed again, and nothing is half installed.
TEST_F(NamedEventsTest, ASetThatCannotBeCompletedIsClosedAgain)
{
    static ObjectType blockerType = {"Blocker", nullptr, nullptr, nullptr};
    void *blocker = ObCreateObject(&blockerType, sizeof(ULONG));
    ASSERT_EQ(ObInsertObject(blocker, u"\\BaseNamedObjects\\keluPortSettings1", 0), STATUS_SUCCESS);
    EXPECT_EQ(InitEvents(0), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(ObjectExists(u"\\BaseNamedObjects\\keluPortOpened1"));
    EXPECT_FALSE(ObjectExists(u"\\BaseNamedObjects\\keluPortData1"));
    // Opens and closes find no events to signal.
    CloseHandle(a_);
    a_ = INVALID_HANDLE_VALUE;

    ObMakeTemporaryObject(blocker);
    ObfDereferenceObject(blocker);
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    EXPECT_FALSE(NamedEvent("Opened", 0).Signalled());
}

// A closed port holds no bytes: it counts none, and events created after the close do
// not announce the bytes it held before.
TEST_F(NamedEventsTest, AClosedPortCountsNoBytesAndItsNewEventsAnnounceNone) {
    CloseHandle(b_);
    b_ = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WriteNow(a_, Pattern(20)), 20u);
    ULONG count = 0;
    ASSERT_EQ(Control(IOCTL_KELU_GET_NUMBYTESINBUFFER, &count, sizeof(count), sizeof(count)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(count, 20u);
    CloseHandle(a_);
    a_ = INVALID_HANDLE_VALUE;
    count = 0;
    ASSERT_EQ(Control(IOCTL_KELU_GET_NUMBYTESINBUFFER, &count, sizeof(count), sizeof(count)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    ASSERT_EQ(InitEvents(0), STATUS_SUCCESS);
    NamedEvent data("Data", 0);
    ASSERT_NE(data.handle, nullptr);
    EXPECT_FALSE(data.Signalled());
}
