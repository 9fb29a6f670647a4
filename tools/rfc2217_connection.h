// One network client of a served port: the port's application for as long as it
// stays connected.
#pragma once

#include "com_port_control.h"
#include "served_port.h"
#include "telnet.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

class Rfc2217Connection final : private telnet::Listener {
public:
    // Takes over the connected socket.
    Rfc2217Connection(ULONG port, int socket, std::string peer);
    ~Rfc2217Connection();
    Rfc2217Connection(const Rfc2217Connection &) = delete;
    Rfc2217Connection &operator=(const Rfc2217Connection &) = delete;

    // Opens the port and serves the client until it leaves, breaks the protocol or
    // Stop is called; the port is closed when it returns. A port already open, or an
    // open that fails or is refused, ends the connection with a line of text.
    void Serve();
    // Ends Serve soon, from any thread. An open that waits for approval still waits.
    void Stop() { stop_ = true; }
    bool finished() const { return finished_; }

private:
    void Refuse(const std::string &reason);
    void ServeOpenPort();
    // Carries what the port receives, and its modem and line state, to the client.
    void PumpPortToClient();
    // Sends all of `bytes` unless the connection stops first; false then or when the
    // socket fails. Waits while the client does not read: that is the back-pressure
    // that stops the port's reads.
    bool Send(const std::vector<uint8_t> &bytes);
    // Counts a telnet command against the flood budget; false once it is spent.
    bool SpendCommandBudget();
    void Disconnect(const std::string &reason);

    void OnData(const uint8_t *bytes, size_t count) override;
    void OnNegotiation(uint8_t verb, uint8_t option) override;
    void OnSubnegotiation(uint8_t option, const std::vector<uint8_t> &payload) override;
    void OnCommand(uint8_t command) override;

    const ULONG port_;
    const int socket_;
    const std::string peer_;
    std::unique_ptr<ServedPort> served_;
    std::unique_ptr<comport::Control> control_;
    telnet::Parser parser_;
    telnet::Negotiator negotiator_;
    std::mutex sendLock_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<bool> comPortAgreed_{false};
    std::string disconnectReason_;  // why the server ended it; empty when the client left
    double commandBudget_;
    std::chrono::steady_clock::time_point budgetTime_;
};
