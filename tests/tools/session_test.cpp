// kelu session: commands that share one machine, and the applications a session runs
// on its ports from one line to the next.
#include "kelu_runner.h"

namespace {

class KeluSessionTest : public KeluCommandTest {
protected:
    KeluRun RunSession(const std::string &script) const
    {
        std::string path = (scratch() / "script").string();
        std::ofstream(path) << script;
        return Run({"session", path});
    }
};

TEST_F(KeluSessionTest, ApplicationsOnPortsExchangeBytesWithEachOtherAndTheController)
{
    Ok({"install"});
    Ok({"plugin", "COM1"});
    Ok({"plugin", "--confirm", "COM2"});
    Ok({"plugin", "COM3"});
    Ok({"connect", "COM1", "COM2"});
    KeluRun run = RunSession(
        "# COM2's open waits for the controlling application\n"
        "open COM1\n"
        "open --background COM2\n"
        "confirm COM2 allow\n"
        "write COM1 'hello there'\n"
        "read COM2\n"
        "write COM2 --hex 41:42\n"
        "read --count 2 --timeout 500 --hex COM1\n"
        "\n"
        "# COM3 has no partner: the controlling application stands in for one\n"
        "open COM3\n"
        "write COM3 abc\n"
        "take --hex COM3\n"
        "put COM3 xyz\n"
        "read --hex COM3\n"
        "close COM3\n");
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.out,
              "opened COM1\n"
              "the open of COM2 waits for approval\n"
              "answered the open of COM2: allowed\n"
              "COM1 wrote 11 bytes\n"
              "hello there"
              "COM2 wrote 2 bytes\n"
              "41 42\n"
              "opened COM3\n"
              "COM3 wrote 3 bytes\n"
              "61 62 63\n"
              "put 3 bytes into COM3\n"
              "78 79 7a\n"
              "closed COM3\n");
}

// Events raised after a wait first asked for them are kept for the next wait.
TEST_F(KeluSessionTest, AWaitSeesWhatHappenedSinceTheEventsWereFirstAskedFor)
{
    InstallAndPlugIn({"4"});
    KeluRun run = RunSession(
        "open COM4\n"
        "wait --timeout 0 COM4\n"
        "close COM4\n"
        "wait --on open,data --count 1 --timeout 2000 COM4\n");
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_NE(run.out.find("closed COM4\n+"), std::string::npos) << run;
    EXPECT_NE(run.out.find(" ms COM4 open\n"), std::string::npos) << run;
}

TEST_F(KeluSessionTest, TheFirstFailingLineEndsTheSessionWithItsStatus)
{
    InstallAndPlugIn({"1"});
    KeluRun refused = RunSession("open COM1\nread --count 1 --timeout 0 COM1\nclose COM1\n");
    EXPECT_EQ(refused.status, 1) << refused;
    EXPECT_EQ(refused.out, "opened COM1\n");
    EXPECT_NE(refused.err.find("kelu read: COM1 read only 0 of 1 bytes in time.\n"
                               "kelu session: stopped at line 2 (read), which failed.\n"),
              std::string::npos)
        << refused;

    for (const char *script : {"read COM1\n", "open COM1\nopen COM1\n", "write COM1 'unended\n",
                               "session\n", "demo\n", "frobnicate\n"}) {
        KeluRun bad = RunSession(script);
        EXPECT_EQ(bad.status, 2) << script << bad;
        EXPECT_NE(bad.err.find("kelu session: "), std::string::npos) << script << bad;
    }
    KeluRun outside = Run({"write", "COM1", "x"});
    EXPECT_EQ(outside.status, 2) << outside;
    ExpectOneSentenceError(outside, "write");
    EXPECT_NE(outside.err.find("needs a session"), std::string::npos) << outside;
}

// An open still waiting at the end is denied, so the session ends rather than hang.
TEST_F(KeluSessionTest, AnOpenLeftWaitingIsDeniedWhenTheSessionEnds)
{
    Ok({"install"});
    Ok({"plugin", "--confirm", "2"});
    KeluRun run = RunSession("open --background COM2\n");
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_EQ(run.out, "the open of COM2 waits for approval\n");
    KeluRun list = Ok({"list", "--json"});
    EXPECT_NE(list.out.find(R"("name":"COM2","partner":null,"open":false)"), std::string::npos) << list;
}

}  // namespace
