// A port reached as a partner must stay valid while it is being removed: one thread
// pairs, exchanges lines and unpairs while another plugs the partner in and out.
// Bounded and repeatable; meant for the ASan and TSan builds as well.
#include "rig.h"


#include <atomic>
#include <thread>

#include <ntservices.h>

TEST_F(DriverTest, LinesAndPairingsRaceWithThePartnersRemoval)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    std::thread plugger([&] {
        for (int round = 0; round < 25; round++) {
            EXPECT_EQ(Unplug(2), STATUS_SUCCESS);
            EXPECT_EQ(PlugIn(2), STATUS_SUCCESS);
        }
        done = true;
    });

    int rounds = 0;
    while (!done || rounds < 50) {
        EXPECT_EQ(Connect(1, 2), STATUS_SUCCESS);
        EXPECT_EQ(SetLines(1, 0, (rounds & 1) ? SERIAL_DTR_STATE | SERIAL_RTS_STATE : 0), STATUS_SUCCESS);
        NTSTATUS partner = SetLines(2, 0, SERIAL_DTR_STATE);
        EXPECT_TRUE(partner == STATUS_SUCCESS || partner == STATUS_INVALID_PARAMETER) << std::hex << partner;
        if (rounds % 3 == 0) {
            EXPECT_EQ(Disconnect(1, 2), STATUS_SUCCESS);
        }
        rounds++;
    }
    plugger.join();

    // Whatever the interleaving, the partner half is symmetric and port 2 works.
    std::array<UCHAR, 256> map = ConnectionMap();
    for (int port = 0; port < 256; port++) {
        if (map[port] != 0xFF) {
            EXPECT_EQ(map[map[port]], port) << port;
        }
    }
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(1, 0, SERIAL_RTS_STATE), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(1, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(1, 0, SERIAL_RTS_STATE), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus & SERIAL_CTS_STATE, (ULONG)SERIAL_CTS_STATE);
}

// Transfers in both directions of a pair and a line exchange take the same two locks
// from opposite ends; the one fixed order keeps them from waiting on each other.
TEST_F(DriverTest, OppositeTransfersOfAPairDoNotDeadlock)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);
    HANDLE ports[2];
    ASSERT_EQ(Open("\\??\\COM2", &ports[0]), STATUS_SUCCESS);
    ASSERT_EQ(Open("\\??\\COM3", &ports[1]), STATUS_SUCCESS);

    constexpr int kBytes = 4000;  // fits the partner's receive ring
    std::atomic<int> ready{0};
    auto writeBytes = [&](HANDLE port) {
        ready++;
        while (ready < 2) {
        }
        for (int i = 0; i < kBytes; i++) {
            UCHAR byte = (UCHAR)i;
            IO_STATUS_BLOCK io = {};
            ASSERT_EQ(NtWriteFile(port, nullptr, &io, &byte, 1), STATUS_SUCCESS);
        }
    };
    std::thread forward(writeBytes, ports[0]);
    std::thread backward(writeBytes, ports[1]);
    for (int round = 0; round < 100; round++) {
        EXPECT_EQ(SetLines(2, 0, (round & 1) ? SERIAL_DTR_STATE : SERIAL_RTS_STATE), STATUS_SUCCESS);
    }
    forward.join();
    backward.join();

    for (HANDLE port : ports) {
        std::vector<UCHAR> received(kBytes);
        IO_STATUS_BLOCK io = {};
        ASSERT_EQ(NtReadFile(port, nullptr, &io, received.data(), kBytes), STATUS_SUCCESS);
        EXPECT_EQ(io.Information, (ULONG_PTR)kBytes);
        for (int i = 0; i < kBytes; i++) {
            ASSERT_EQ(received[i], (UCHAR)i) << i;
        }
        NtClose(port);
    }
}
