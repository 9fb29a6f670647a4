// Listening for a served port's clients.
#include "rfc2217_endpoint.h"

#include "command.h"
#include "event_log.h"
#include "rfc2217_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// How often the acceptor looks at whether it should stop.
const int kSliceMs = 100;

std::string DescribeSocketAddress(const sockaddr *address)
{
    char host[INET6_ADDRSTRLEN] = "?";
    unsigned short port = 0;
    if (address->sa_family == AF_INET) {
        auto *ipv4 = reinterpret_cast<const sockaddr_in *>(address);
        inet_ntop(AF_INET, &ipv4->sin_addr, host, sizeof host);
        port = ntohs(ipv4->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    auto *ipv6 = reinterpret_cast<const sockaddr_in6 *>(address);
    inet_ntop(AF_INET6, &ipv6->sin6_addr, host, sizeof host);
    port = ntohs(ipv6->sin6_port);
    return "[" + std::string(host) + "]:" + std::to_string(port);
}

}  // namespace

EndpointAddress ParseEndpointAddress(const std::string &text)
{
    EndpointAddress address;
    size_t equals = text.find('=');
    std::optional<ULONG> port = ParsePort(text.substr(0, equals));
    if (equals == std::string::npos || !port)
        ThrowUsage("'" + text + "' is not COMn=HOST:PORT (or COMn=PORT for this computer only)");
    address.port = *port;
    std::string where = text.substr(equals + 1);
    size_t colon = where.rfind(':');
    std::string tcpPort = colon == std::string::npos ? where : where.substr(colon + 1);
    if (colon != std::string::npos) {
        address.host = where.substr(0, colon);
        if (address.host.size() >= 2 && address.host.front() == '[' && address.host.back() == ']')
            address.host = address.host.substr(1, address.host.size() - 2);
        if (address.host.empty()) ThrowUsage("'" + text + "' names no host before the TCP port");
    }
    std::optional<unsigned long> number = ParseNumber(tcpPort);
    if (!number || *number > 65535) ThrowUsage("'" + tcpPort + "' in '" + text + "' is not a TCP port (0 to 65535)");
    address.tcpPort = static_cast<unsigned short>(*number);
    return address;
}

Rfc2217Endpoint::Rfc2217Endpoint(const EndpointAddress &address) : port_(address.port)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo *found = nullptr;
    std::string service = std::to_string(address.tcpPort);
    int result = getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    std::string where = address.host + ":" + service;
    if (result != 0)
        throw CommandFailure(kOperationFailed, "cannot serve " + PortName(port_) + " at " + where + ": " +
                                                   gai_strerror(result));
    int error = 0;
    for (addrinfo *each = found; each != nullptr && listener_ < 0; each = each->ai_next) {
        int candidate = socket(each->ai_family, each->ai_socktype | SOCK_CLOEXEC, each->ai_protocol);
        int reuse = 1;
        if (candidate >= 0) setsockopt(candidate, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        if (candidate >= 0 && bind(candidate, each->ai_addr, each->ai_addrlen) == 0 && listen(candidate, 8) == 0) {
            listener_ = candidate;
        } else {
            error = errno;
            if (candidate >= 0) close(candidate);
        }
    }
    freeaddrinfo(found);
    if (listener_ < 0)
        throw CommandFailure(kOperationFailed, "cannot serve " + PortName(port_) + " at " + where + ": " +
                                                   strerror(error));
    sockaddr_storage bound = {};
    socklen_t length = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr *>(&bound), &length);
    bound_ = DescribeSocketAddress(reinterpret_cast<sockaddr *>(&bound));
}

Rfc2217Endpoint::~Rfc2217Endpoint()
{
    Stop();
    if (listener_ >= 0) close(listener_);
}

void Rfc2217Endpoint::Start()
{
    LogEvent(PortName(port_) + ": listening on " + bound_);
    acceptor_ = std::thread([this] { AcceptClients(); });
}

void Rfc2217Endpoint::Stop()
{
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
}

void Rfc2217Endpoint::ReapFinished()
{
    for (auto client = clients_.begin(); client != clients_.end();) {
        if (client->connection->finished()) {
            client->thread.join();
            client = clients_.erase(client);
        } else {
            ++client;
        }
    }
}

void Rfc2217Endpoint::AcceptClients()
{
    while (!stop_) {
        ReapFinished();
        pollfd ready = {listener_, POLLIN, 0};
        if (poll(&ready, 1, kSliceMs) <= 0) continue;
        sockaddr_storage peer = {};
        socklen_t length = sizeof peer;
        int socket = accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (socket < 0) continue;
        // One byte goes out at once: a serial line has no use for coalescing.
        int noDelay = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        auto connection = std::make_unique<Rfc2217Connection>(
            port_, socket, DescribeSocketAddress(reinterpret_cast<sockaddr *>(&peer)));
        Rfc2217Connection *served = connection.get();
        clients_.push_back({std::move(connection), std::thread([served] { served->Serve(); })});
    }
    for (Client &client : clients_) client.connection->Stop();
    for (Client &client : clients_) client.thread.join();
    clients_.clear();
}
