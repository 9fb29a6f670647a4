// Where a running command reads, writes and keeps its applications. A command runs
// in the kelu process that was started for it, or inside `kelu serve` for a kelu
// process that forwarded it; there its input and output are the caller's own.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

// The applications that open, close, write and read hold on ports: a session's own,
// or the server's, which outlive the command that opened them.
// `holder` names them in messages ("this session").
class ApplicationTable;
std::shared_ptr<ApplicationTable> NewApplicationTable(const std::string &holder);
// Denies the opens that still wait for approval and closes every handle. A command
// still running on an application ends first (its caller must make sure that an
// open still on its way to the approval wait is denied too); none may start after.
void EndApplications(ApplicationTable &table);

struct CommandContext {
    FILE *input = stdin;
    FILE *output = stdout;
    FILE *error = stderr;
    // Carried out by a server for another process, on that process's streams.
    bool forwarded = false;
    // Null outside a session and a server: the commands that act as a port's
    // application cannot run there.
    ApplicationTable *applications = nullptr;
    // Raised when the caller went away; a command that would otherwise run until it
    // is interrupted ends.
    const std::atomic<bool> *cancelled = nullptr;
};

// The calling thread's context; a plain one when none was set.
const CommandContext &CurrentContext();
bool CurrentCommandCancelled();

// Makes `context` the calling thread's for its scope. A command that starts threads
// gives them its own context this way.
class UseContext {
public:
    explicit UseContext(const CommandContext &context);
    ~UseContext();
    UseContext(const UseContext &) = delete;
    UseContext &operator=(const UseContext &) = delete;

private:
    const CommandContext *previous_;
};
