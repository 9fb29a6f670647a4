// wait: a port's notification events, printed as they come.
#include "command.h"
#include "command_context.h"
#include "errors.h"
#include "machine_settle.h"
#include "output.h"

#include <keluapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

struct EventKind {
    const char *name;
    HANDLE (*open)(ULONG port);
};

const EventKind kEventKinds[] = {
    {"open", keluGetOpenCloseEvent},
    {"data", keluGetDataEvent},
    {"settings", keluGetSettingsEvent},
    {"flow", keluGetFlowEvent},
};

// The platform offers only single-object waits, so each event gets a thread. They
// wait in short slices so that all of them notice when the count is reached. Times
// are the host's: the command runs on the embedded machine, whose clock is real.
const DWORD kSliceMs = 50;

class EventWatch {
public:
    EventWatch(ULONG port, std::optional<unsigned long> count, std::optional<unsigned long> timeoutMs)
        : port_(port), count_(count), timeoutMs_(timeoutMs), start_(std::chrono::steady_clock::now()) {}

    void Watch(const EventKind &kind, HANDLE event)
    {
        while (!done_ && !CurrentCommandCancelled()) {
            DWORD slice = kSliceMs;
            if (timeoutMs_) {
                unsigned long elapsed = ElapsedMs();
                if (elapsed >= *timeoutMs_) break;
                slice = std::min<unsigned long>(slice, *timeoutMs_ - elapsed);
            }
            DWORD result = WaitForSingleObject(event, slice);
            if (result == WAIT_OBJECT_0) {
                Report(kind);
            } else if (result != WAIT_TIMEOUT) {
                std::lock_guard<std::mutex> guard(lock_);
                if (!failure_) failure_ = GetLastError();
                done_ = true;
            }
        }
    }

    unsigned long seen() const { return seen_; }
    std::optional<DWORD> failure() const { return failure_; }

private:
    unsigned long ElapsedMs() const
    {
        return static_cast<unsigned long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start_)
                                              .count());
    }

    void Report(const EventKind &kind)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (done_) return;
        std::ostringstream line;
        line << "+" << ElapsedMs() << " ms " << PortName(port_) << " " << kind.name << "\n";
        Print(line.str());
        fflush(stdout);
        seen_++;
        if (count_ && seen_ >= *count_) done_ = true;
    }

    ULONG port_;
    std::optional<unsigned long> count_;
    std::optional<unsigned long> timeoutMs_;
    std::chrono::steady_clock::time_point start_;
    std::mutex lock_;
    std::atomic<bool> done_{false};
    unsigned long seen_ = 0;
    std::optional<DWORD> failure_;
};

std::vector<const EventKind *> ParseKinds(const std::optional<std::string> &list)
{
    std::vector<const EventKind *> kinds;
    if (!list) {
        for (const EventKind &kind : kEventKinds) kinds.push_back(&kind);
        return kinds;
    }
    std::stringstream words(*list);
    std::string word;
    while (std::getline(words, word, ',')) {
        const EventKind *found = nullptr;
        for (const EventKind &kind : kEventKinds)
            if (word == kind.name) found = &kind;
        if (found == nullptr)
            ThrowUsage("'" + word + "' is not an event: the events are open, data, settings and flow");
        kinds.push_back(found);
    }
    return kinds;
}

void Wait(Arguments &arguments)
{
    std::vector<const EventKind *> kinds = ParseKinds(arguments.TakeValue("on"));
    std::optional<unsigned long> count = arguments.TakeNumber("count");
    std::optional<unsigned long> timeout = arguments.TakeNumber("timeout");
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    if (count && *count == 0) ThrowUsage("--count must be at least 1");
    WaitForPluggedPorts();

    std::vector<HANDLE> events;
    for (const EventKind *kind : kinds) {
        HANDLE event = kind->open(port);
        if (event == nullptr) {
            DWORD error = GetLastError();
            for (HANDLE opened : events) CloseHandle(opened);
            ThrowError("cannot watch the " + std::string(kind->name) + " event of " + PortName(port), error);
        }
        events.push_back(event);
    }
    EventWatch watch(port, count, timeout);
    std::vector<std::thread> watchers;
    const CommandContext &context = CurrentContext();
    for (size_t i = 0; i < kinds.size(); i++) {
        watchers.emplace_back([&, i] {
            UseContext use(context);
            watch.Watch(*kinds[i], events[i]);
        });
    }
    for (std::thread &watcher : watchers) watcher.join();
    for (HANDLE event : events) CloseHandle(event);

    if (watch.failure()) ThrowError("waiting on the events of " + PortName(port) + " failed", *watch.failure());
    if (count && watch.seen() < *count)
        throw CommandFailure(kOperationFailed, "timed out after " + std::to_string(watch.seen()) + " of " +
                                                   std::to_string(*count) + " events on " + PortName(port));
}

}  // namespace

const std::vector<Command> kEventCommands = {
    {"wait", "[--on open,data,settings,flow] [--count N] [--timeout MS] PORT",
     "print a port's events as they come",
     "Waits on PORT's notification events (all four, or those given with --on) and\n"
     "prints one line per event: the milliseconds since the start, the port and the\n"
     "event. open: the port was opened or closed; data: its application wrote;\n"
     "settings: its settings changed; flow: its flow-control state changed.\n"
     "Ends after N events or MS milliseconds; without either it runs until it is\n"
     "interrupted. Exit status 1 when the time ran out before N events came.\n",
     Wait},
};
