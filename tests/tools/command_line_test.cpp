// The command line: help, and what kelu refuses before it touches the machine
// (exit status 2, one sentence and the command's usage).
#include "kelu_runner.h"

namespace {

const char *const kCommands[] = {"install", "uninstall", "plugin",  "unplug", "list",    "connect",
                                 "disconnect", "confirm", "signals", "settings", "put",   "take",
                                 "wait",    "session",   "open",    "close",   "write", "read",  "demo",
                                 "bench"};

TEST_F(KeluCommandTest, HelpListsEveryCommandAndEachCommandExplainsItself)
{
    KeluRun overview = Ok({"--help"});
    for (const char *command : kCommands) {
        EXPECT_NE(overview.out.find(std::string("  ") + command + " "), std::string::npos) << command;
        KeluRun help = Ok({command, "--help"});
        EXPECT_EQ(help.out.rfind(std::string("usage: kelu ") + command, 0), 0u) << help;
        EXPECT_EQ(Ok({"help", command}).out, help.out);
    }
    // No command at all is a usage error that still shows the overview.
    KeluRun bare = Run({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_NE(bare.out.find("commands:"), std::string::npos);
}

TEST_F(KeluCommandTest, VersionIsTheProjects)
{
    EXPECT_EQ(Ok({"--version"}).out, "kelu " KELU_VERSION "\n");
    EXPECT_EQ(Run({"--version", "extra"}).status, 2);
}

TEST_F(KeluCommandTest, BadCommandLinesAreUsageErrors)
{
    const std::vector<std::vector<std::string>> bad = {
        {"frobnicate"},
        {"plugin"},                        // no port
        {"plugin", "COM0"},                // ports are 1 to 255
        {"plugin", "256"},
        {"plugin", "COMX"},
        {"plugin", "3", "4"},              // one port only
        {"plugin", "--confirm=yes", "3"},  // a flag takes no value
        {"connect", "COM3", "3"},          // a port is not paired with itself
        {"confirm", "1", "maybe"},
        {"signals", "peek", "1"},
        {"signals", "set", "1", "rts", "clk"},
        {"signals", "set", "1", "0x40"},
        {"bench", "--runs", "0"},
        {"put", "1"},                      // no bytes
        {"put", "1", "text", "--hex", "41"},
        {"put", "1", "--hex", "4 1"},      // half a byte
        {"put", "1", "--file", scratch().string()},  // a folder
        {"put", "1", "--file", "/proc/self/mem"},    // opens, but cannot be read
        {"put", "1", "--file", "/dev/zero"},         // far more than a port takes
        {"take", "1", "--hex", "--file", "x"},
        {"take", "1", "--count", "many"},
        {"wait", "1", "--count", "0"},
        {"wait", "1", "--on", "data,noise"},
        {"list", "extra"},
    };
    for (const std::vector<std::string> &words : bad) {
        KeluRun run = Run(words);
        std::string shown;
        for (const std::string &word : words) shown += word + " ";
        EXPECT_EQ(run.status, 2) << shown << "\n" << run;
        EXPECT_TRUE(run.out.empty()) << shown << "\n" << run;
        if (words[0] != "frobnicate") {
            ExpectOneSentenceError(run, words[0]);
            EXPECT_NE(run.err.find("usage: kelu " + words[0]), std::string::npos) << run;
        }
    }
    // Nothing was done: no machine was even started.
    EXPECT_FALSE(std::filesystem::exists(machineDirectory()));
}

// No bytes are a count of 0, which succeeds and sends nothing.
TEST_F(KeluCommandTest, PuttingNoBytesSucceeds)
{
    EXPECT_EQ(Ok({"put", "COM1", ""}).out, "put 0 bytes into COM1\n");
    EXPECT_EQ(Ok({"put", "COM1", "--file", "/dev/null"}).out, "put 0 bytes into COM1\n");
}

}  // namespace
