// signals and settings: a port's handshake lines and its serial settings.
#include "command.h"
#include "errors.h"
#include "machine_settle.h"
#include "output.h"

#include <keluapi.h>

#include <cctype>
#include <cstdio>

namespace {

ULONG ParseSignalWord(const std::vector<std::string> &words)
{
    if (words.empty()) ThrowUsage("name the lines to raise (rts, cts, dtr, dsr, ri, dcd) or none");
    if (words.size() == 1 && words[0] == "none") return 0;
    if (words.size() == 1) {
        if (std::optional<unsigned long> number = ParseNumber(words[0])) {
            if (*number > 0x3F) ThrowUsage("a signal word has only the bits 0x01 to 0x20");
            return *number;
        }
    }
    ULONG signals = 0;
    for (const std::string &word : words) {
        const SignalLine *found = nullptr;
        for (const SignalLine &line : kSignalLines) {
            std::string name = word;
            for (char &c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            if (name == line.name) found = &line;
        }
        if (found == nullptr)
            ThrowUsage("'" + word + "' is not a line: the lines are rts, cts, dtr, dsr, ri and dcd");
        signals |= found->bit;
    }
    return signals;
}

void PrintSignals(ULONG port, ULONG signals, bool asJson)
{
    if (asJson) {
        JsonWriter json;
        json.BeginObject().Key("port").Number(port).Key("name").String(PortName(port));
        json.Key("word").Number(signals).Key("signals");
        WriteSignals(json, signals);
        json.EndObject();
        Print(json.Text() + "\n");
    } else {
        Print(PortName(port) + ": " + DescribeSignals(signals) + "\n");
    }
}

void Signals(Arguments &arguments)
{
    bool asJson = arguments.TakeFlag("json");
    std::string action = arguments.TakeWord("get or set");
    if (action != "get" && action != "set") ThrowUsage("signals takes get or set, not '" + action + "'");
    ULONG port = arguments.TakePort();
    if (action == "get") {
        arguments.ExpectNothingMore();
        WaitForPluggedPorts();
        ULONG signals = 0;
        if (!keluGetControlSignals(port, &signals))
            ThrowLastError("cannot read the lines of " + PortName(port));
        PrintSignals(port, signals, asJson);
        return;
    }
    ULONG signals = ParseSignalWord(arguments.TakeRemainingWords());
    arguments.ExpectNothingMore();
    WaitForPluggedPorts();
    if (!keluSetControlSignals(port, signals))
        ThrowLastError("cannot set the lines of " + PortName(port));
    PrintSignals(port, signals, asJson);
}

const char *ParityName(UCHAR parity)
{
    static const char *const kNames[] = {"none", "odd", "even", "mark", "space"};
    return parity < 5 ? kNames[parity] : "unknown";
}

const char *StopBitsName(UCHAR stopBits)
{
    static const char *const kNames[] = {"1", "1.5", "2"};
    return stopBits < 3 ? kNames[stopBits] : "unknown";
}

std::string Hex(unsigned long value, int digits)
{
    char text[16];
    snprintf(text, sizeof text, "0x%0*lX", digits, value);
    return text;
}

void Settings(Arguments &arguments)
{
    bool asJson = arguments.TakeFlag("json");
    ULONG port = arguments.TakePort();
    arguments.ExpectNothingMore();
    WaitForPluggedPorts();
    KELU_PORT_SETTINGS settings = {};
    if (!keluGetSettings(port, &settings))
        ThrowLastError("cannot read the settings of " + PortName(port));
    if (asJson) {
        JsonWriter json;
        json.BeginObject().Key("port").Number(port).Key("name").String(PortName(port));
        json.Key("baudRate").Number(settings.BaudRate).Key("wordLength").Number(settings.WordLength);
        json.Key("parity").String(ParityName(settings.Parity));
        json.Key("stopBits").String(StopBitsName(settings.StopBits));
        json.Key("xonChar").Number(settings.XonChar).Key("xoffChar").Number(settings.XoffChar);
        json.Key("errorChar").Number(settings.ErrorChar).Key("eofChar").Number(settings.EofChar);
        json.Key("eventChar").Number(settings.EventChar);
        json.Key("xonLimit").Number(settings.XonLimit).Key("xoffLimit").Number(settings.XoffLimit);
        json.Key("controlHandShake").Number(settings.ControlHandShake);
        json.Key("flowReplace").Number(settings.FlowReplace);
        json.EndObject();
        Print(json.Text() + "\n");
        return;
    }
    Print(PortName(port) + ": " + std::to_string(settings.BaudRate) + " baud, " +
          std::to_string(settings.WordLength) + " data bits, parity " +
          ParityName(settings.Parity) + ", " + StopBitsName(settings.StopBits) + " stop bits\n");
    Print("  characters: xon " + Hex(settings.XonChar, 2) + ", xoff " + Hex(settings.XoffChar, 2) +
          ", error " + Hex(settings.ErrorChar, 2) + ", eof " + Hex(settings.EofChar, 2) +
          ", event " + Hex(settings.EventChar, 2) + "\n");
    Print("  flow: xon limit " + std::to_string(settings.XonLimit) + ", xoff limit " +
          std::to_string(settings.XoffLimit) + ", handshake " +
          Hex(settings.ControlHandShake, 2) + ", replace " + Hex(settings.FlowReplace, 8) + "\n");
}

}  // namespace

const std::vector<Command> kLineCommands = {
    {"signals", "[--json] get PORT | set PORT LINE... | set PORT none",
     "read or set a port's handshake lines",
     "get shows the lines that are up on PORT. set raises exactly the lines named\n"
     "(rts, cts, dtr, dsr, ri, dcd, or a word such as 0x05) and drops the others;\n"
     "RTS and DTR also show on the partner as CTS, DSR and DCD. --json prints\n"
     "{\"port\", \"name\", \"word\", \"signals\": {\"rts\": true, ...}}.\n"
     "The lines live in the running machine: the next kelu starts with them down,\n"
     "so set and read them within one 'kelu session'.\n",
     Signals},
    {"settings", "[--json] PORT", "show a port's serial settings",
     "Shows the baud rate, line control, special characters and flow control that\n"
     "the application on PORT set. --json prints them as one object.\n",
     Settings},
};
