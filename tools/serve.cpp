// serve: keeps the machine running for other programs. Other kelu commands on the
// same machine folder are carried out here, and ports are served over RFC 2217.
#include "command.h"
#include "command_context.h"
#include "errors.h"
#include "event_log.h"
#include "forwarding.h"
#include "machine_settle.h"
#include "rfc2217_endpoint.h"

#include <keluapi.h>

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

// While the server stops, opens that wait for approval are denied this often, so
// that no thread stays in one; a client may have just started one.
const auto kDenyInterval = std::chrono::milliseconds(100);

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
    if (CurrentContext().forwarded)
        throw CommandFailure(kOperationFailed, "a server already runs on " + MachineFolder());
    for (size_t i = 0; i < addresses.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (addresses[i].port == addresses[j].port) ThrowUsage(PortName(addresses[i].port) + " is served twice");

    // The signals are taken by this thread alone, with sigwait; every thread started
    // from here on, the machine's included, inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A caller or client that goes away must not take the server with it.
    signal(SIGPIPE, SIG_IGN);
    // Forwarded commands run in their callers' working directories; the machine's
    // folder must not move with them.
    std::error_code error;
    std::string folder = std::filesystem::absolute(MachineFolder(), error).string();
    setenv("KELU_MACHINE_DIR", folder.c_str(), 1);

    WaitForPluggedPorts();  // boots the machine, which this process now holds
    std::vector<std::unique_ptr<Rfc2217Endpoint>> endpoints;
    for (const EndpointAddress &address : addresses) endpoints.push_back(std::make_unique<Rfc2217Endpoint>(address));
    std::shared_ptr<ApplicationTable> applications = NewApplicationTable();
    ForwardingServer forwarding(applications);
    LogEvent("serving the machine in " + folder + " (process " + std::to_string(getpid()) + ")");
    forwarding.Start();
    for (auto &endpoint : endpoints) endpoint->Start();
    LogEvent("ready; stop with Ctrl-C or SIGTERM");

    int received = 0;
    sigwait(&stopSignals, &received);
    LogEvent(std::string("stopping (") + (received == SIGINT ? "SIGINT" : "SIGTERM") + ")");
    StopEverything(forwarding, endpoints, *applications);
    LogEvent("stopped; the machine shuts down");
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
