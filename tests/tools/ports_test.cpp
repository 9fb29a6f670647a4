// Ports, pairs, lines and settings across invocations: each run of kelu is a fresh
// start of the same machine.
#include "kelu_runner.h"

namespace {

TEST_F(KeluCommandTest, PlugInConnectAndUnplugPersistAcrossInvocations)
{
    InstallAndPlugIn({"COM1", "2", "com7"});
    KeluRun again = Run({"plugin", "2"});
    EXPECT_EQ(again.status, 1) << again;
    ExpectOneSentenceError(again, "plugin");
    EXPECT_NE(again.err.find("cannot plug in COM2: ERROR_ALREADY_EXISTS (183)"), std::string::npos) << again;

    EXPECT_EQ(Ok({"connect", "COM1", "COM2"}).out, "connected COM1 and COM2\n");
    KeluRun list = Ok({"list", "--json"});
    EXPECT_NE(list.out.find(R"({"port":1,"name":"COM1","partner":2,)"), std::string::npos) << list;
    EXPECT_NE(list.out.find(R"({"port":2,"name":"COM2","partner":1,)"), std::string::npos) << list;
    EXPECT_NE(list.out.find(R"({"port":7,"name":"COM7","partner":null,)"), std::string::npos) << list;

    KeluRun text = Ok({"list"});
    EXPECT_NE(text.out.find("COM1    COM2"), std::string::npos) << text;
    EXPECT_NE(text.out.find("COM7    -"), std::string::npos) << text;

    Ok({"disconnect", "2", "1"});
    EXPECT_NE(Ok({"list", "--json"}).out.find(R"("name":"COM1","partner":null)"), std::string::npos);

    Ok({"unplug", "7"});
    KeluRun gone = Ok({"list", "--json"});
    EXPECT_EQ(gone.out.find("COM7"), std::string::npos) << gone;
    EXPECT_NE(gone.out.find("COM2"), std::string::npos) << gone;
    KeluRun unplugAgain = Run({"unplug", "7"});
    EXPECT_EQ(unplugAgain.status, 1) << unplugAgain;
    EXPECT_NE(unplugAgain.err.find("cannot unplug COM7"), std::string::npos) << unplugAgain;
}

// The driver keeps a pair with a port that is not plugged in, for when it comes;
// requests about the absent port itself are refused.
TEST_F(KeluCommandTest, APairMayWaitForItsSecondPort)
{
    InstallAndPlugIn({"1"});
    Ok({"connect", "1", "9"});
    KeluRun list = Ok({"list", "--json"});
    EXPECT_NE(list.out.find(R"({"port":1,"name":"COM1","partner":9,)"), std::string::npos) << list;
    EXPECT_EQ(list.out.find("COM9"), std::string::npos) << list;
    for (const std::vector<std::string> &words :
         std::vector<std::vector<std::string>>{{"settings", "9"}, {"signals", "get", "9"}}) {
        KeluRun absent = Run(words);
        EXPECT_EQ(absent.status, 1) << absent;
        ExpectOneSentenceError(absent, words[0]);
        EXPECT_NE(absent.err.find("of COM9: ERROR_INVALID_PARAMETER (87)"), std::string::npos) << absent;
    }
}

TEST_F(KeluCommandTest, SignalsAndSettingsAsTextAndJson)
{
    InstallAndPlugIn({"3"});
    // A fresh port has every line down and the driver's defaults.
    EXPECT_EQ(Ok({"signals", "get", "3"}).out, "COM3: none\n");
    EXPECT_EQ(Ok({"signals", "--json", "get", "COM3"}).out,
              R"({"port":3,"name":"COM3","word":0,"signals":{"rts":false,"cts":false,"dtr":false,)"
              R"("dsr":false,"ri":false,"dcd":false}})"
              "\n");
    EXPECT_EQ(Ok({"signals", "set", "3", "DTR", "rts"}).out, "COM3: RTS DTR\n");
    EXPECT_EQ(Ok({"signals", "set", "3", "0x3f", "--json"}).out,
              R"({"port":3,"name":"COM3","word":63,"signals":{"rts":true,"cts":true,"dtr":true,)"
              R"("dsr":true,"ri":true,"dcd":true}})"
              "\n");
    EXPECT_EQ(Ok({"signals", "set", "3", "none"}).out, "COM3: none\n");

    KeluRun settings = Ok({"settings", "3"});
    EXPECT_EQ(settings.out.rfind("COM3: 19200 baud, 8 data bits, parity none, 1 stop bits\n", 0), 0u) << settings;
    EXPECT_NE(settings.out.find("xon 0x0B, xoff 0x0D"), std::string::npos) << settings;
    KeluRun json = Ok({"settings", "--json", "3"});
    EXPECT_NE(json.out.find(R"("baudRate":19200,"wordLength":8,"parity":"none","stopBits":"1")"),
              std::string::npos)
        << json;
    EXPECT_NE(json.out.find(R"("xonLimit":500,"xoffLimit":100)"), std::string::npos) << json;
}

// Nobody has the port open in a kelu process of its own, so bytes cannot go in or
// out and no open waits for an answer; each says so.
TEST_F(KeluCommandTest, BytesAndAnswersNeedAnApplicationOnThePort)
{
    InstallAndPlugIn({"1"});
    KeluRun put = Run({"put", "1", "--hex", "41:42"});
    EXPECT_EQ(put.status, 1) << put;
    ExpectOneSentenceError(put, "put");
    EXPECT_NE(put.err.find("cannot put bytes into COM1"), std::string::npos) << put;
    KeluRun take = Run({"take", "1", "--count", "4"});
    EXPECT_EQ(take.status, 1) << take;
    EXPECT_NE(take.err.find("cannot take bytes from COM1"), std::string::npos) << take;
    EXPECT_EQ(Ok({"confirm", "1", "deny"}).out,
              "no open of COM1 was waiting; the answer (denied) does not carry over to the next open\n");
    KeluRun absent = Run({"confirm", "9", "allow"});
    EXPECT_EQ(absent.status, 1) << absent;
    EXPECT_NE(absent.err.find("cannot answer the open of COM9"), std::string::npos) << absent;
}

}  // namespace

namespace {

// Nothing happens on a port that no application has open; wait ends at its bound and
// says whether the events it was asked for came.
TEST_F(KeluCommandTest, WaitEndsAtItsBound)
{
    InstallAndPlugIn({"5"});
    KeluRun quiet = Run({"wait", "--timeout", "0", "5"});
    EXPECT_EQ(quiet.status, 0) << quiet;
    EXPECT_TRUE(quiet.out.empty()) << quiet;
    KeluRun counted = Run({"wait", "--on", "data,open", "--count", "1", "--timeout=0", "COM5"});
    EXPECT_EQ(counted.status, 1) << counted;
    ExpectOneSentenceError(counted, "wait");
    EXPECT_NE(counted.err.find("timed out after 0 of 1 events on COM5"), std::string::npos) << counted;
}

}  // namespace
