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

// The answer that denies a waiting open: STATUS_ACCESS_DENIED, which the refused open
// then fails with.
inline constexpr ULONG kDenyAnswer = 0xC0000022;

enum ExitStatus {
    kSuccess = 0,
    kOperationFailed = 1,
    kUsageError = 2,
};

class CommandFailure : public std::runtime_error {
public:
    // A usage error is followed by the command's synopsis unless `withSynopsis` is
    // false (a session passing on the status of a line that already said what was wrong).
    CommandFailure(ExitStatus status, const std::string &sentence, bool withSynopsis = true)
        : std::runtime_error(sentence), status_(status), withSynopsis_(withSynopsis) {}
    ExitStatus status() const { return status_; }
    bool withSynopsis() const { return withSynopsis_; }

private:
    ExitStatus status_;
    bool withSynopsis_;
};

// Failures of the command line itself.
[[noreturn]] void ThrowUsage(const std::string &sentence);

// Where a command may run: anywhere, only where applications are held (the commands
// that act as a port's application, whose handles live as long as the session or
// the server that holds them), only outside a session (a session does not nest), or
// on a machine of its own that it starts (outside a session, and never carried out by
// a running server, whose machine is the user's).
enum class CommandScope { kAnywhere, kSessionOnly, kOutsideSession, kOwnMachine };

struct Command {
    const char *name;
    const char *synopsis;  // the arguments, after the name
    const char *summary;   // one line for the command list
    const char *details;   // the rest of `kelu NAME --help`
    void (*run)(Arguments &arguments);
    CommandScope scope = CommandScope::kAnywhere;
};

// Runs one command line (the words after "kelu") as main does: help, the command, and
// a failure turned into one line on stderr. Returns the exit status.
int RunCommandLine(const std::vector<std::string> &words, bool inSession);

// The driver package that install and demo use when none is named; a usage error
// when there is none.
std::string DefaultPackageDirectory();

// The subcommands, one table per group.
extern const std::vector<Command> kPackageCommands;
extern const std::vector<Command> kPortCommands;
extern const std::vector<Command> kLineCommands;
extern const std::vector<Command> kByteCommands;
extern const std::vector<Command> kEventCommands;
extern const std::vector<Command> kSessionCommands;
extern const std::vector<Command> kDemoCommands;
extern const std::vector<Command> kServeCommands;
extern const std::vector<Command> kBenchCommands;
