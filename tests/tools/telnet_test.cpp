// The telnet layer of a served port: what the parser makes of a client's bytes, the
// answers to negotiations and the wire encoding.
#include "telnet.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace telnet;

// The parser's events as text, in order: "data 61 ff", "will 44", "sb 44: 01 ff", "cmd 241".
class Recorder final : public Listener {
public:
    std::vector<std::string> events;

    void OnData(const uint8_t *bytes, size_t count) override
    {
        // Runs may be split anywhere; consecutive runs are joined so that the record
        // says what the data was, not how it was cut.
        std::string text = Hex(Bytes(bytes, bytes + count));
        if (!events.empty() && events.back().rfind("data", 0) == 0)
            events.back() += " " + text;
        else
            events.push_back("data " + text);
    }
    void OnNegotiation(uint8_t verb, uint8_t option) override
    {
        static const char *const kVerbs[] = {"will", "wont", "do", "dont"};
        events.push_back(std::string(kVerbs[verb - kWill]) + " " + std::to_string(option));
    }
    void OnSubnegotiation(uint8_t option, const Bytes &payload) override
    {
        events.push_back("sb " + std::to_string(option) + ":" + (payload.empty() ? "" : " " + Hex(payload)));
    }
    void OnCommand(uint8_t command) override { events.push_back("cmd " + std::to_string(command)); }

    static std::string Hex(const Bytes &bytes)
    {
        std::string text;
        char pair[4];
        for (uint8_t byte : bytes) {
            snprintf(pair, sizeof pair, "%02x", byte);
            text += (text.empty() ? "" : " ") + std::string(pair);
        }
        return text;
    }
};

std::vector<std::string> Parse(const Bytes &bytes, bool *ok = nullptr)
{
    Parser parser;
    Recorder recorder;
    bool fed = parser.Feed(bytes.data(), bytes.size(), recorder);
    if (ok != nullptr) *ok = fed;
    return recorder.events;
}

TEST(TelnetParserTest, SplitsAStreamIntoDataNegotiationsSubnegotiationsAndCommandsInOrder)
{
    Bytes stream = {'a', kIac, kIac, 'b', kIac, kWill, kComPortOption, kIac, kSb, kComPortOption, 1, kIac, kIac,
                    0, kIac, kSe, kIac, kNop, 'c', kIac, kDont, kEcho};
    EXPECT_EQ(Parse(stream), (std::vector<std::string>{"data 61 ff 62", "will 44", "sb 44: 01 ff 00", "cmd 241",
                                                       "data 63", "dont 1"}));
}

// A client's bytes arrive cut anywhere by TCP: every sequence may span Feed calls.
TEST(TelnetParserTest, ByteByByteFeedingGivesTheSameEventsAsOneFeed)
{
    Bytes stream = {'x', kIac, kIac, kIac, kSb, kComPortOption, 5, kIac, kIac, kIac, kSe, kIac, kDo, kBinary, 'y'};
    Parser parser;
    Recorder recorder;
    for (uint8_t byte : stream) ASSERT_TRUE(parser.Feed(&byte, 1, recorder));
    EXPECT_EQ(recorder.events, Parse(stream));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"data 78 ff", "sb 44: 05 ff", "do 0", "data 79"}));
}

TEST(TelnetParserTest, MalformedSequencesFailTheStreamForGood)
{
    const Bytes bad[] = {
        {kIac, kSe},                                       // SE outside a subnegotiation
        {kIac, 5},                                         // no command
        {kIac, kSb, kIac, kSe},                            // no option
        {kIac, kSb, kComPortOption, 1, kIac, 'x'},         // stray IAC inside
    };
    for (const Bytes &stream : bad) {
        Parser parser;
        Recorder recorder;
        Bytes withData = {'a'};
        withData.insert(withData.end(), stream.begin(), stream.end());
        EXPECT_FALSE(parser.Feed(withData.data(), withData.size(), recorder)) << Recorder::Hex(stream);
        EXPECT_TRUE(parser.failed());
        EXPECT_FALSE(parser.failure().empty());
        // What came before the fault was reported; nothing after it is.
        Bytes more = {'z', kIac, kNop};
        EXPECT_FALSE(parser.Feed(more.data(), more.size(), recorder));
        EXPECT_EQ(recorder.events, (std::vector<std::string>{"data 61"})) << Recorder::Hex(stream);
    }
}

TEST(TelnetParserTest, ASubnegotiationMayReachTheLimitButNotPassIt)
{
    for (uint8_t filler : {uint8_t('s'), kIac}) {
        for (size_t length : {Parser::kMaxSubnegotiation, Parser::kMaxSubnegotiation + 1}) {
            Bytes stream = {kIac, kSb, kComPortOption};
            for (size_t i = 0; i < length; i++) {
                stream.push_back(filler);
                if (filler == kIac) stream.push_back(kIac);
            }
            stream.push_back(kIac);
            stream.push_back(kSe);
            bool ok = false;
            std::vector<std::string> events = Parse(stream, &ok);
            EXPECT_EQ(ok, length == Parser::kMaxSubnegotiation) << length << " bytes of " << int(filler);
            EXPECT_EQ(events.size(), ok ? 1u : 0u);
        }
    }
}

TEST(TelnetNegotiatorTest, AgreesToWhatASerialPortNeedsAndAnswersOnlyChanges)
{
    Negotiator negotiator;
    EXPECT_EQ(negotiator.Answer(kWill, kComPortOption), Negotiation(kDo, kComPortOption));
    EXPECT_TRUE(negotiator.ClientEnabled(kComPortOption));
    EXPECT_EQ(negotiator.Answer(kWill, kComPortOption), Bytes{});  // already in force
    EXPECT_EQ(negotiator.Answer(kDo, kBinary), Negotiation(kWill, kBinary));
    EXPECT_TRUE(negotiator.ServerEnabled(kBinary));
    EXPECT_EQ(negotiator.Answer(kWill, kBinary), Negotiation(kDo, kBinary));
    EXPECT_EQ(negotiator.Answer(kDo, kSuppressGoAhead), Negotiation(kWill, kSuppressGoAhead));

    // Refused: the server echoes nothing, and takes no option it does not know.
    EXPECT_EQ(negotiator.Answer(kDo, kEcho), Negotiation(kWont, kEcho));
    EXPECT_FALSE(negotiator.ServerEnabled(kEcho));
    EXPECT_EQ(negotiator.Answer(kWill, 24), Negotiation(kDont, 24));
    EXPECT_EQ(negotiator.Answer(kDo, kComPortOption), Negotiation(kWont, kComPortOption));

    // Turning off what is on is acknowledged once; what is off stays unanswered.
    EXPECT_EQ(negotiator.Answer(kWont, kComPortOption), Negotiation(kDont, kComPortOption));
    EXPECT_FALSE(negotiator.ClientEnabled(kComPortOption));
    EXPECT_EQ(negotiator.Answer(kWont, kComPortOption), Bytes{});
    EXPECT_EQ(negotiator.Answer(kDont, kBinary), Negotiation(kWont, kBinary));
    EXPECT_EQ(negotiator.Answer(kDont, kEcho), Bytes{});
}

TEST(TelnetEncodingTest, DataAndSubnegotiationsDoubleEveryIac)
{
    Bytes out;
    Bytes data = {1, kIac, kIac, 2};
    AppendEscaped(out, data.data(), data.size());
    EXPECT_EQ(out, (Bytes{1, kIac, kIac, kIac, kIac, 2}));
    EXPECT_EQ(Subnegotiation(kComPortOption, {101, 0, kIac, 0}),
              (Bytes{kIac, kSb, kComPortOption, 101, 0, kIac, kIac, 0, kIac, kSe}));
}

// Random streams of every kind of event, encoded as a client would and cut at
// random places: the parser gives back exactly what was encoded.
TEST(TelnetParserFuzzTest, EncodedEventsComeBackWhateverTheCuts)
{
    std::mt19937 random(2217);
    for (int round = 0; round < 300; round++) {
        Bytes stream;
        Recorder expected;
        int events = 1 + random() % 20;
        for (int i = 0; i < events; i++) {
            switch (random() % 4) {
            case 0: {
                Bytes data(1 + random() % 40);
                for (uint8_t &byte : data) byte = random() % 4 == 0 ? kIac : uint8_t(random());
                AppendEscaped(stream, data.data(), data.size());
                expected.OnData(data.data(), data.size());
                break;
            }
            case 1: {
                uint8_t verb = kWill + random() % 4, option = uint8_t(random());
                Bytes bytes = Negotiation(verb, option);
                stream.insert(stream.end(), bytes.begin(), bytes.end());
                expected.OnNegotiation(verb, option);
                break;
            }
            case 2: {
                Bytes payload(random() % (Parser::kMaxSubnegotiation + 1));
                for (uint8_t &byte : payload) byte = uint8_t(random());
                uint8_t option = uint8_t(random() % 255);  // any option but IAC
                Bytes bytes = Subnegotiation(option, payload);
                stream.insert(stream.end(), bytes.begin(), bytes.end());
                expected.OnSubnegotiation(option, payload);
                break;
            }
            default: {
                uint8_t command = kNop + random() % (kSb - kNop);
                stream.push_back(kIac);
                stream.push_back(command);
                expected.OnCommand(command);
                break;
            }
            }
        }
        Parser parser;
        Recorder recorder;
        for (size_t at = 0; at < stream.size();) {
            size_t piece = std::min<size_t>(stream.size() - at, 1 + random() % 16);
            ASSERT_TRUE(parser.Feed(stream.data() + at, piece, recorder)) << parser.failure();
            at += piece;
        }
        ASSERT_EQ(recorder.events, expected.events) << "round " << round;
    }
}

// Random bytes: the parser ends every stream in a defined state, never reports a
// subnegotiation beyond the limit, and once failed reports nothing more.
TEST(TelnetParserFuzzTest, RandomBytesNeverGetPastTheLimitsOrOutOfAFailure)
{
    class Checker final : public Listener {
    public:
        bool failed = false;
        int afterFailure = 0;
        size_t longest = 0;
        void OnData(const uint8_t *, size_t) override { afterFailure += failed; }
        void OnNegotiation(uint8_t, uint8_t) override { afterFailure += failed; }
        void OnSubnegotiation(uint8_t, const Bytes &payload) override
        {
            afterFailure += failed;
            longest = std::max(longest, payload.size());
        }
        void OnCommand(uint8_t) override { afterFailure += failed; }
    };
    std::mt19937 random(44);
    int failures = 0;
    for (int round = 0; round < 2000; round++) {
        Parser parser;
        Checker checker;
        Bytes bytes(1 + random() % 200);
        // IAC and SB often, so that sequences of every kind come up.
        for (uint8_t &byte : bytes) byte = random() % 3 == 0 ? uint8_t(kSe + random() % 16) : uint8_t(random());
        for (size_t at = 0; at < bytes.size(); at++) {
            bool ok = parser.Feed(&bytes[at], 1, checker);
            ASSERT_EQ(ok, !parser.failed());
            if (!ok) checker.failed = true;
        }
        failures += checker.failed;
        EXPECT_EQ(checker.afterFailure, 0);
        EXPECT_LE(checker.longest, Parser::kMaxSubnegotiation);
    }
    // The streams were hostile enough to reach the failure paths, and not all failed.
    EXPECT_GT(failures, 100);
    EXPECT_LT(failures, 2000);
}

}  // namespace
