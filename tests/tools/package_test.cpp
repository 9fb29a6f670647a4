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
    EXPECT_NE(run.err.find("ERROR_FILE_NOT_FOUND (2)"), std::string::npos) << run;
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
