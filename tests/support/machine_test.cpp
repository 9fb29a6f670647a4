#include "machine_test.h"

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

std::string MakeTemporaryDirectory() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") +
                          "/kelu-machine-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "cannot create " << pattern;
    return pattern;
}

}  // namespace

MachineOptions MachineTest::Options() const {
    MachineOptions options;
    options.manualClock = true;
    return options;
}

void MachineTest::SetUp() {
    // Death tests re-run the test in a fresh process: the machine has threads, so the
    // forking style would copy a process in the middle of their work.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    stateDirectory_ = MakeTemporaryDirectory();
    MachineOptions options = Options();
    options.stateDirectory = stateDirectory_;
    machine_ = MachineBoot(options);
}

void MachineTest::TearDown() {
    if (machine_ != nullptr) MachineShutdown(machine_);
    machine_ = nullptr;
    if (getenv("KELU_KEEP_STATE") == nullptr) {
        std::error_code error;
        std::filesystem::remove_all(stateDirectory_, error);
    }
}

void MachineTest::Restart() {
    MachineShutdown(machine_);
    MachineOptions options = Options();
    options.stateDirectory = stateDirectory_;
    machine_ = MachineBoot(options);
}

bool Eventually(const std::function<bool()> &condition, double hostSeconds) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                        std::chrono::duration<double>(hostSeconds));
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}
