// What every subcommand of the kelu command shares: its entry in the command table,
// and how a failure leaves it.
//
// A subcommand runs to its end and returns normally on success (exit status 0). It
// fails by throwing CommandFailure, which main turns into one line on stderr and the
// exit status it carries: kUsageError for a command line the tool cannot accept,
// kOperationFailed when the system refused what was asked.
#pragma once

#include "arguments.h"

#include <stdexcept>
#include <string>
#include <vector>

enum ExitStatus {
    kSuccess = 0,
    kOperationFailed = 1,
    kUsageError = 2,
};

class CommandFailure : public std::runtime_error {
public:
    CommandFailure(ExitStatus status, const std::string &sentence)
        : std::runtime_error(sentence), status_(status) {}
    ExitStatus status() const { return status_; }

private:
    ExitStatus status_;
};

// Failures of the command line itself.
[[noreturn]] void ThrowUsage(const std::string &sentence);

struct Command {
    const char *name;
    const char *synopsis;  // the arguments, after the name
    const char *summary;   // one line for the command list
    const char *details;   // the rest of `kelu NAME --help`
    void (*run)(Arguments &arguments);
};

// The driver package that install and demo use when none is named; a usage error
// when there is none.
std::string DefaultPackageDirectory();

// The subcommands, one table per group.
extern const std::vector<Command> kPackageCommands;
extern const std::vector<Command> kPortCommands;
extern const std::vector<Command> kLineCommands;
extern const std::vector<Command> kByteCommands;
extern const std::vector<Command> kEventCommands;
extern const std::vector<Command> kDemoCommands;
