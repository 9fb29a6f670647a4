// install and uninstall, and what the other commands say on a machine without drivers.
#include "kelu_runner.h"

namespace {

std::string BuiltPackage() { return (std::filesystem::path(KELU_IMAGE_PATH).parent_path().parent_path() / "package").string(); }

TEST_F(KeluCommandTest, CommandsOnAMachineWithoutDriversNameTheMissingPackage)
{
    for (const std::vector<std::string> &words :
         std::vector<std::vector<std::string>>{{"list"}, {"plugin", "1"}, {"unplug", "1"}}) {
        KeluRun run = Run(words);
        EXPECT_EQ(run.status, 1) << run;
        ExpectOneSentenceError(run, words[0]);
        EXPECT_NE(run.err.find("ERROR_NO_MORE_ITEMS (259)"), std::string::npos) << run;
        EXPECT_NE(run.err.find("kelu install"), std::string::npos) << run;
    }
    KeluRun run = Run({"connect", "1", "2"});
    EXPECT_EQ(run.status, 1) << run;
    // The error's name and number, then the system's text, as FormatMessageA gives it.
    EXPECT_NE(run.err.find("ERROR_FILE_NOT_FOUND (2) - The system cannot find the file specified."),
              std::string::npos)
        << run;
    KeluRun uninstall = Run({"uninstall"});
    EXPECT_EQ(uninstall.status, 1) << uninstall;
    ExpectOneSentenceError(uninstall, "uninstall");
}

TEST_F(KeluCommandTest, InstallUsesTheBuiltPackageAndUninstallRemovesEverything)
{
    KeluRun install = Ok({"install"});
    EXPECT_NE(install.out.find(BuiltPackage()), std::string::npos) << install;
    EXPECT_EQ(Ok({"list"}).out, "no port is plugged in\n");
    Ok({"plugin", "4"});
    Ok({"uninstall"});
    // The bus is gone with its ports: the machine is as before the installation.
    KeluRun list = Run({"list"});
    EXPECT_EQ(list.status, 1) << list;
    EXPECT_NE(list.err.find("ERROR_NO_MORE_ITEMS"), std::string::npos) << list;
}

TEST_F(KeluCommandTest, InstallFromAnIncompletePackageFailsWithTheLibrarysError)
{
    std::filesystem::path package = scratch() / "partial";
    std::filesystem::create_directories(package);
    for (const char *file : {"kelu.inf", "kelbus.inf"})
        std::filesystem::copy_file(std::filesystem::path(BuiltPackage()) / file, package / file);
    KeluRun run = Run({"install", package.string()});
    EXPECT_EQ(run.status, 1) << run;
    ExpectOneSentenceError(run, "install");
    EXPECT_NE(run.err.find(package.string()), std::string::npos) << run;
    EXPECT_NE(run.err.find("KELU_ERROR_BAD_PACKAGE_PATH (536871169)"), std::string::npos) << run;
}

TEST_F(KeluCommandTest, InstallTakesARelativeDirectory)
{
    std::filesystem::path package = scratch() / "copy";
    std::filesystem::copy(BuiltPackage(), package);
    std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(scratch());
    KeluRun run = Run({"install", "copy"});
    std::filesystem::current_path(previous);
    EXPECT_EQ(run.status, 0) << run;
    EXPECT_NE(run.out.find(package.string()), std::string::npos) << run;
}

}  // namespace

namespace {

// Installing again replaces the drivers when no port is plugged in; with ports
// plugged in the drivers are in use and the installation is refused before it
// changes anything.
TEST_F(KeluCommandTest, InstallingAgainNeedsTheDriversUnused)
{
    Ok({"install"});
    Ok({"install"});
    EXPECT_EQ(Ok({"plugin", "--confirm", "3"}).out, "plugged in COM3; opening it waits for 'kelu confirm'\n");
    Ok({"plugin", "4"});
    Ok({"connect", "3", "4"});
    KeluRun again = Run({"install"});
    EXPECT_EQ(again.status, 1) << again;
    ExpectOneSentenceError(again, "install");
    EXPECT_NE(again.err.find("the drivers are in use by COM3, COM4; unplug those ports"), std::string::npos)
        << again;
    // Still installed and working after a restart.
    KeluRun list = Ok({"list", "--json"});
    EXPECT_NE(list.out.find(R"({"port":3,"name":"COM3","partner":4,)"), std::string::npos) << list;
    EXPECT_NE(list.out.find(R"({"port":4,"name":"COM4","partner":3,)"), std::string::npos) << list;
}

}  // namespace
