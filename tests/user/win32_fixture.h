// Every user-mode test runs on its own machine (manual clock, fresh state directory)
// with the test device loaded.
#pragma once

#include <windows.h>
#include <winioctl.h>

#include <machine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "test_device.h"

class Win32Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kelu-win32-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        directory_ = pattern;
        MachineOptions options;
        options.stateDirectory = directory_;
        options.manualClock = true;
        machine_ = MachineBoot(options);
        TestDeviceLoad();
    }

    void TearDown() override
    {
        MachineShutdown(machine_);
        std::filesystem::remove_all(directory_);
    }

    // Opens the test device (or another name) for reading and writing.
    static HANDLE Open(const char *name = "\\\\.\\Win32Test", DWORD flags = 0)
    {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }

    // Runs `body` in a thread while the machine's clock moves forward one millisecond
    // at a time until the body returns. The body measures what it waited for itself:
    // when it starts waiting is up to the scheduler, the clock it reads is not.
    static void RunWhileClockAdvances(const std::function<void()> &body)
    {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            body();
            done = true;
        });
        // Bounded: a body still blocked after a machine hour has failed anyway.
        for (int ms = 0; !done && ms < 3600 * 1000; ms++) {
            MachineAdvanceClockMs(1);
            std::this_thread::yield();
        }
        worker.join();
    }

    // Machine time in milliseconds.
    static ULONGLONG NowMs() { return KeQueryInterruptTime() / 10000; }

private:
    std::string directory_;
    Machine *machine_ = nullptr;
};
