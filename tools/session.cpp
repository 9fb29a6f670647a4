// session: several commands in one process. Each kelu process runs its own embedded
// machine, so what lives only as long as a process (a port's application with its
// open handle, an open that waits for approval) can be seen by other commands only
// inside one session, or in a running `kelu serve`. Both hold the applications of the
// commands that act as a port's application: open, close, write and read.
#include "bytes.h"
#include "command.h"
#include "command_context.h"
#include "errors.h"
#include "machine_settle.h"
#include "output.h"

#include <keluapi.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <ext/stdio_filebuf.h>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// How long open --background waits for the open to reach the driver's approval wait,
// and how long a later command waits for a background open to end.
const DWORD kSettleMs = 10000;
const DWORD kPollMs = 10;

// A write that the partner cannot take in ends after this long rather than hang.
const DWORD kWriteTimeoutMs = 2000;

// The session's application on one port: an open handle, or an open that runs in the
// background until the controlling application answers it. A command holds `lock`
// while it uses the application, so commands on one port run one at a time.
struct Application {
    std::mutex lock;
    // Set, under `lock`, once the application is gone from its table: a command that
    // found it there before then acts as if it had found none.
    bool ended = false;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;  // the open's, when it failed
    std::atomic<bool> done{false};
    std::thread opener;
};

}  // namespace

// A server runs forwarded commands side by side. The table's lock guards only the
// map and is held briefly; a command then holds its application's own lock, so
// commands on different ports never wait for each other. Nobody waits for an
// application's lock while holding the table's.
class ApplicationTable {
public:
    explicit ApplicationTable(std::string holderName) : holder(std::move(holderName)) {}
    const std::string holder;  // for messages: "this session", "the server"
    std::mutex lock;
    // Shared, so that a command keeps its application alive once it lets go of the table.
    std::map<ULONG, std::shared_ptr<Application>> applications;
};

std::shared_ptr<ApplicationTable> NewApplicationTable(const std::string &holder)
{
    return std::make_shared<ApplicationTable>(holder);
}

void EndApplications(ApplicationTable &table)
{
    std::map<ULONG, std::shared_ptr<Application>> ending;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        ending.swap(table.applications);
    }
    for (auto &[port, application] : ending) {
        // An open still waiting is denied, so that its thread, or the command that
        // opens in the foreground, ends.
        if (!application->done) keluConfirmPortOpening(port, kDenyAnswer);
        // A command still using the application ends before its handle is closed; one
        // that closed it has left nothing to do.
        std::lock_guard<std::mutex> guard(application->lock);
        if (application->ended) continue;
        if (application->opener.joinable()) application->opener.join();
        if (application->handle != INVALID_HANDLE_VALUE) CloseHandle(application->handle);
        application->ended = true;
    }
}

namespace {

ApplicationTable &Applications() { return *CurrentContext().applications; }

// The application on `port`, locked for the command that uses it; none (and nothing
// locked) when the table has none there, or when it ended while the command waited
// for it.
std::shared_ptr<Application> FindApplication(ULONG port, std::unique_lock<std::mutex> *use)
{
    std::shared_ptr<Application> application;
    {
        std::lock_guard<std::mutex> guard(Applications().lock);
        auto found = Applications().applications.find(port);
        if (found == Applications().applications.end()) return nullptr;
        application = found->second;
    }
    *use = std::unique_lock<std::mutex>(application->lock);
    if (!application->ended) return application;
    use->unlock();
    return nullptr;
}

// Takes `application`, which the caller holds locked, out of the table.
void ForgetApplication(ULONG port, Application &application)
{
    application.ended = true;
    std::lock_guard<std::mutex> guard(Applications().lock);
    auto found = Applications().applications.find(port);
    if (found != Applications().applications.end() && found->second.get() == &application)
        Applications().applications.erase(found);
}

HANDLE OpenPortHandle(ULONG port, DWORD *error)
{
    std::string name = "\\\\.\\" + PortName(port);
    HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    return handle;
}

template <typename Condition>
bool WaitUntil(Condition condition)
{
    for (DWORD waited = 0; !condition(); waited += kPollMs) {
        if (waited >= kSettleMs) return false;
        Sleep(kPollMs);
    }
    return true;
}

// Collects a background open that has ended: its thread joined, its failure reported
// (and the port's application forgotten) with `what`. The caller holds the application.
void FinishOpen(ULONG port, Application &application, const std::string &what)
{
    if (application.opener.joinable()) application.opener.join();
    if (application.handle == INVALID_HANDLE_VALUE) {
        ForgetApplication(port, application);
        ThrowError(what, application.error);
    }
}

// The open handle of the application on `port`, locked in `use` for the caller,
// waiting for a background open to end.
HANDLE ApplicationHandle(ULONG port, std::shared_ptr<Application> *application, std::unique_lock<std::mutex> *use)
{
    *application = FindApplication(port, use);
    if (!*application)
        ThrowUsage(Applications().holder + " has no application on " + PortName(port) + "; 'open " + PortName(port) +
                   "' first");
    Application &found = **application;
    if (!WaitUntil([&] { return found.done.load(); }))
        throw CommandFailure(kOperationFailed, "the open of " + PortName(port) + " still waits for approval");
    FinishOpen(port, found, "the open of " + PortName(port) + " failed");
    return found.handle;
}

// A read waits up to `timeoutMs` for all it asks for; without one, or with 0 (which
// the serial timeouts would take as "no limit"), it takes what is waiting at once.
void SetReadTimeouts(HANDLE handle, std::optional<unsigned long> timeoutMs)
{
    COMMTIMEOUTS timeouts = {};
    if (timeoutMs && *timeoutMs > 0) {
        timeouts.ReadTotalTimeoutConstant = *timeoutMs;
    } else {
        timeouts.ReadIntervalTimeout = MAXDWORD;
    }
    timeouts.WriteTotalTimeoutConstant = kWriteTimeoutMs;
    SetCommTimeouts(handle, &timeouts);
}

void Open(Arguments &arguments)
{
    bool background = arguments.TakeFlag("background");
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    WaitForPluggedPorts();
    // Locked before it is in the table: a command on the port that finds it waits for
    // the open to end.
    auto application = std::make_shared<Application>();
    std::unique_lock<std::mutex> use(application->lock);
    {
        std::lock_guard<std::mutex> guard(Applications().lock);
        if (!Applications().applications.emplace(port, application).second)
            ThrowUsage(Applications().holder + " already has " + PortName(port) + " open");
    }
    if (!background) {
        application->handle = OpenPortHandle(port, &application->error);
        application->done = true;
        FinishOpen(port, *application, "cannot open " + PortName(port));
        Print("opened " + PortName(port) + "\n");
        return;
    }
    // The thread is joined before the application can go: by the command that
    // collects the open, or by EndApplications.
    Application *started = application.get();
    started->opener = std::thread([started, port] {
        started->handle = OpenPortHandle(port, &started->error);
        started->done = true;
    });
    // The driver reports a port as opened from the moment an open waits for approval.
    WaitUntil([&] {
        int opened = 0;
        return started->done || (keluIsPortOpened(port, &opened) && opened);
    });
    if (!started->done) {
        Print("the open of " + PortName(port) + " waits for approval\n");
        return;
    }
    FinishOpen(port, *started, "cannot open " + PortName(port));
    Print("opened " + PortName(port) + "\n");
}

// A close waits for a command still using the port, a read with its timeout among
// them: the handle is synchronous, so Windows would not even start the close's
// request on it before the read ended, and every read ends by its own timeout.
void Close(Arguments &arguments)
{
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    std::shared_ptr<Application> application;
    std::unique_lock<std::mutex> use;
    CloseHandle(ApplicationHandle(port, &application, &use));
    ForgetApplication(port, *application);
    Print("closed " + PortName(port) + "\n");
}

void Write(Arguments &arguments)
{
    ByteSource source = TakeByteSource(arguments);
    ULONG port = arguments.TakePort();
    std::vector<UCHAR> bytes = TakeBytes(arguments, source);
    std::shared_ptr<Application> application;
    std::unique_lock<std::mutex> use;
    HANDLE handle = ApplicationHandle(port, &application, &use);
    SetReadTimeouts(handle, std::nullopt);
    DWORD written = 0;
    if (!WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        ThrowLastError(PortName(port) + " could not write");
    if (written < bytes.size())
        throw CommandFailure(kOperationFailed, PortName(port) + " wrote only " + std::to_string(written) + " of " +
                                                   std::to_string(bytes.size()) +
                                                   " bytes: nothing took the rest in time");
    Print(PortName(port) + " wrote " + std::to_string(written) + " bytes\n");
}

void Read(Arguments &arguments)
{
    ByteSink sink = TakeByteSink(arguments);
    std::optional<unsigned long> count = arguments.TakeNumber("count");
    std::optional<unsigned long> timeout = arguments.TakeNumber("timeout");
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    if (timeout && !count) ThrowUsage("--timeout waits for --count bytes; give both");
    std::shared_ptr<Application> application;
    std::unique_lock<std::mutex> use;
    HANDLE handle = ApplicationHandle(port, &application, &use);
    SetReadTimeouts(handle, timeout);
    // Without a count, whatever is waiting, up to the largest receive buffer.
    std::vector<UCHAR> bytes(count ? *count : 0x10000);
    DWORD read = 0;
    if (!ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr))
        ThrowLastError(PortName(port) + " could not read");
    bytes.resize(read);
    EmitBytes(bytes, sink, "read", port);
    if (count && read < *count)
        throw CommandFailure(kOperationFailed, PortName(port) + " read only " + std::to_string(read) + " of " +
                                                   std::to_string(*count) + " bytes in time");
}

// Splits a line into words at blanks; double or single quotes keep blanks inside a
// word, and a # that starts a word starts a comment. False for a quote that does not end.
bool SplitWords(const std::string &line, std::vector<std::string> *words)
{
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '#' && !inWord) {
            break;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (std::isspace(static_cast<unsigned char>(c))) {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words->push_back(word);
    return quote == 0;
}

void RunLines(std::istream &input)
{
    std::string line;
    for (unsigned long number = 1; std::getline(input, line); number++) {
        std::vector<std::string> words;
        if (!SplitWords(line, &words))
            ThrowUsage("line " + std::to_string(number) + " has a quote that does not end");
        if (words.empty()) continue;
        int status = RunCommandLine(words, true);
        fflush(stdout);
        if (status != kSuccess)
            throw CommandFailure(ExitStatus(status),
                                 "stopped at line " + std::to_string(number) + " (" + words[0] + "), which failed",
                                 false);
    }
}

void Session(Arguments &arguments)
{
    std::optional<std::string> path = arguments.TakeOptionalWord();
    arguments.ExpectNothingMore();
    std::ifstream file;
    bool fromFile = path && *path != "-";
    if (fromFile) {
        file.open(*path);
        if (!file) ThrowUsage("cannot read the file " + *path);
    }
    // A session forwarded to a server reads its caller's input.
    const CommandContext &caller = CurrentContext();
    std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> callerInput;
    std::unique_ptr<std::istream> callerStream;
    if (!fromFile && caller.input != stdin) {
        callerInput = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(caller.input, std::ios::in);
        callerStream = std::make_unique<std::istream>(callerInput.get());
    }
    std::istream &input = fromFile ? file : callerStream ? *callerStream : std::cin;
    // The session's applications are its own and go away with it.
    std::shared_ptr<ApplicationTable> applications = NewApplicationTable("this session");
    CommandContext context = caller;
    context.applications = applications.get();
    UseContext use(context);
    try {
        RunLines(input);
    } catch (...) {
        EndApplications(*applications);
        throw;
    }
    EndApplications(*applications);
}

}  // namespace

const std::vector<Command> kSessionCommands = {
    {"session", "[FILE | -]", "run several commands on one machine, with applications on ports",
     "Runs the commands in FILE (or on stdin), one per line as they would follow\n"
     "'kelu', in this one process: they share one machine, so applications that the\n"
     "session opens on ports stay open from line to line. Quotes keep blanks inside\n"
     "a word; a # that starts a word starts a comment. The first\n"
     "command that fails ends the session with its exit status. At the end an open\n"
     "still waiting for approval is denied and every port is closed.\n"
     "Inside a session, open, close, write and read act as a port's application.\n",
     Session, CommandScope::kOutsideSession},
    {"open", "[--background] PORT", "(session) open a port as its application",
     "Opens PORT as an ordinary serial application would, for the rest of the\n"
     "session. With --background the open may wait for the controlling\n"
     "application's approval ('confirm PORT allow'); the command returns once the\n"
     "open waits, and a later command on the port waits for it to end.\n",
     Open, CommandScope::kSessionOnly},
    {"close", "PORT", "(session) close the session's application on a port",
     "Closes the handle that 'open PORT' gave the session.\n", Close, CommandScope::kSessionOnly},
    {"write", "PORT TEXT | PORT --hex DIGITS | PORT --file PATH", "(session) write as a port's application",
     "Writes the bytes with the session's handle on PORT, as its application. They\n"
     "go to the partner, or wait in PORT for 'take' when it has none. Exit status 1\n"
     "when not all of them could be written within two seconds.\n",
     Write, CommandScope::kSessionOnly},
    {"read", "[--count N [--timeout MS]] [--hex | --file PATH] PORT", "(session) read as a port's application",
     "Reads with the session's handle on PORT, as its application: what is waiting,\n"
     "or at most N bytes. With --timeout it waits up to MS milliseconds for N bytes;\n"
     "exit status 1 when fewer came. Prints them as they are, as hex with --hex, or\n"
     "writes them to PATH.\n",
     Read, CommandScope::kSessionOnly},
};
