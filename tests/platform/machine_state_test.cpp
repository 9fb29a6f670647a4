// The machine's hold on its state directory: one machine per directory at a time,
// the lock's wait policies, and a damaged registry file refused and kept.
#include <gtest/gtest.h>

#include "machine.h"
#include "machine_lock.h"
#include "registry.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

const char16_t *kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kelu";

class MachineStateTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() / "kelu-state-XXXXXX";
        ASSERT_NE(mkdtemp(directory_.data()), nullptr);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    MachineOptions Options(MachineLockWait wait = MachineLockWait::kWait) const {
        MachineOptions options;
        options.stateDirectory = directory_;
        options.manualClock = true;
        options.lockWait = wait;
        return options;
    }

    std::string RegistryFile() const { return directory_ + "/registry.txt"; }

    static std::string ReadFile(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static void WriteFile(const std::string &path, const std::string &text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    // A registry file as a machine writes it, with a value in the driver's key.
    std::string WrittenRegistry() {
        Machine *machine = MachineBoot(Options());
        EXPECT_EQ(RegistrySetDword(kService, u"Start", 3), STATUS_SUCCESS);
        MachineShutdown(machine);
        return ReadFile(RegistryFile());
    }

    // Expects a boot to fail with the error naming `what`, start nothing and leave
    // the file and the directory's lock as they were.
    void ExpectRefused(const std::string &text, const std::string &what) {
        WriteFile(RegistryFile(), text);
        std::string error;
        EXPECT_EQ(MachineTryBoot(Options(), &error), nullptr);
        EXPECT_EQ(MachineRunning(), nullptr);
        EXPECT_NE(error.find("the registry file " + RegistryFile() + " is damaged" + what),
                  std::string::npos)
            << error;
        EXPECT_NE(error.find("it is kept as it is"), std::string::npos) << error;
        EXPECT_EQ(ReadFile(RegistryFile()), text);
        EXPECT_EQ(MachineLockHolder(directory_), "");
    }

    std::string directory_;
};

// While a machine runs on the directory, its lock says who holds it; a boot that
// will not wait fails at once with that, one that waits gets the machine when the
// holder lets go.
TEST_F(MachineStateTest, OneMachinePerDirectoryAndTheOthersWaitOrFail) {
    std::string error;
    MachineLock *held = MachineLockAcquire(directory_, MachineLockWait::kWait, "the test", &error);
    ASSERT_NE(held, nullptr) << error;
    std::string holder = "pid " + std::to_string(getpid()) + " (the test)";
    EXPECT_EQ(MachineLockHolder(directory_), holder);

    EXPECT_EQ(MachineTryBoot(Options(MachineLockWait::kFailAtOnce), &error), nullptr);
    EXPECT_EQ(MachineRunning(), nullptr);
    EXPECT_EQ(error, "the machine in " + directory_ + " is in use by " + holder);
    EXPECT_FALSE(std::filesystem::exists(RegistryFile()));  // nothing was started

    std::atomic<Machine *> booted{nullptr};
    std::thread waiter([&] {
        std::string waitError;
        booted = MachineTryBoot(Options(), &waitError);
    });
    // The waiter cannot get past the lock while it is held: the registry file that
    // the boot writes first does not appear until the holder lets go.
    for (int look = 0; look < 1000; ++look) {
        ASSERT_EQ(booted.load(), nullptr);
        ASSERT_FALSE(std::filesystem::exists(RegistryFile()));
        std::this_thread::yield();
    }
    MachineLockRelease(held);
    waiter.join();
    ASSERT_NE(booted.load(), nullptr);
    EXPECT_EQ(MachineLockHolder(directory_).rfind("pid " + std::to_string(getpid()) + " (", 0), 0u);
    MachineShutdown(booted);
    EXPECT_EQ(MachineLockHolder(directory_), "");
}

// A program whose first platform call finds the machine held, with
// KELU_MACHINE_NO_WAIT set, ends at once with exit status 1 and the reason.
TEST_F(MachineStateTest, AProgramThatMustNotWaitEndsWithTheReason) {
    std::string error;
    MachineLock *held = MachineLockAcquire(directory_, MachineLockWait::kWait, "the test", &error);
    ASSERT_NE(held, nullptr) << error;
    int errors[2];
    ASSERT_EQ(pipe(errors), 0);
    pid_t program = fork();
    if (program == 0) {
        dup2(errors[1], 2);
        setenv("KELU_MACHINE_DIR", directory_.c_str(), 1);
        setenv("KELU_MACHINE_NO_WAIT", "1", 1);
        MachineCurrent();
        _exit(0);
    }
    close(errors[1]);
    std::string said;
    char buffer[256];
    for (ssize_t count; (count = read(errors[0], buffer, sizeof buffer)) > 0;) said.append(buffer, size_t(count));
    close(errors[0]);
    int status = 0;
    waitpid(program, &status, 0);
    MachineLockRelease(held);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(said, "The machine cannot start: the machine in " + directory_ + " is in use by pid " +
                        std::to_string(getpid()) + " (the test).\n");
}

// The operating system drops the lock with the process that held it, however it ends.
TEST_F(MachineStateTest, AKilledHolderLeavesTheMachineFree) {
    int ready[2], hold[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);
    pid_t child = fork();
    if (child == 0) {
        std::string error;
        MachineLockAcquire(directory_, MachineLockWait::kWait, "the child", &error);
        char byte = 1;
        close(hold[1]);
        // Then holds the lock until it is killed, or the test ends and closes `hold`.
        if (write(ready[1], &byte, 1) != 1 || read(hold[0], &byte, 1) != 0) _exit(1);
        _exit(0);
    }
    char byte;
    bool holding = read(ready[0], &byte, 1) == 1;
    std::string error;
    MachineLock *taken = MachineLockAcquire(directory_, MachineLockWait::kFailAtOnce, "", &error);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    for (int end : {ready[0], ready[1], hold[0], hold[1]}) close(end);
    ASSERT_TRUE(holding);
    EXPECT_EQ(taken, nullptr);
    EXPECT_NE(error.find("pid " + std::to_string(child) + " (the child)"), std::string::npos) << error;
    Machine *machine = MachineTryBoot(Options(MachineLockWait::kFailAtOnce), &error);
    ASSERT_NE(machine, nullptr) << error;
    MachineShutdown(machine);
}

// A file that does not read back whole stops the boot and stays as it was: a line
// that is no registry line, a value cut off in the middle, and every cut of a file
// the machine wrote, down to the empty file.
TEST_F(MachineStateTest, ADamagedRegistryFileIsRefusedAndKept) {
    std::string good = WrittenRegistry();
    ExpectRefused("garbage\n", " at line 1 (\"garbage\")");
    size_t value = good.find("\"Start\"=dword:");
    ASSERT_NE(value, std::string::npos) << good;
    size_t line = size_t(std::count(good.begin(), good.begin() + value, '\n')) + 1;
    std::string cut = good.substr(0, value + 16) + "\n" + good.substr(good.find('\n', value) + 1);
    ExpectRefused(cut, " at line " + std::to_string(line) + " (\"\"Start\"=dword:00\")");
    ExpectRefused("[\\Registry\\Machine]\n\"Map\"=hex(3):ff,f\n", " at line 2");
    ExpectRefused("\"Orphan\"=dword:00000001\n", " at line 1");
    for (size_t length = 0; length < good.size(); ++length) {
        SCOPED_TRACE(length);
        ExpectRefused(good.substr(0, length), length == 0 ? ": it is empty" : "");
    }

    // The whole file boots, with its value.
    WriteFile(RegistryFile(), good);
    Machine *machine = MachineBoot(Options());
    ULONG start = 0;
    EXPECT_EQ(RegistryQueryDword(kService, u"Start", &start), STATUS_SUCCESS);
    EXPECT_EQ(start, 3u);
    MachineShutdown(machine);
}

// A file written before the file had its last line is read as it is.
TEST_F(MachineStateTest, AFileOfTheEarlierKindStillBoots) {
    WriteFile(RegistryFile(),
              "; Registry of an emulated machine. Written on every change.\n"
              "[\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kelu]\n"
              "\"Start\"=dword:00000003\n");
    Machine *machine = MachineBoot(Options());
    ULONG start = 0;
    EXPECT_EQ(RegistryQueryDword(kService, u"Start", &start), STATUS_SUCCESS);
    EXPECT_EQ(start, 3u);
    MachineShutdown(machine);
    EXPECT_TRUE(ReadFile(RegistryFile()).ends_with("\n; end\n"));
}

// A writer killed at any instant, again and again, leaves a file that boots and holds
// every change the writer had finished.
TEST_F(MachineStateTest, AKilledWriterNeverLeavesAnUnreadableFile) {
    const int kRounds = 40;
    ULONG finished = 0;
    for (int round = 0; round < kRounds; ++round) {
        int saved[2];
        ASSERT_EQ(pipe(saved), 0);
        pid_t writer = fork();
        if (writer == 0) {
            close(saved[0]);
            Machine *machine = MachineBoot(Options());
            ULONG count = 0;
            RegistryQueryDword(kService, u"Count", &count);
            for (;;) {
                ++count;
                RegistrySetDword(kService, u"Count", count);
                // A second value makes the file change in length as well.
                RegistrySetString(kService, u"Text", std::u16string(count % 97, u'x'));
                if (write(saved[1], &count, sizeof count) != sizeof count) break;
            }
            MachineShutdown(machine);
            _exit(0);
        }
        close(saved[1]);
        // Kill it after a number of finished changes that varies from round to round.
        bool reported = true;
        for (int change = 0; change <= round % 7 && reported; ++change)
            reported = read(saved[0], &finished, sizeof finished) == ssize_t(sizeof finished);
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        close(saved[0]);
        ASSERT_TRUE(reported) << "round " << round;

        std::string error;
        Machine *machine = MachineTryBoot(Options(MachineLockWait::kFailAtOnce), &error);
        ASSERT_NE(machine, nullptr) << "round " << round << ": " << error;
        ULONG count = 0;
        EXPECT_EQ(RegistryQueryDword(kService, u"Count", &count), STATUS_SUCCESS);
        EXPECT_GE(count, finished) << "round " << round;
        MachineShutdown(machine);
    }
}

}  // namespace
