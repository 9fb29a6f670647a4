// A network client as a port's application: telnet in, serial requests and data to
// the port; the port's data, modem and line state back out.
#include "rfc2217_connection.h"

#include "arguments.h"
#include "errors.h"
#include "event_log.h"

#include <keluapi.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace {

// How often the waits of both directions look at whether the connection should end.
const int kSliceMs = 100;
// A client may send this many telnet commands at once, and this many a second after
// that; more is a flood. Opening takes about twenty; a client that polls the modem
// state sends a few a second.
const double kCommandBurst = 256;
const double kCommandsPerSecond = 128;
// What one pass moves from the port to the client: with the socket's own buffers it
// is all the server holds for a client that does not read.
const size_t kChunk = 4096;

}  // namespace

Rfc2217Connection::Rfc2217Connection(ULONG port, int socket, std::string peer)
    : port_(port), socket_(socket), peer_(std::move(peer)), commandBudget_(kCommandBurst),
      budgetTime_(std::chrono::steady_clock::now())
{
}

Rfc2217Connection::~Rfc2217Connection() { close(socket_); }

bool Rfc2217Connection::Send(const std::vector<uint8_t> &bytes)
{
    std::lock_guard<std::mutex> guard(sendLock_);
    size_t sent = 0;
    while (sent < bytes.size()) {
        if (stop_) return false;
        ssize_t result = send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (result > 0) {
            sent += static_cast<size_t>(result);
        } else if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            pollfd ready = {socket_, POLLOUT, 0};
            poll(&ready, 1, kSliceMs);
        } else {
            stop_ = true;
            return false;
        }
    }
    return true;
}

void Rfc2217Connection::Refuse(const std::string &reason)
{
    std::string notice = "kelu: " + reason + "\r\n";
    Send(std::vector<uint8_t>(notice.begin(), notice.end()));
    shutdown(socket_, SHUT_WR);
    LogEvent(PortName(port_) + ": refused client " + peer_ + ": " + reason);
}

void Rfc2217Connection::Serve()
{
    LogEvent(PortName(port_) + ": client " + peer_ + " connected");
    DWORD error = ERROR_SUCCESS;
    served_ = ServedPort::Open(port_, &error);
    // Both an open port and a refused open deny access; the port's state tells which.
    int opened = 0;
    if (served_ == nullptr && error == ERROR_ACCESS_DENIED && keluIsPortOpened(port_, &opened) && opened) {
        Refuse(PortName(port_) + " is already open");
    } else if (served_ == nullptr) {
        Refuse("cannot open " + PortName(port_) + ": " + DescribeError(error));
    } else {
        ServeOpenPort();
        served_.reset();
        if (disconnectReason_.empty())
            LogEvent(PortName(port_) + ": client " + peer_ + " disconnected; the port is closed");
        else
            LogEvent(PortName(port_) + ": disconnected client " + peer_ + " (" + disconnectReason_ +
                     "); the port is closed");
    }
    finished_ = true;
}

void Rfc2217Connection::ServeOpenPort()
{
    LogEvent(PortName(port_) + ": opened for client " + peer_);
    control_ = std::make_unique<comport::Control>(*served_, "kelu " + PortName(port_));
    std::thread pump([this] { PumpPortToClient(); });
    uint8_t buffer[kChunk];
    while (!stop_) {
        pollfd ready = {socket_, POLLIN, 0};
        if (poll(&ready, 1, kSliceMs) <= 0) continue;
        ssize_t received = recv(socket_, buffer, sizeof buffer, 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) break;
        if (!parser_.Feed(buffer, static_cast<size_t>(received), *this) && disconnectReason_.empty())
            Disconnect("malformed telnet: " + parser_.failure());
    }
    stop_ = true;
    pump.join();
}

void Rfc2217Connection::Disconnect(const std::string &reason)
{
    if (disconnectReason_.empty()) disconnectReason_ = reason;
    stop_ = true;
}

void Rfc2217Connection::PumpPortToClient()
{
    uint8_t buffer[kChunk];
    std::vector<uint8_t> out;
    DWORD events = 0;
    while (!stop_) {
        if (comPortAgreed_) {
            if (auto notification = control_->ModemChanged(served_->ModemState()))
                Send(telnet::Subnegotiation(telnet::kComPortOption, *notification));
            if (events & (EV_BREAK | EV_ERR)) {
                if (auto notification = control_->LineStateReported(served_->TakeLineErrors()))
                    Send(telnet::Subnegotiation(telnet::kComPortOption, *notification));
            }
        }
        if (!control_->suspended()) {
            size_t read = served_->ReadWaiting(buffer, sizeof buffer);
            if (read > 0) {
                out.clear();
                telnet::AppendEscaped(out, buffer, read);
                Send(out);
                events = 0;
                continue;  // more may wait
            }
        }
        events = served_->WaitForActivity(kSliceMs);
    }
    served_->StopWaiting();
}

bool Rfc2217Connection::SpendCommandBudget()
{
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - budgetTime_).count();
    budgetTime_ = now;
    commandBudget_ = std::min(kCommandBurst, commandBudget_ + seconds * kCommandsPerSecond);
    if (commandBudget_ < 1) {
        Disconnect("flooded the server with telnet commands");
        return false;
    }
    commandBudget_ -= 1;
    return true;
}

void Rfc2217Connection::OnData(const uint8_t *bytes, size_t count)
{
    if (stop_) return;
    // While the partner does not read, the socket is not read either; a client that
    // leaves meanwhile is noticed here, so that its port does not stay open.
    auto clientGone = [this] {
        pollfd ready = {socket_, POLLRDHUP, 0};
        return stop_ || (poll(&ready, 1, 0) > 0 && (ready.revents & (POLLRDHUP | POLLHUP | POLLERR)));
    };
    if (!served_->Write(bytes, count, clientGone) && !stop_)
        Disconnect(PortName(port_) + " did not take the client's data before it left");
}

void Rfc2217Connection::OnNegotiation(uint8_t verb, uint8_t option)
{
    if (stop_ || !SpendCommandBudget()) return;
    std::vector<uint8_t> answer = negotiator_.Answer(verb, option);
    if (!answer.empty()) Send(answer);
    bool agreed = negotiator_.ClientEnabled(telnet::kComPortOption);
    if (agreed && !comPortAgreed_) {
        comPortAgreed_ = true;
        // The client learns the modem lines at once, not at their first change.
        if (auto notification = control_->ModemChanged(served_->ModemState()))
            Send(telnet::Subnegotiation(telnet::kComPortOption, *notification));
    }
    comPortAgreed_ = agreed;
}

void Rfc2217Connection::OnSubnegotiation(uint8_t option, const std::vector<uint8_t> &payload)
{
    if (stop_ || !SpendCommandBudget()) return;
    if (option != telnet::kComPortOption) return;  // options never agreed to are ignored
    auto replies = control_->Handle(payload);
    if (!replies) {
        Disconnect("malformed com port option command " + std::to_string(payload.empty() ? 0 : payload[0]));
        return;
    }
    for (const std::vector<uint8_t> &reply : *replies) Send(telnet::Subnegotiation(telnet::kComPortOption, reply));
}

void Rfc2217Connection::OnCommand(uint8_t) { SpendCommandBudget(); }
