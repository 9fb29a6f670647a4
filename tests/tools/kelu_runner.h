// Runs the built kelu command in a child process on a state directory of the test's
// own, as a user would from a shell, and collects what it printed and its exit status.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
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

    KeluRun Run(const std::vector<std::string> &arguments) const
    {
        std::string outPath = (root_ / "stdout").string();
        std::string errPath = (root_ / "stderr").string();
        pid_t child = fork();
        if (child == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, 1);
            dup2(err, 2);
            setenv("KELU_MACHINE_DIR", machineDirectory().c_str(), 1);
            std::vector<char *> argv = {const_cast<char *>(KELU_TOOL_PATH)};
            for (const std::string &argument : arguments) argv.push_back(const_cast<char *>(argument.c_str()));
            argv.push_back(nullptr);
            execv(KELU_TOOL_PATH, argv.data());
            _exit(127);
        }
        int wstatus = 0;
        waitpid(child, &wstatus, 0);
        KeluRun run;
        run.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        run.out = ReadText(outPath);
        run.err = ReadText(errPath);
        return run;
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
