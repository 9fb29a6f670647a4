// The setup tests: each runs on its own machine (manual clock, fresh state directory)
// and keeps its host-side files (packages, sources) in a scratch directory.
#pragma once

#include <windows.h>
#include <newdev.h>
#include <setupapi.h>
#include <winsvc.h>

#include <loader.h>
#include <machine.h>
#include <pnp.h>
#include <registry.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "machine_test.h"

class SetupTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        scratch_ = stateDirectory() + "-host";
        std::filesystem::create_directories(scratch_);
    }

    void TearDown() override
    {
        MachineTest::TearDown();
        std::error_code error;
        std::filesystem::remove_all(scratch_, error);
    }

    // A host directory outside the machine's disk.
    const std::string &scratch() const { return scratch_; }

    static void WriteText(const std::string &path, const std::string &text)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << text;
    }

    static std::string ReadText(const std::string &path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // A file of the machine's disk, by its path below C:\ (with '/' separators, in the
    // case the platform creates it).
    std::string Disk(const std::string &relative) const
    {
        return stateDirectory() + "/" + relative;
    }

    // A driver package for a root bus device "Test_Root_Bus" on service TESTBUS: an INF
    // at <scratch>/bus/testbus.inf whose driver, testbus.sys (the kelbus image used as
    // an ordinary bus driver), lies in the disk subdirectory "files". Returns the INF.
    std::string WriteBusPackage(const std::string &image = KELBUS_IMAGE_PATH) const
    {
        std::string directory = scratch_ + "/bus";
        std::filesystem::create_directories(directory + "/files");
        std::filesystem::copy_file(image, directory + "/files/testbus.sys",
                                   std::filesystem::copy_options::overwrite_existing);
        WriteText(directory + "/testbus.inf", kBusInf);
        return directory + "/testbus.inf";
    }

    static constexpr const char *kBusInf =
        "[Version]\r\n"
        "Signature=\"$Windows NT$\"\r\n"
        "Class=System\r\n"
        "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\r\n"
        "Provider=%Maker%\r\n"
        "[SourceDisksNames]\r\n"
        "1=%Disk%,,,files\r\n"
        "[SourceDisksFiles]\r\n"
        "testbus.sys=1\r\n"
        "[DestinationDirs]\r\n"
        "DefaultDestDir=12\r\n"
        "[Manufacturer]\r\n"
        "%Maker%=Models\r\n"
        "[Models]\r\n"
        "%Desc%=Bus.Install,Other_Id,Test_Root_Bus\r\n"
        "[Bus.Install.NT]\r\n"
        "CopyFiles=Bus.Files\r\n"
        "[Bus.Files]\r\n"
        "testbus.sys\r\n"
        "[Bus.Install.NT.Services]\r\n"
        "AddService=TESTBUS,0x00000002,Bus.Service\r\n"
        "[Bus.Service]\r\n"
        "DisplayName=%Desc%\r\n"
        "ServiceType=1\r\n"
        "StartType=3\r\n"
        "ErrorControl=1\r\n"
        "ServiceBinary=%12%\\testbus.sys\r\n"
        "[Strings]\r\n"
        "Maker=\"Test Maker\"\r\n"
        "Disk=\"Test disk\"\r\n"
        "Desc=\"Test root bus\"\r\n";

private:
    std::string scratch_;
};
