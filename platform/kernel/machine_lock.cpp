// The state directory's lock: flock(2) on "machine.lock", with the holder's pid and
// description in the file for those that wait.
#include "machine_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

struct MachineLock {
    int file;
};

namespace {

// How long a waiter waits before it says who holds the machine. Host time: the
// waiter's own machine, which keeps the machine clock, is not booted yet.
constexpr auto kNoticeAfter = std::chrono::seconds(1);

std::string LockFilePath(const std::string &stateDirectory) {
    return stateDirectory + "/machine.lock";
}

std::string ReadWhole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// This process's command line, its words joined by spaces.
std::string CommandLine() {
    std::string words = ReadWhole("/proc/self/cmdline");
    while (!words.empty() && words.back() == '\0') words.pop_back();
    for (char &c : words)
        if (c == '\0') c = ' ';
    return words;
}

std::string HolderOrSomeone(const std::string &stateDirectory) {
    std::string holder = MachineLockHolder(stateDirectory);
    return holder.empty() ? "another process" : holder;
}

std::string InUse(const std::string &stateDirectory) {
    return "the machine in " + stateDirectory + " is in use by " + HolderOrSomeone(stateDirectory);
}

// Blocks until the lock is this process's; when that takes longer than kNoticeAfter,
// a second thread says once who holds it. Returns flock's result.
int WaitForLock(int file, const std::string &stateDirectory) {
    std::mutex lock;
    std::condition_variable acquired;
    bool done = false;
    std::thread notice([&] {
        std::unique_lock<std::mutex> guard(lock);
        if (!acquired.wait_for(guard, kNoticeAfter, [&] { return done; }))
            fprintf(stderr, "The machine in %s is in use by %s; waiting until it is free.\n",
                    stateDirectory.c_str(), HolderOrSomeone(stateDirectory).c_str());
    });
    int result;
    while ((result = flock(file, LOCK_EX)) != 0 && errno == EINTR) {
    }
    int error = errno;
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    acquired.notify_one();
    notice.join();
    errno = error;
    return result;
}

// Who holds the lock is only ever shown to people, so a failed write of it is not
// an error; these report it for the caller that cares, and the callers here do not.
bool RecordHolder(int file, const std::string &holder) {
    std::string text = "pid " + std::to_string(getpid()) + " (" +
                       (holder.empty() ? CommandLine() : holder) + ")\n";
    return ftruncate(file, 0) == 0 &&
           pwrite(file, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

bool ForgetHolder(int file) { return ftruncate(file, 0) == 0; }

bool TakeLock(int file, const std::string &stateDirectory, MachineLockWait wait,
              std::string *error) {
    if (flock(file, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EWOULDBLOCK && wait == MachineLockWait::kFailAtOnce) {
        *error = InUse(stateDirectory);
        return false;
    }
    if (errno == EWOULDBLOCK && WaitForLock(file, stateDirectory) == 0) return true;
    *error = "cannot lock " + LockFilePath(stateDirectory) + ": " + strerror(errno);
    return false;
}

}  // namespace

MachineLock *MachineLockAcquire(const std::string &stateDirectory, MachineLockWait wait,
                                const std::string &holder, std::string *error) {
    std::string path = LockFilePath(stateDirectory);
    int file = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0) {
        *error = "cannot open the lock file " + path + ": " + strerror(errno);
        return nullptr;
    }
    if (!TakeLock(file, stateDirectory, wait, error)) {
        close(file);
        return nullptr;
    }
    RecordHolder(file, holder);
    return new MachineLock{file};
}

void MachineLockRelease(MachineLock *lock) {
    if (lock == nullptr) return;
    // Emptied first, so that nobody reads this process as the holder after it let go.
    ForgetHolder(lock->file);
    close(lock->file);
    delete lock;
}

std::string MachineLockHolder(const std::string &stateDirectory) {
    std::string text = ReadWhole(LockFilePath(stateDirectory));
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}
