// Runs the built kelu command in a child process on a state directory of the test's
// own, as a user would from a shell, and collects what it printed and its exit status.
#pragma once

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

struct KeluRun {
    int status = -1;  // the exit status; -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// A kelu command running in a child process: its stdin, stdout and stderr are pipes
// of the test's, and what it printed so far is kept as it is read.
struct KeluChild {
    pid_t pid = -1;
    int input = -1;  // closed by CloseInput or Finish
    int output = -1;
    int errors = -1;
    KeluRun run;
};

inline std::ostream &operator<<(std::ostream &stream, const KeluRun &run)
{
    return stream << "exit " << run.status << "\nstdout: " << run.out << "\nstderr: " << run.err;
}

class KeluCommandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = std::filesystem::temp_directory_path() /
                ("kelu-tool-" + std::to_string(getpid()) + "-" + test->test_suite_name() + "-" + test->name());
        std::filesystem::remove_all(root_);
        std::filesystem::create_directories(root_);
    }

    void TearDown() override
    {
        std::error_code error;
        std::filesystem::remove_all(root_, error);
    }

    // The machine's state directory: the same for every run of one test.
    std::string machineDirectory() const { return (root_ / "machine").string(); }
    std::filesystem::path scratch() const { return root_; }

    // Starts kelu with the arguments; Finish waits for it to end.
    KeluChild Start(const std::vector<std::string> &arguments) const
    {
        int input[2], output[2], errors[2];
        EXPECT_EQ(pipe2(input, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(output, O_CLOEXEC), 0);
        EXPECT_EQ(pipe2(errors, O_CLOEXEC), 0);
        std::vector<char *> argv = {const_cast<char *>(KELU_TOOL_PATH)};
        for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
        argv.push_back(nullptr);
        pid_t child = fork();
        if (child == 0) {
            dup2(input[0], 0);
            dup2(output[1], 1);
            dup2(errors[1], 2);
            setenv("KELU_MACHINE_DIR", machineDirectory().c_str(), 1);
            execv(KELU_TOOL_PATH, argv.data());
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        close(errors[1]);
        KeluChild started;
        started.pid = child;
        started.input = input[1];
        started.output = output[0];
        started.errors = errors[0];
        return started;
    }

    // Blocks until the child's stdout (or stderr) holds `text`, or the stream ends.
    // Returns whether it came.
    static bool ReadUntil(KeluChild &child, const std::string &text, bool fromErrors = false)
    {
        std::string &seen = fromErrors ? child.run.err : child.run.out;
        while (seen.find(text) == std::string::npos)
            if (!ReadSome(child, fromErrors ? child.errors : child.output)) return false;
        return true;
    }

    static void Send(const KeluChild &child, const std::string &line)
    {
        ASSERT_EQ(write(child.input, line.data(), line.size()), ssize_t(line.size()));
    }

    static void CloseInput(KeluChild &child)
    {
        if (child.input >= 0) close(child.input);
        child.input = -1;
    }

    // Reads what the child prints until it exits, and collects its exit status.
    static KeluRun Finish(KeluChild &child)
    {
        CloseInput(child);
        pollfd streams[2] = {{child.output, POLLIN, 0}, {child.errors, POLLIN, 0}};
        while (streams[0].fd >= 0 || streams[1].fd >= 0) {
            if (poll(streams, 2, -1) < 0) continue;
            for (pollfd &stream : streams)
                if (stream.fd >= 0 && stream.revents != 0 && !ReadSome(child, stream.fd)) stream.fd = -1;
        }
        close(child.output);
        close(child.errors);
        int wstatus = 0;
        waitpid(child.pid, &wstatus, 0);
        child.run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        return child.run;
    }

    KeluRun Run(const std::vector<std::string> &arguments) const
    {
        KeluChild child = Start(arguments);
        return Finish(child);
    }

    // Runs and expects success.
    KeluRun Ok(const std::vector<std::string> &arguments) const
    {
        KeluRun run = Run(arguments);
        EXPECT_EQ(run.status, 0) << run;
        return run;
    }

    void InstallAndPlugIn(std::initializer_list<const char *> ports) const
    {
        Ok({"install"});
        for (const char *port : ports) Ok({"plugin", port});
    }

    static std::string ReadText(const std::string &path)
    {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    // Appends what one read of the stream gives to what the child printed there;
    // false at its end.
    static bool ReadSome(KeluChild &child, int stream)
    {
        char buffer[4096];
        ssize_t count;
        while ((count = read(stream, buffer, sizeof buffer)) < 0 && errno == EINTR) {
        }
        if (count <= 0) return false;
        (stream == child.errors ? child.run.err : child.run.out).append(buffer, size_t(count));
        return true;
    }

private:
    std::filesystem::path root_;
};

// A failure is one sentence on stderr, "kelu COMMAND: ... .", and for a refused
// operation it names the Win32 error and its number.
inline void ExpectOneSentenceError(const KeluRun &run, const std::string &command)
{
    ASSERT_FALSE(run.err.empty()) << run;
    std::string first = run.err.substr(0, run.err.find('\n'));
    EXPECT_EQ(first.rfind("kelu " + command + ": ", 0), 0u) << run;
    EXPECT_EQ(first.back(), '.') << run;
}
