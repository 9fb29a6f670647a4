// kelu commands carried out by a running `kelu serve`: the local socket in the
// machine folder, the caller's side (ForwardToServer, in host.h) and the server's.
#pragma once

#include "command_context.h"

#include <atomic>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The machine folder, as the embedded machine finds it ($KELU_MACHINE_DIR and its
// defaults); reading it starts nothing.
std::string MachineFolder();

class ForwardingServer {
public:
    // Listens on the machine folder's socket, readable and writable by this user
    // only. Forwarded commands hold their port applications in `applications`.
    // A CommandFailure when the socket cannot be made.
    explicit ForwardingServer(std::shared_ptr<ApplicationTable> applications);
    ~ForwardingServer();
    ForwardingServer(const ForwardingServer &) = delete;
    ForwardingServer &operator=(const ForwardingServer &) = delete;

    void Start();
    // Stops accepting, cancels the commands in flight and waits for them to end;
    // removes the socket.
    void Stop();
    const std::string &path() const { return path_; }

private:
    struct Caller;
    void AcceptCallers();
    void CloseListener();
    void Serve(Caller &caller);

    std::shared_ptr<ApplicationTable> applications_;
    std::string path_;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::list<std::unique_ptr<Caller>> callers_;  // the acceptor's own
};
