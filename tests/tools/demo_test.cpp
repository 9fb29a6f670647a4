// kelu demo: the transcript of a pair at work, on a fresh machine and again on the
// same machine once it is set up.
#include "kelu_runner.h"

namespace {

TEST_F(KeluCommandTest, DemoRunsOnAFreshMachineAndAgainOnTheSameOne)
{
    for (int run = 0; run < 2; run++) {
        KeluRun demo = Run({"demo"});
        ASSERT_EQ(demo.status, 0) << demo;
        EXPECT_TRUE(demo.err.empty()) << demo;
        EXPECT_EQ(demo.out.find("FAILED"), std::string::npos) << demo;
        EXPECT_NE(demo.out.find("[COM2 app]  reads \"hello from COM1\""), std::string::npos) << demo;
        EXPECT_NE(demo.out.find("[COM1 app]  reads \"hello back from COM2\""), std::string::npos) << demo;
        EXPECT_NE(demo.out.find("the denied open fails with ERROR_ACCESS_DENIED (5)"), std::string::npos) << demo;
        EXPECT_NE(demo.out.find("[manager]   15 bytes wait in COM1; it takes \"for the manager\""),
                  std::string::npos)
            << demo;
        EXPECT_NE(demo.out.find(" KiB/s"), std::string::npos) << demo;
        EXPECT_NE(demo.out.find("steps behaved as they must\n"), std::string::npos) << demo;
    }
    // The demo leaves its ports behind for the user to look at, unpaired.
    KeluRun list = Ok({"list", "--json"});
    EXPECT_NE(list.out.find(R"({"port":1,"name":"COM1","partner":null,"open":false,"bytesWaiting":0,)"),
              std::string::npos)
        << list;
    EXPECT_NE(list.out.find(R"({"port":2,"name":"COM2","partner":null,"open":false,)"), std::string::npos) << list;
}

// A failing demo says how many of its steps failed and exits 1: here the package it
// is given lacks the port driver.
TEST_F(KeluCommandTest, DemoFailsWhenTheDriversCannotBeInstalled)
{
    std::filesystem::create_directories(scratch() / "empty");
    KeluRun demo = Run({"demo", (scratch() / "empty").string()});
    EXPECT_EQ(demo.status, 1) << demo;
    EXPECT_NE(demo.out.find("FAILED the manager installs the driver package"), std::string::npos) << demo;
    ExpectOneSentenceError(demo, "demo");
    EXPECT_NE(demo.err.find("steps did not behave as they must"), std::string::npos) << demo;
}

}  // namespace
