// serve: keeps the machine running for other programs. Other kelu commands on the
// same machine folder are carried out here, and ports are served over RFC 2217.
#include "command.h"
#include "command_context.h"
#include "errors.h"
#include "event_log.h"
#include "forwarding.h"
#include "host.h"
#include "machine_settle.h"
#include "rfc2217_endpoint.h"

#include <keluapi.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

// While the server stops, opens that wait for approval are denied this often, so
// that no thread stays in one; a client may have just started one.
const auto kDenyInterval = std::chrono::milliseconds(100);

// Until the server is ready (it may wait for the machine while another process holds
// it) a stop signal ends it as it would end any command; from then on it starts the
// orderly stop, from whichever thread it arrives on.
std::atomic<bool> g_serving{false};
int g_stopPipe[2] = {-1, -1};

void OnStopSignal(int number)
{
    if (!g_serving) {
        signal(number, SIG_DFL);
        raise(number);
        return;
    }
    char byte = static_cast<char>(number);
    // The pipe holds far more stops than anyone sends; the first one is what counts.
    [[maybe_unused]] ssize_t written = write(g_stopPipe[1], &byte, 1);
}

void DenyWaitingOpens(const std::vector<ULONG> &ports)
{
    for (ULONG port : ports) {
        int opened = 0;
        // An answer given to an open port goes nowhere; the machine stops anyway.
        if (keluIsPortOpened(port, &opened) && opened) keluConfirmPortOpening(port, kDenyAnswer);
    }
}

// Ends what runs in the server's threads. A thread may wait in an open for
// approval, so opens are denied until every one has ended.
void StopEverything(ForwardingServer &forwarding, std::vector<std::unique_ptr<Rfc2217Endpoint>> &endpoints,
                    ApplicationTable &applications)
{
    std::vector<ULONG> plugged = WaitForPluggedPorts();
    std::mutex lock;
    std::condition_variable stopped;
    bool done = false;
    std::thread denier([&] {
        std::unique_lock<std::mutex> guard(lock);
        while (!done) {
            DenyWaitingOpens(plugged);
            stopped.wait_for(guard, kDenyInterval);
        }
    });
    forwarding.Stop();
    for (auto &endpoint : endpoints) endpoint->Stop();
    EndApplications(applications);
    {
        std::lock_guard<std::mutex> guard(lock);
        done = true;
    }
    stopped.notify_all();
    denier.join();
}

void Serve(Arguments &arguments)
{
    std::vector<EndpointAddress> addresses;
    while (std::optional<std::string> text = arguments.TakeValue("rfc2217"))
        addresses.push_back(ParseEndpointAddress(*text));
    arguments.ExpectNothingMore();
    for (size_t i = 0; i < addresses.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (addresses[i].port == addresses[j].port) ThrowUsage(PortName(addresses[i].port) + " is served twice");
    if (CurrentContext().forwarded)
        throw CommandFailure(kOperationFailed, "a server already runs on " + MachineFolder());

    if (pipe2(g_stopPipe, O_CLOEXEC) != 0)
        throw CommandFailure(kOperationFailed, std::string("cannot set up the stop signals: ") + strerror(errno));
    struct sigaction onStop = {};
    onStop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &onStop, nullptr);
    sigaction(SIGTERM, &onStop, nullptr);
    // A caller or client that goes away must not take the server with it.
    signal(SIGPIPE, SIG_IGN);
    // Forwarded commands run in their callers' working directories; the machine's
    // folder must not move with them.
    std::error_code error;
    std::string folder = std::filesystem::absolute(MachineFolder(), error).string();
    setenv("KELU_MACHINE_DIR", folder.c_str(), 1);

    StartMachine();  // this process holds the machine from here until it exits
    std::vector<std::unique_ptr<Rfc2217Endpoint>> endpoints;
    for (const EndpointAddress &address : addresses) endpoints.push_back(std::make_unique<Rfc2217Endpoint>(address));
    std::shared_ptr<ApplicationTable> applications = NewApplicationTable("the server");
    ForwardingServer forwarding(applications);
    LogEvent("serving the machine in " + folder + " (process " + std::to_string(getpid()) + ")");
    forwarding.Start();
    for (auto &endpoint : endpoints) endpoint->Start();
    g_serving = true;
    LogEvent("ready; stop with Ctrl-C or SIGTERM");

    char received = 0;
    while (read(g_stopPipe[0], &received, 1) != 1) {
    }
    LogEvent(std::string("stopping (") + (received == SIGINT ? "SIGINT" : "SIGTERM") + ")");
    StopEverything(forwarding, endpoints, *applications);
    LogEvent("stopped; the machine shuts down");
    // Later stops end the process as they would any command.
    g_serving = false;
    close(g_stopPipe[0]);
    close(g_stopPipe[1]);
}

}  // namespace

const std::vector<Command> kServeCommands = {
    {"serve", "[--rfc2217 COMn=[HOST:]PORT]...", "run the machine for other programs until interrupted",
     "Boots the machine and keeps it running in the foreground until SIGINT (Ctrl-C)\n"
     "or SIGTERM, then closes what is open and shuts it down; exit status 0.\n"
     "Meanwhile every other kelu command on the same machine folder is carried out\n"
     "by this server, with the caller's output and exit status; open, close, write\n"
     "and read then act as an application that the server holds, so 'kelu open COM1'\n"
     "in one shell and 'kelu write COM1 hi' in another work together.\n"
     "Each --rfc2217 serves a port over RFC 2217 (the Telnet com port option) at\n"
     "HOST:PORT; without a host only this computer can connect (127.0.0.1). A TCP\n"
     "client there is the port's application: connecting opens the port (an open that\n"
     "needs approval waits for 'kelu confirm'), disconnecting closes it; baud rate,\n"
     "line settings, handshake lines and flow control travel with the data.\n"
     "Prints one line per event: listening, clients connected, refused and gone.\n",
     Serve, CommandScope::kOutsideSession},
};
