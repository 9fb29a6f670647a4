// A port served over RFC 2217: a listening TCP socket whose client is the port's
// application.
#pragma once

#include <windows.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <thread>

class Rfc2217Connection;

// Where COMn is served: "COM1=7001", "COM1=HOST:7001" or "COM1=[::1]:7001". Without a
// host only this computer can connect (127.0.0.1). Port 0 takes any free port.
struct EndpointAddress {
    ULONG port = 0;
    std::string host = "127.0.0.1";
    unsigned short tcpPort = 0;
};
// A usage error for text that is no such address.
EndpointAddress ParseEndpointAddress(const std::string &text);

class Rfc2217Endpoint {
public:
    // Binds and listens; a CommandFailure when the address cannot be had.
    explicit Rfc2217Endpoint(const EndpointAddress &address);
    // Stops first if still running.
    ~Rfc2217Endpoint();
    Rfc2217Endpoint(const Rfc2217Endpoint &) = delete;
    Rfc2217Endpoint &operator=(const Rfc2217Endpoint &) = delete;

    // Accepts clients in a thread of its own, each served in a thread of its own.
    void Start();
    // Stops accepting, ends every connection and waits for their threads.
    void Stop();
    // "127.0.0.1:7001", with the port the system gave for port 0.
    const std::string &boundAddress() const { return bound_; }

private:
    struct Client {
        std::unique_ptr<Rfc2217Connection> connection;
        std::thread thread;
    };
    void AcceptClients();
    void ReapFinished();

    ULONG port_;
    int listener_ = -1;
    std::string bound_;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::list<Client> clients_;  // the acceptor's own, until Stop has joined it
};
