// Several kelu processes on one machine: one runs it at a time, the others wait for
// it (or, asked not to, fail at once), and nothing that any of them did is lost. A
// damaged state file stops every command and stays as it was.
#include "kelu_runner.h"

namespace {

const std::string::size_type npos = std::string::npos;

size_t Occurrences(const std::string &text, const std::string &part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != npos; at = text.find(part, at + 1)) count++;
    return count;
}

// Eight plug-ins started together take turns on the machine; all eight ports stay.
TEST_F(KeluCommandTest, PlugInsStartedTogetherAreAllKept)
{
    Ok({"install"});
    std::vector<KeluChild> children;
    for (int port = 1; port <= 8; port++) children.push_back(Start({"plugin", "COM" + std::to_string(port)}));
    for (KeluChild &child : children) {
        KeluRun run = Finish(child);
        EXPECT_EQ(run.status, 0) << run;
    }
    KeluRun list = Ok({"list", "--json"});
    for (int port = 1; port <= 8; port++)
        EXPECT_NE(list.out.find("\"name\":\"COM" + std::to_string(port) + "\""), npos) << list;
}

// A session holds the machine while a command waits for it. The command says once
// who holds the machine, then runs when the session ends; what both did stays. A
// command that must not wait fails at once, naming the holder.
TEST_F(KeluCommandTest, ACommandWaitsForASessionAndBothChangesStay)
{
    InstallAndPlugIn({"COM1", "COM2"});
    KeluChild session = Start({"session"});
    Send(session, "connect COM1 COM2\n");
    ASSERT_TRUE(ReadUntil(session, "connected COM1 and COM2\n")) << session.run;

    std::string holder = "pid " + std::to_string(session.pid) + " (" KELU_TOOL_PATH " session)";
    KeluChild plugin = Start({"plugin", "COM3"});
    ASSERT_TRUE(ReadUntil(plugin, "waiting until it is free", true)) << plugin.run;
    EXPECT_NE(plugin.run.err.find("is in use by " + holder), npos) << plugin.run;

    KeluRun busy = Run({"--no-wait", "list"});
    EXPECT_EQ(busy.status, 1) << busy;
    ExpectOneSentenceError(busy, "list");
    EXPECT_NE(busy.err.find("the machine cannot start: the machine in " + machineDirectory() +
                            " is in use by " + holder),
              npos)
        << busy;

    Send(session, "plugin COM4\n");
    EXPECT_EQ(Finish(session).status, 0) << session.run;
    KeluRun plugged = Finish(plugin);
    EXPECT_EQ(plugged.status, 0) << plugged;
    EXPECT_EQ(Occurrences(plugged.err, "waiting until it is free"), 1u) << plugged;

    KeluRun list = Ok({"--no-wait", "list", "--json"});
    EXPECT_NE(list.out.find(R"({"port":1,"name":"COM1","partner":2,)"), npos) << list;
    EXPECT_NE(list.out.find(R"("name":"COM3")"), npos) << list;
    EXPECT_NE(list.out.find(R"("name":"COM4")"), npos) << list;
}

// A holder killed at any moment frees the machine, and the state it leaves is the
// one before or after the change it was making: never one that stops the next start.
TEST_F(KeluCommandTest, AKilledHolderFreesTheMachineAndLeavesAWholeState)
{
    InstallAndPlugIn({"COM1", "COM2", "COM3"});
    const int kRounds = 12;
    for (int round = 0; round < kRounds; round++) {
        SCOPED_TRACE(round);
        KeluChild writer = Start({"session"});
        for (int change = 0; change <= round % 3; change++)
            Send(writer, "connect COM1 COM2\nconnect COM1 COM3\n");
        ASSERT_TRUE(ReadUntil(writer, "connected COM1 and COM2\n")) << writer.run;
        kill(writer.pid, SIGKILL);
        EXPECT_EQ(Finish(writer).status, -1);

        KeluRun list = Run({"--no-wait", "list", "--json"});
        ASSERT_EQ(list.status, 0) << list;
        bool pairedWithTwo = list.out.find(R"({"port":1,"name":"COM1","partner":2,)") != npos;
        bool pairedWithThree = list.out.find(R"({"port":1,"name":"COM1","partner":3,)") != npos;
        EXPECT_TRUE(pairedWithTwo || pairedWithThree) << list;
    }
}

// A state file that does not read stops every command with the file and its first
// bad line named, and is kept for whoever can repair it.
TEST_F(KeluCommandTest, ADamagedStateFileStopsTheCommandAndIsKept)
{
    InstallAndPlugIn({"COM1"});
    std::string file = machineDirectory() + "/registry.txt";
    std::ofstream(file, std::ios::trunc) << "garbage\n";
    KeluRun list = Run({"list"});
    EXPECT_EQ(list.status, 1) << list;
    ExpectOneSentenceError(list, "list");
    EXPECT_NE(list.err.find("the registry file " + file + " is damaged at line 1 (\"garbage\"); it is kept as it is"),
              npos)
        << list;
    EXPECT_EQ(ReadText(file), "garbage\n");
}

}  // namespace
