// The connection and confirmation map: pairing rules, what is stored in the
// registry and when, what a stored value must look like to be used, and the pairs
// that survive a restart or a removal.
#include "rig.h"

#include <thread>

namespace {

std::vector<UCHAR> Bytes(const std::array<UCHAR, 256> &partners) { return {partners.begin(), partners.end()}; }

// The default map with the given pairs.
std::vector<UCHAR> MapWith(std::initializer_list<std::pair<int, int>> pairs)
{
    std::vector<UCHAR> map = DriverTest::DefaultMap();
    for (auto [a, b] : pairs) {
        map[a] = (UCHAR)b;
        map[b] = (UCHAR)a;
    }
    return map;
}

std::vector<UCHAR> PartnersOf(const std::vector<UCHAR> &map) { return {map.begin(), map.begin() + 256}; }

}  // namespace

TEST_F(DriverTest, NoStoredMapMeansNoPairsUntilTheFirstChangeIsSaved)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(DefaultMap()));
    EXPECT_FALSE(StoredMap().has_value());

    ASSERT_EQ(Connect(3, 5), STATUS_SUCCESS);
    std::optional<RegistryValue> stored = StoredMap();
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->type, (ULONG)REG_BINARY);
    EXPECT_EQ(stored->data, MapWith({{3, 5}}));
}

TEST_F(DriverTest, ConnectingUnlinksFormerPartnersWithoutTouchingTheirLines)
{
    for (ULONG port : {3, 5, 7}) {
        ASSERT_EQ(PlugIn(port), STATUS_SUCCESS);
    }
    ASSERT_EQ(Connect(3, 7), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(3, 0, SERIAL_DTR_STATE), STATUS_SUCCESS);
    ULONG sevenBefore = Lines(7).ulModemStatus;
    ASSERT_EQ(sevenBefore & SERIAL_DSR_STATE, (ULONG)SERIAL_DSR_STATE);

    ASSERT_EQ(Connect(3, 5), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{3, 5}})));
    EXPECT_EQ(Lines(7).ulModemStatus, sevenBefore);
    // Connecting transferred 3's DTR to its new partner.
    EXPECT_EQ(Lines(5).ulModemStatus & SERIAL_DSR_STATE, (ULONG)SERIAL_DSR_STATE);

    // Connecting the same pair again changes nothing but transfers and saves again.
    RegistryDeleteValue(LoaderServiceKey(u"kelu"), u"ConnectionMap");
    ASSERT_EQ(SetLines(5, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Connect(5, 3), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{3, 5}})));
    EXPECT_EQ(Lines(5).ulModemStatus & SERIAL_DSR_STATE, (ULONG)SERIAL_DSR_STATE);
    ASSERT_TRUE(StoredMap().has_value());
    EXPECT_EQ(StoredMap()->data, MapWith({{3, 5}}));
}

TEST_F(DriverTest, DisconnectingClearsExactlyTheTwoBytesNamed)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    ASSERT_EQ(Connect(3, 7), STATUS_SUCCESS);
    ASSERT_EQ(Disconnect(3, 9), STATUS_SUCCESS);
    std::vector<UCHAR> expected = PartnersOf(DefaultMap());
    expected[7] = 3;
    EXPECT_EQ(Bytes(ConnectionMap()), expected);
    EXPECT_EQ(PartnersOf(StoredMap()->data), expected);
}

// Port 255 is the "not connected" mark and a port is never its own partner: such
// requests are refused and leave the map, stored or not, as it was.
TEST_F(DriverTest, PairingRequestsOutsideTheMapAreRefused)
{
    ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);
    std::vector<UCHAR> before = StoredMap()->data;
    const std::pair<ULONG, ULONG> refused[] = {{255, 1}, {1, 255}, {256, 2}, {0xFFFFFFFF, 1}, {4, 4}, {1, 1}};
    for (auto [a, b] : refused) {
        EXPECT_EQ(Connect(a, b), STATUS_INVALID_PARAMETER) << a << " " << b;
        EXPECT_EQ(Disconnect(a, b), STATUS_INVALID_PARAMETER) << a << " " << b;
    }
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{1, 2}})));
    EXPECT_EQ(StoredMap()->data, before);
}

TEST_F(DriverTest, StoredMapIsUsedWhenTheDriverLoads)
{
    std::vector<UCHAR> stored = MapWith({{1, 2}, {10, 200}});
    stored[256 + 4] = 1;
    StoreMap(REG_BINARY, stored);
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(stored));
    // The confirmation flags come back too: changing one saves them all.
    ASSERT_EQ(PlugIn(5), STATUS_SUCCESS);
    ASSERT_EQ(SetConfirmation(5, true), STATUS_SUCCESS);
    stored[256 + 5] = 1;
    EXPECT_EQ(StoredMap()->data, stored);
}

// Only a whole 512-byte binary value is a map: anything else loads the default.
TEST_F(DriverTest, MalformedStoredMapsAreIgnored)
{
    std::vector<UCHAR> paired = MapWith({{1, 2}});
    const struct {
        ULONG type;
        std::vector<UCHAR> data;
    } malformed[] = {
        {REG_BINARY, std::vector<UCHAR>(paired.begin(), paired.begin() + 100)},
        {REG_BINARY, std::vector<UCHAR>{0x00, 0x02, 0x00, 0x00}},  // reads as the length 512
        {REG_BINARY, [&] { std::vector<UCHAR> longer = paired; longer.resize(600, 0); return longer; }()},
        {REG_NONE, paired},
        {REG_SZ, paired},
    };
    for (const auto &value : malformed) {
        StoreMap(value.type, value.data);
        ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
        EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(DefaultMap())) << value.type << " " << value.data.size();
        ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
        ASSERT_FALSE(DriverLoaded());
    }
}

// Partner bytes that no pairing makes (a port named as its own partner, a port
// pairing with one that names another or none, a partner byte for port 255) load
// as unpaired, each with a log line; the whole pairs beside them load as they are.
TEST_F(DriverTest, StoredPairsThatNoPairingMakesLoadUnpaired)
{
    std::vector<UCHAR> stored = MapWith({{1, 2}});
    stored[3] = 3;    // its own partner
    stored[4] = 5;    // one side only: 5 names nobody
    stored[6] = 7;    // one side only: 7 names 8, which names 7
    stored[7] = 8;
    stored[8] = 7;
    stored[255] = 9;  // port 255 cannot be paired
    StoreMap(REG_BINARY, stored);
    MachineClearDebugLog();
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{1, 2}, {7, 8}})));
    std::string log = MachineDebugLog();
    for (int port : {3, 4, 6, 255})
        EXPECT_NE(log.find("kelu.sys: ConnectionMap pairs port " + std::to_string(port) + " with port " +
                           std::to_string(stored[port]) + ", which is not a pair; port " + std::to_string(port) +
                           " is loaded unpaired\n"),
                  std::string::npos)
            << port << "\n" << log;
    EXPECT_EQ(log.find("pairs port 1 with"), std::string::npos) << log;
    // Loading changes nothing stored; the next change saves the repaired map.
    EXPECT_EQ(StoredMap()->data, stored);
}

TEST_F(DriverTest, PairsAndConfirmationFlagsSurviveARestart)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);
    ASSERT_EQ(Connect(7, 8), STATUS_SUCCESS);
    ASSERT_EQ(SetConfirmation(1, true), STATUS_SUCCESS);

    Restart();
    ASSERT_TRUE(DriverLoaded());  // the bus brought port 1 back
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{1, 2}, {7, 8}})));
    std::vector<UCHAR> expected = MapWith({{1, 2}, {7, 8}});
    expected[256 + 1] = 1;
    EXPECT_EQ(StoredMap()->data, expected);

    // The pair is live once its other port is plugged in: lines cross over.
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(2, 0, SERIAL_RTS_STATE), STATUS_SUCCESS);
    EXPECT_EQ(Lines(1).ulModemStatus & SERIAL_CTS_STATE, (ULONG)SERIAL_CTS_STATE);
}

// A restart is no removal: a pair whose two ports are both plugged in is still a pair
// when the machine comes back, with both ports back too.
TEST_F(DriverTest, APairOfPresentPortsSurvivesARestart)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);

    Restart();
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{1, 2}})));
    EXPECT_EQ(StoredMap()->data, MapWith({{1, 2}}));
    ASSERT_EQ(SetLines(2, 0, SERIAL_RTS_STATE), STATUS_SUCCESS);
    EXPECT_EQ(Lines(1).ulModemStatus & SERIAL_CTS_STATE, (ULONG)SERIAL_CTS_STATE);
}

TEST_F(DriverTest, RemovingOnePortOfAPresentPairDissolvesIt)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(1, 0, SERIAL_DTR_STATE), STATUS_SUCCESS);
    ULONG partnerLines = Lines(2).ulModemStatus;

    ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(DefaultMap()));
    EXPECT_EQ(StoredMap()->data, DefaultMap());
    EXPECT_EQ(Lines(2).ulModemStatus, partnerLines);  // the partner keeps what it showed
}

TEST_F(DriverTest, RemovingAPortWhosePartnerIsAbsentKeepsThePair)
{
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(9), STATUS_SUCCESS);
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);
    ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{1, 2}})));
    EXPECT_EQ(StoredMap()->data, MapWith({{1, 2}}));

    // Both find each other when they are next plugged in.
    ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
    ASSERT_EQ(SetLines(1, 0, SERIAL_RTS_STATE), STATUS_SUCCESS);
    EXPECT_EQ(Lines(2).ulModemStatus & SERIAL_CTS_STATE, (ULONG)SERIAL_CTS_STATE);
}

// Removal dissolves the pair it finds in the map at the moment it changes the map: a
// pairing made while the removal was on its way must survive whole.
TEST_F(DriverTest, RemovalDoesNotDissolveAPairMadeWhileItWaitedForTheMap)
{
    for (ULONG port : {1, 2, 3}) {
        ASSERT_EQ(PlugIn(port), STATUS_SUCCESS);
    }
    ASSERT_EQ(Connect(1, 2), STATUS_SUCCESS);

    // Hold the map lock so that a pairing and the removal queue up behind it, the
    // pairing first (its waiters are served in order).
    auto *mapLock = static_cast<KEVENT *>(DriverGlobal("g_ConnectionMapLock"));
    ASSERT_NE(mapLock, nullptr);
    ASSERT_EQ(KeWaitForSingleObject(mapLock, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);

    size_t blocked = MachineBlockedThreads();
    NTSTATUS connected = STATUS_PENDING;
    std::thread pairing([&] { connected = Connect(1, 3); });
    ASSERT_TRUE(Eventually([&] { return MachineBlockedThreads() == blocked + 1; }));
    std::thread removal([&] { EXPECT_EQ(Unplug(2), STATUS_SUCCESS); });
    // The removal waits for the map once its names are gone.
    ASSERT_TRUE(Eventually([&] {
        return !LinkTarget(u"\\DosDevices\\COM3").has_value() && MachineBlockedThreads() == blocked + 2;
    }));
    KeSetEvent(mapLock, IO_NO_INCREMENT, FALSE);
    pairing.join();
    removal.join();

    EXPECT_EQ(connected, STATUS_SUCCESS);
    EXPECT_EQ(Bytes(ConnectionMap()), PartnersOf(MapWith({{1, 3}})));
    EXPECT_EQ(StoredMap()->data, MapWith({{1, 3}}));
}
