// plugin, unplug, list, connect, disconnect and confirm: ports, pairs and opens.
#include "command.h"
#include "errors.h"
#include "machine_settle.h"
#include "output.h"

#include <keluapi.h>

#include <algorithm>

namespace {

void Plugin(Arguments &arguments)
{
    bool confirm = arguments.TakeFlag("confirm");
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    std::vector<ULONG> plugged = WaitForPluggedPorts();
    bool wasPlugged = std::find(plugged.begin(), plugged.end(), port) != plugged.end();
    if (!keluPluginPort(port, confirm ? 1 : 0)) {
        // The bus may have taken the port although its confirmation flag could not be
        // recorded; say so, since the port then exists.
        DWORD error = GetLastError();
        int pluggedIn = 0;
        if (!wasPlugged && keluIsPortPluggedIn(port, &pluggedIn) && pluggedIn)
            ThrowError(PortName(port) + " is plugged in but its open confirmation could not be set",
                       error);
        ThrowError("cannot plug in " + PortName(port), error);
    }
    Print("plugged in " + PortName(port) +
          (confirm ? "; opening it waits for 'kelu confirm'\n" : "\n"));
}

void Unplug(Arguments &arguments)
{
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    WaitForPluggedPorts();
    if (!keluUnplugPort(port)) ThrowLastError("cannot unplug " + PortName(port));
    Print("unplugged " + PortName(port) + "\n");
}

void ConnectOrDisconnect(Arguments &arguments, bool connect)
{
    ULONG first = arguments.TakePort("the first port");
    ULONG second = arguments.TakePort("the second port");
    arguments.ExpectNothingMore();
    if (first == second) ThrowUsage("a port cannot be paired with itself");
    WaitForPluggedPorts();
    std::string pair = PortName(first) + " and " + PortName(second);
    if (connect ? !keluConnectPorts(first, second) : !keluDisconnectPorts(first, second))
        ThrowLastError(std::string(connect ? "cannot connect " : "cannot disconnect ") + pair);
    Print((connect ? "connected " : "disconnected ") + pair + "\n");
}

void Connect(Arguments &arguments) { ConnectOrDisconnect(arguments, true); }
void Disconnect(Arguments &arguments) { ConnectOrDisconnect(arguments, false); }

void Confirm(Arguments &arguments)
{
    ULONG port = arguments.TakePort();
    std::string answerText = arguments.TakeWord("the answer (allow, deny or a status)");
    arguments.ExpectNothingMore();
    ULONG answer;
    if (answerText == "allow") {
        answer = 0;
    } else if (answerText == "deny") {
        answer = kDenyAnswer;
    } else if (std::optional<unsigned long> status = ParseNumber(answerText)) {
        answer = *status;
    } else {
        ThrowUsage("the answer is allow, deny or a status such as 0xC0000022, not '" +
                   answerText + "'");
    }
    WaitForPluggedPorts();
    // The driver stores an answer that no open waits for, but the next open that
    // waits wants an answer of its own; the user should know it went nowhere.
    int waiting = 0;
    bool someoneWaits = keluIsPortOpened(port, &waiting) && waiting;
    if (!keluConfirmPortOpening(port, answer))
        ThrowLastError("cannot answer the open of " + PortName(port));
    std::string verdict = static_cast<LONG>(answer) < 0 ? "denied" : "allowed";
    if (someoneWaits)
        Print("answered the open of " + PortName(port) + ": " + verdict + "\n");
    else
        Print("no open of " + PortName(port) + " was waiting; the answer (" + verdict +
              ") does not carry over to the next open\n");
}

// One plugged-in port as list shows it. A value the driver would not give stays
// unknown rather than failing the whole list.
struct PortState {
    ULONG port;
    std::optional<ULONG> partner;  // none: no partner
    bool partnerKnown = false;
    std::optional<bool> open;
    std::optional<ULONG> bytesWaiting;
    std::optional<ULONG> signals;
};

PortState ReadPortState(ULONG port)
{
    PortState state;
    state.port = port;
    ULONG partner = 0;
    if (keluGetConnectedPort(port, &partner)) {
        state.partnerKnown = true;
        if (partner != 0xFFFFFFFF) state.partner = partner;
    }
    int opened = 0;
    if (keluIsPortOpened(port, &opened)) state.open = opened != 0;
    ULONG count = 0;
    if (keluGetNumBytesInBuffer(port, &count)) state.bytesWaiting = count;
    ULONG signals = 0;
    if (keluGetControlSignals(port, &signals)) state.signals = signals;
    return state;
}

std::string Column(const std::string &text, size_t width)
{
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

void PrintText(const std::vector<PortState> &ports)
{
    if (ports.empty()) {
        Print("no port is plugged in\n");
        return;
    }
    Print(Column("PORT", 8) + Column("PARTNER", 9) + Column("OPEN", 6) + Column("WAITING", 9) +
          "LINES\n");
    for (const PortState &state : ports) {
        std::string partner = !state.partnerKnown ? "?" : state.partner ? PortName(*state.partner) : "-";
        std::string open = !state.open ? "?" : *state.open ? "yes" : "no";
        std::string waiting = state.bytesWaiting ? std::to_string(*state.bytesWaiting) : "?";
        std::string lines = state.signals ? DescribeSignals(*state.signals) : "?";
        Print(Column(PortName(state.port), 8) + Column(partner, 9) + Column(open, 6) +
              Column(waiting, 9) + lines + "\n");
    }
}

void PrintJson(const std::vector<PortState> &ports)
{
    JsonWriter json;
    json.BeginObject().Key("ports").BeginArray();
    for (const PortState &state : ports) {
        json.BeginObject().Key("port").Number(state.port).Key("name").String(PortName(state.port));
        json.Key("partner");
        if (state.partner) json.Number(*state.partner); else json.Null();
        json.Key("open");
        if (state.open) json.Boolean(*state.open); else json.Null();
        json.Key("bytesWaiting");
        if (state.bytesWaiting) json.Number(*state.bytesWaiting); else json.Null();
        json.Key("signals");
        if (state.signals) WriteSignals(json, *state.signals); else json.Null();
        json.EndObject();
    }
    json.EndArray().EndObject();
    Print(json.Text() + "\n");
}

void List(Arguments &arguments)
{
    bool asJson = arguments.TakeFlag("json");
    arguments.ExpectNothingMore();
    std::vector<ULONG> plugged = WaitForPluggedPorts();
    // Without any plugged-in port the bus's own answer tells "nothing installed" from
    // "nothing plugged in".
    int pluggedIn = 0;
    if (plugged.empty() && !keluIsPortPluggedIn(1, &pluggedIn))
        ThrowLastError("cannot list the ports");
    std::vector<PortState> ports;
    for (ULONG port : plugged) ports.push_back(ReadPortState(port));
    if (asJson) PrintJson(ports); else PrintText(ports);
}

}  // namespace

const std::vector<Command> kPortCommands = {
    {"plugin", "[--confirm] PORT", "plug a port in",
     "Plugs in PORT (COM1 to COM255, or 1 to 255). With --confirm every open of the\n"
     "port waits until 'kelu confirm' answers it. May take a few seconds while\n"
     "the new port starts.\n",
     Plugin},
    {"unplug", "PORT", "unplug a port", "Unplugs PORT; its pair, if any, is dissolved.\n",
     Unplug},
    {"list", "[--json]", "show the plugged-in ports",
     "Shows every plugged-in port: its partner, whether it is open (or an open\n"
     "waits for confirmation), the bytes its application wrote that wait to be\n"
     "taken, and its handshake lines. --json prints one JSON object\n"
     "{\"ports\": [{\"port\", \"name\", \"partner\", \"open\", \"bytesWaiting\", \"signals\"}]}\n"
     "with null for what the driver did not answer.\n",
     List},
    {"connect", "PORT PORT", "pair two ports like a null-modem cable",
     "Connects the two ports: what one's application writes, the other's reads,\n"
     "and each one's RTS and DTR appear on the other as CTS, DSR and DCD. The pair\n"
     "is kept by the driver across restarts.\n",
     Connect},
    {"disconnect", "PORT PORT", "dissolve a pair", "Dissolves the pair of the two ports.\n",
     Disconnect},
    {"confirm", "PORT allow|deny|STATUS", "answer an open that waits for approval",
     "Answers the open of PORT that waits for confirmation (see plugin --confirm):\n"
     "allow lets it proceed, deny fails it with STATUS_ACCESS_DENIED (0xC0000022),\n"
     "or give any status: negative values fail the open with that status.\n",
     Confirm},
};
