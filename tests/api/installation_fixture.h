// The installation tests: a fresh machine without drivers, the driver package as the
// build assembles it, and copies of it to vary.
#pragma once

#include "api_fixture.h"

#include <registry.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

class InstallationTest : public ApiTest {
protected:
    void SetUp() override
    {
        ApiTest::SetUp();
        scratch_ = stateDirectory() + "-host";
        std::filesystem::create_directories(scratch_);
        ASSERT_TRUE(std::filesystem::exists(BuiltPackage() + "/kelu.inf"))
            << "the driver_package target assembles " << BuiltPackage();
    }

    void TearDown() override
    {
        ApiTest::TearDown();
        std::error_code error;
        std::filesystem::remove_all(scratch_, error);
    }

    // <build>/package, beside the directory the port driver's image is built in.
    static std::string BuiltPackage()
    {
        return (std::filesystem::path(KELU_IMAGE_PATH).parent_path().parent_path() / "package")
            .string();
    }

    // A copy of the package at <scratch>/<name>, without the files listed.
    std::string CopyPackage(const std::string &name, const std::vector<std::string> &without = {})
    {
        std::string directory = scratch_ + "/" + name;
        std::filesystem::create_directories(directory);
        for (const char *file : {"kelu.inf", "kelu.sys", "kelbus.inf", "kelbus.sys"}) {
            if (std::find(without.begin(), without.end(), file) == without.end()) {
                std::filesystem::copy_file(BuiltPackage() + "/" + file, directory + "/" + file,
                                           std::filesystem::copy_options::overwrite_existing);
            }
        }
        return directory;
    }

    // keluInstallDrivers, with the machine's clock moving through its waits. Returns
    // the result; `error` gets the last error it left.
    static int Install(const std::string &path, DWORD *error = nullptr,
                       ULONGLONG *elapsedMs = nullptr)
    {
        int result = 0;
        DWORD lastError = 0;
        ULONGLONG elapsed = RunWhileClockAdvances(
            [&] {
                result = keluInstallDrivers(const_cast<char *>(path.c_str()));
                lastError = GetLastError();
            },
            2000);
        if (error != nullptr) *error = lastError;
        if (elapsedMs != nullptr) *elapsedMs = elapsed;
        PnpWaitIdle();
        return result;
    }

    static int Uninstall(DWORD *error = nullptr)
    {
        int result = keluUninstallDrivers();
        if (error != nullptr) *error = GetLastError();
        PnpWaitIdle();
        return result;
    }

    static bool ServiceRecorded(const char16_t *service)
    {
        return RegistryKeyExists(LoaderServiceKey(service));
    }

    static std::vector<PnpDeviceInfo> BusDevices()
    {
        std::vector<PnpDeviceInfo> devices;
        for (const PnpDeviceInfo &device : PnpListDevices()) {
            for (const auto &id : device.hardwareIds) {
                if (id == u"Pellix_Virtual_Bus_Enumerator") devices.push_back(device);
            }
        }
        return devices;
    }

    // The file of the machine's disk below C:\ (as the platform names it).
    std::string Disk(const std::string &relative) const
    {
        return stateDirectory() + "/" + relative;
    }

    const std::string &scratch() const { return scratch_; }

    static std::string ReadFileText(const std::string &path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    std::string scratch_;
};
