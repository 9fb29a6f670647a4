// kelu bench: the table of a short run, measured on a machine of its own.
#include "kelu_runner.h"

#include <cstdlib>

namespace {

// Every row is there with a figure for the ports, the pipe and the socketpair; the
// user's machine keeps its ports as they were, and the bench machine's directory is
// gone when the command ends.
TEST_F(KeluCommandTest, BenchPrintsEveryRowAndLeavesTheUsersMachineAlone)
{
    InstallAndPlugIn({"COM1"});
    std::filesystem::path temporary = scratch() / "tmp";
    std::filesystem::create_directories(temporary);
    setenv("TMPDIR", temporary.c_str(), 1);
    KeluRun bench = Run({"bench", "--quick"});
    unsetenv("TMPDIR");
    ASSERT_EQ(bench.status, 0) << bench;
    for (const char *kind : {"synchronous", "overlapped"}) {
        for (const char *row : {" 1 B ", " 64 B ", " 4096 B ", " 65536 B ", " round trip "}) {
            std::string name = std::string(kind) + row;
            size_t at = bench.out.find(name);
            ASSERT_NE(at, std::string::npos) << name << "\n" << bench;
            std::istringstream line(bench.out.substr(at + name.size()));
            std::string unit;
            double ports = 0, pipe = 0, socketpair = 0;
            line >> unit >> ports >> pipe >> socketpair;
            EXPECT_EQ(unit, std::string(row) == " round trip " ? "us" : "MB/s") << name;
            EXPECT_GT(ports, 0) << name;
            EXPECT_GT(pipe, 0) << name;
            EXPECT_GT(socketpair, 0) << name;
        }
    }
    EXPECT_NE(bench.out.find("overlapped round trip / synchronous round trip: "), std::string::npos) << bench;
    EXPECT_TRUE(std::filesystem::is_empty(temporary));
    EXPECT_EQ(Ok({"list"}).out.find("COM2"), std::string::npos);
    EXPECT_NE(Ok({"list"}).out.find("COM1"), std::string::npos);
}

}  // namespace
