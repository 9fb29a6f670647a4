// demo: a pair of ports at work on this machine. Two ordinary serial applications use
// COM1 and COM2 through the comm API while a controlling application beside them
// plugs the ports in, pairs them, approves an open, watches events and moves bytes
// itself. Every step is checked; the transcript says what each side saw.
#include "command.h"
#include "errors.h"
#include "host.h"
#include "machine_settle.h"
#include "output.h"

#include <keluapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

const ULONG kFirst = 1;   // COM1: the application that starts the conversation
const ULONG kSecond = 2;  // COM2: its partner, whose opens need approval
const DWORD kStepTimeoutMs = 3000;
const size_t kThroughputBytes = 1 << 20;
const DWORD kThroughputChunk = 4096;

class Transcript {
public:
    void Say(const std::string &who, const std::string &text)
    {
        std::string label = "[" + who + "]";
        label.resize(std::max<size_t>(label.size() + 1, 12), ' ');
        Print(label + text + "\n");
        fflush(stdout);
    }

    // One checked step: a failure is shown and makes the demo fail, and the demo
    // carries on so that the transcript shows everything that went wrong.
    bool Check(bool held, const std::string &what)
    {
        steps_++;
        if (!held) failures_++;
        Print(std::string(held ? "    ok     " : "    FAILED ") + what + "\n");
        fflush(stdout);
        return held;
    }

    int steps() const { return steps_; }
    int failures() const { return failures_; }

private:
    int steps_ = 0;
    int failures_ = 0;
};

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

// Waits until `condition` holds, in short Sleeps on the machine's clock.
bool WaitUntil(const std::function<bool()> &condition, DWORD timeoutMs = kStepTimeoutMs)
{
    for (DWORD waited = 0; !condition(); waited += 10) {
        if (waited >= timeoutMs) return false;
        Sleep(10);
    }
    return true;
}

bool EventArrives(HANDLE event)
{
    return event != nullptr && WaitForSingleObject(event, kStepTimeoutMs) == WAIT_OBJECT_0;
}

// An ordinary serial application's side: open, configure, read and write. COM1's
// application uses a synchronous handle, COM2's an overlapped one, so that it can
// start a wait on a serial event and do something else until it ends.
HANDLE OpenPort(ULONG port)
{
    DWORD flags = port == kSecond ? FILE_FLAG_OVERLAPPED : 0;
    return CreateFileA(PortName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

// Reads and writes give up after the step's timeout rather than hang the demo.
bool ConfigurePort(HANDLE port, const char *mode)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = kStepTimeoutMs;
    timeouts.WriteTotalTimeoutConstant = kStepTimeoutMs;
    return GetCommState(port, &dcb) && BuildCommDCBA(mode, &dcb) && SetCommState(port, &dcb) &&
           SetCommTimeouts(port, &timeouts);
}

// One request with an OVERLAPPED record and its own event, which suits both kinds of
// handle: a request that pends is collected with GetOverlappedResult.
class Overlapped {
public:
    Overlapped() { record_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() { CloseHandle(record_.hEvent); }
    OVERLAPPED *record() { return &record_; }

    // The request's outcome; waits at most `timeoutMs` for one that pends, then
    // cancels it.
    bool Finish(HANDLE port, BOOL started, DWORD *bytes, DWORD timeoutMs = INFINITE)
    {
        if (!started && GetLastError() != ERROR_IO_PENDING) return false;
        if (!started && WaitForSingleObject(record_.hEvent, timeoutMs) != WAIT_OBJECT_0) {
            CancelIo(port);
            GetOverlappedResult(port, &record_, bytes, TRUE);
            return false;
        }
        return GetOverlappedResult(port, &record_, bytes, TRUE) != 0;
    }

private:
    OVERLAPPED record_ = {};
};

bool WriteBytes(HANDLE port, const void *data, DWORD length)
{
    Overlapped overlapped;
    DWORD written = 0;
    return overlapped.Finish(port, WriteFile(port, data, length, &written, overlapped.record()), &written) &&
           written == length;
}

DWORD ReadBytes(HANDLE port, void *data, DWORD length)
{
    Overlapped overlapped;
    DWORD read = 0;
    if (!overlapped.Finish(port, ReadFile(port, data, length, &read, overlapped.record()), &read)) return 0;
    return read;
}

bool WriteText(HANDLE port, const std::string &text)
{
    return WriteBytes(port, text.data(), static_cast<DWORD>(text.size()));
}

std::string ReadText(HANDLE port, size_t length)
{
    std::string text(length, '\0');
    text.resize(ReadBytes(port, text.data(), static_cast<DWORD>(length)));
    return text;
}

// The opening of COM2, which blocks in the driver until the manager answers.
struct PendingOpen {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    std::atomic<bool> done{false};
    std::thread thread;

    void Start(ULONG port)
    {
        thread = std::thread([this, port] {
            handle = OpenPort(port);
            error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
            done = true;
        });
    }
};

bool OpenWaitsForAnswer(ULONG port)
{
    return WaitUntil([port] {
        int opened = 0;
        return keluIsPortOpened(port, &opened) && opened;
    });
}

struct OpenOutcome {
    bool answered;
    HANDLE handle;
    DWORD error;  // the open's, when it failed
};

// COM2's application opens the port while the manager, seeing the open wait, gives
// `answer`.
OpenOutcome OpenWithAnswer(Transcript &transcript, ULONG answer)
{
    transcript.Say("COM2 app", "opens COM2 and waits for approval");
    PendingOpen open;
    open.Start(kSecond);
    bool answered = OpenWaitsForAnswer(kSecond) && keluConfirmPortOpening(kSecond, answer);
    DWORD error = GetLastError();
    if (answered)
        transcript.Say("manager", std::string("sees the open of COM2 waiting and ") +
                                      (answer == 0 ? "allows it" : "denies it"));
    // Removing the port is what else ends a waiting open; the opener is never left
    // blocked, not even when the answer did not reach it.
    answered = answered && WaitUntil([&open] { return open.done.load(); });
    if (!answered) {
        transcript.Say("manager", "cannot end the open of COM2 by an answer (" + DescribeError(error) +
                                      ") and unplugs COM2 to end it");
        keluUnplugPort(kSecond);
    }
    open.thread.join();
    transcript.Check(answered, "the manager answered the waiting open");
    return {answered, open.handle, open.error};
}

// Installs the package and gives the demo its two ports as it needs them: COM1 plain,
// COM2 with open confirmation, paired. Ports left from earlier runs are replaced.
// Returns whether every step held.
bool PreparePorts(Transcript &transcript, const std::string &package)
{
    // A machine that has the drivers already keeps them: reinstalling while ports
    // are plugged in is refused by the system.
    std::string directory = package;
    if (DriversInstalled())
        transcript.Say("manager", "finds the drivers installed");
    else if (!transcript.Check(keluInstallDrivers(directory.data()) != 0,
                               "the manager installs the driver package from " + package))
        return false;
    std::vector<ULONG> earlier = WaitForPluggedPorts();
    for (ULONG port : {kFirst, kSecond}) {
        if (std::find(earlier.begin(), earlier.end(), port) != earlier.end()) keluUnplugPort(port);
    }
    bool plugged = transcript.Check(keluPluginPort(kFirst, 0) != 0, "the manager plugs in COM1");
    if (WaitingOpensCanBeApproved())
        plugged = transcript.Check(keluPluginPort(kSecond, 1) != 0, "the manager plugs in COM2; its opens need approval") &&
                  plugged;
    else
        plugged = transcript.Check(keluPluginPort(kSecond, 0) != 0,
                                   "the manager plugs in COM2; its opens need no approval here, since under Wine an "
                                   "open waiting for approval would hold the approval back") &&
                  plugged;
    ULONG partner = 0;
    return transcript.Check(keluConnectPorts(kFirst, kSecond) && keluGetConnectedPort(kFirst, &partner) &&
                         partner == kSecond,
                     "the manager connects COM1 and COM2") &&
           plugged;
}

// Measures how fast COM1's application can send to COM2's and checks every byte.
void MeasureThroughput(Transcript &transcript, HANDLE first, HANDLE second)
{
    std::vector<UCHAR> sent(kThroughputBytes);
    for (size_t i = 0; i < sent.size(); i++) sent[i] = static_cast<UCHAR>(i * 7 + i / 251);
    std::vector<UCHAR> received(kThroughputBytes);
    bool readOk = true;
    auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        for (size_t offset = 0; offset < received.size() && readOk; offset += kThroughputChunk) {
            readOk = ReadBytes(second, received.data() + offset, kThroughputChunk) == kThroughputChunk;
        }
    });
    bool writeOk = true;
    for (size_t offset = 0; offset < sent.size() && writeOk; offset += kThroughputChunk) {
        writeOk = WriteBytes(first, sent.data() + offset, kThroughputChunk);
    }
    reader.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    char rate[96];
    snprintf(rate, sizeof rate, "%zu bytes in %.3f s: %.1f KiB/s", kThroughputBytes, seconds,
             kThroughputBytes / 1024.0 / std::max(seconds, 1e-9));
    transcript.Say("COM1 app", "writes 1 MiB to COM2 in 4 KiB writes");
    transcript.Say("COM2 app", std::string("reads it: ") + rate);
    transcript.Check(writeOk && readOk && sent == received, "every byte arrived, in order");
}

// Both applications write and read, a line change crosses the cable and ends a wait
// on a serial event, and the manager reads the lines and puts bytes in.
void Converse(Transcript &transcript, HANDLE first, HANDLE second, HANDLE dataEvent)
{
    std::string greeting = "hello from COM1";
    transcript.Say("COM1 app", "writes " + Quoted(greeting));
    bool wrote = WriteText(first, greeting);
    std::string heard = ReadText(second, greeting.size());
    transcript.Say("COM2 app", "reads " + Quoted(heard));
    transcript.Check(wrote && heard == greeting, "COM2 received what COM1 wrote");
    transcript.Check(EventArrives(dataEvent), "the manager's data event for COM1 fires");

    std::string reply = "hello back from COM2";
    transcript.Say("COM2 app", "writes " + Quoted(reply));
    wrote = WriteText(second, reply);
    heard = ReadText(first, reply.size());
    transcript.Say("COM1 app", "reads " + Quoted(heard));
    transcript.Check(wrote && heard == reply, "COM1 received what COM2 wrote");

    // The wait is pending before the change, so it ends with it (one made after would be
    // told at once of what it missed).
    DWORD events = 0, modem = 0, unused = 0;
    Overlapped wait;
    bool masked = SetCommMask(second, EV_CTS | EV_DSR) != 0;
    BOOL started = WaitCommEvent(second, &events, wait.record());
    transcript.Say("COM2 app", "waits for a change of CTS or DSR");
    transcript.Say("COM1 app", "raises RTS and DTR");
    bool raised = EscapeCommFunction(first, SETRTS) && EscapeCommFunction(first, SETDTR);
    bool waited = masked && wait.Finish(second, started, &unused, kStepTimeoutMs);
    GetCommModemStatus(second, &modem);
    char seen[128];
    snprintf(seen, sizeof seen, "its wait ends with events 0x%04lX; modem status has%s%s%s",
             static_cast<unsigned long>(events), modem & MS_CTS_ON ? " CTS" : "",
             modem & MS_DSR_ON ? " DSR" : "", modem & MS_RLSD_ON ? " DCD" : "");
    transcript.Say("COM2 app", seen);
    const DWORD kCrossed = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    transcript.Check(raised && waited && (events & (EV_CTS | EV_DSR)) != 0 && (modem & kCrossed) == kCrossed,
                     "COM2 sees COM1's RTS as CTS and its DTR as DSR and DCD");
    ULONG lines = 0;
    const ULONG kSeen = KELU_SIGNAL_CTS | KELU_SIGNAL_DSR | KELU_SIGNAL_DCD;
    bool read = keluGetControlSignals(kSecond, &lines) != 0;
    transcript.Check(read && (lines & kSeen) == kSeen, "the manager reads COM2's lines: " + DescribeSignals(lines));

    std::string injected = "from the manager";
    ULONG count = 0;
    bool put = keluWriteToPortBuffer(kSecond, reinterpret_cast<UCHAR *>(injected.data()),
                                     static_cast<ULONG>(injected.size()), &count) &&
               count == injected.size();
    transcript.Say("manager", "puts " + Quoted(injected) + " into COM2");
    heard = ReadText(second, injected.size());
    transcript.Say("COM2 app", "reads " + Quoted(heard));
    transcript.Check(put && heard == injected, "COM2's application read the bytes the manager put in");
}

// Without a partner, COM1's writes wait in the port for the manager to take them.
void TakeWithoutPartner(Transcript &transcript, HANDLE first)
{
    transcript.Check(keluDisconnectPorts(kFirst, kSecond) != 0, "the manager disconnects the pair");
    std::string text = "for the manager";
    transcript.Say("COM1 app", "writes " + Quoted(text) + " with no partner");
    bool wrote = WriteText(first, text);
    ULONG waiting = 0;
    keluGetNumBytesInBuffer(kFirst, &waiting);
    std::string taken(text.size(), '\0');
    ULONG read = 0;
    bool took = keluReadFromPortBuffer(kFirst, reinterpret_cast<UCHAR *>(taken.data()),
                                       static_cast<ULONG>(taken.size()), &read) != 0;
    taken.resize(read);
    transcript.Say("manager", std::to_string(waiting) + " bytes wait in COM1; it takes " + Quoted(taken));
    transcript.Check(wrote && took && waiting == text.size() && taken == text,
                     "the manager took exactly what COM1 wrote");
}

// The two applications and the manager at work on the prepared pair.
void RunApplications(Transcript &transcript)
{
    HANDLE openEvent = keluGetOpenCloseEvent(kSecond);
    HANDLE dataEvent = keluGetDataEvent(kFirst);
    HANDLE settingsEvent = keluGetSettingsEvent(kFirst);
    transcript.Check(openEvent != nullptr && dataEvent != nullptr && settingsEvent != nullptr,
                     "the manager watches COM2's open/close, COM1's data and COM1's settings events");

    HANDLE first = OpenPort(kFirst);
    transcript.Say("COM1 app", "opens COM1 and sets 115200 baud, 8 data bits, no parity, 1 stop bit");
    transcript.Check(first != INVALID_HANDLE_VALUE && ConfigurePort(first, "115200,n,8,1"), "COM1 is open and set up");
    KELU_PORT_SETTINGS settings = {};
    bool changed = EventArrives(settingsEvent);
    keluGetSettings(kFirst, &settings);
    transcript.Check(changed && settings.BaudRate == 115200,
                     "the manager sees COM1's settings change: " + std::to_string(settings.BaudRate) + " baud");

    // The first open of COM2 is refused, the second approved.
    HANDLE second = INVALID_HANDLE_VALUE;
    if (!WaitingOpensCanBeApproved()) {
        transcript.Say("COM2 app", "opens COM2");
        second = OpenPort(kSecond);
        transcript.Check(second != INVALID_HANDLE_VALUE, "COM2 opens");
        transcript.Check(EventArrives(openEvent), "the manager's open/close event for COM2 fires");
    } else if (OpenOutcome refused = OpenWithAnswer(transcript, kDenyAnswer); refused.answered) {
        transcript.Check(refused.handle == INVALID_HANDLE_VALUE && refused.error == ERROR_ACCESS_DENIED,
                         "the denied open fails with " + DescribeError(refused.error));
        if (refused.handle != INVALID_HANDLE_VALUE) CloseHandle(refused.handle);
        second = OpenWithAnswer(transcript, 0).handle;
        transcript.Check(second != INVALID_HANDLE_VALUE, "COM2 opens once approved");
        transcript.Check(EventArrives(openEvent), "the manager's open/close event for COM2 fires");
    }

    if (first != INVALID_HANDLE_VALUE && second != INVALID_HANDLE_VALUE) {
        transcript.Check(ConfigurePort(second, "115200,n,8,1"), "COM2 is set up alike");
        Converse(transcript, first, second, dataEvent);
        MeasureThroughput(transcript, first, second);
        TakeWithoutPartner(transcript, first);
        transcript.Say("COM2 app", "closes COM2");
        CloseHandle(second);
        transcript.Check(EventArrives(openEvent), "the manager's open/close event for COM2 fires again");
    } else {
        transcript.Check(false, "both applications have their port open (the remaining steps need them)");
    }
    if (first != INVALID_HANDLE_VALUE) CloseHandle(first);
    for (HANDLE event : {openEvent, dataEvent, settingsEvent})
        if (event != nullptr) CloseHandle(event);
}

void Demo(Arguments &arguments)
{
    std::optional<std::string> package = arguments.TakeOptionalWord();
    arguments.ExpectNothingMore();
    Print(std::string("kelu demo: two serial applications on a pair of ports, and a controlling application\n") +
          "(" + MachineNote() + ")\n\n");
    Transcript transcript;
    if (PreparePorts(transcript, package ? std::filesystem::absolute(*package).string() : DefaultPackageDirectory()))
        RunApplications(transcript);
    Print("\n");
    if (transcript.failures() != 0)
        throw CommandFailure(kOperationFailed, std::to_string(transcript.failures()) + " of " +
                                                   std::to_string(transcript.steps()) +
                                                   " steps did not behave as they must");
    Print("all " + std::to_string(transcript.steps()) + " steps behaved as they must\n");
}

}  // namespace

const std::vector<Command> kDemoCommands = {
    {"demo", "[PACKAGE_DIRECTORY]", "show a pair of ports at work, step by step",
     "Installs the driver package, plugs in COM1 and COM2 (COM2's opens need\n"
     "approval) and connects them. Then two serial applications open the ports\n"
     "while a controlling application approves (and first refuses) an open, sends\n"
     "data both ways, raises lines that the other side sees through a wait, puts\n"
     "bytes in and takes bytes out, and measures the throughput. Prints what each\n"
     "side saw; exit status 0 only when every step behaved as it must.\n",
     Demo, CommandScope::kOutsideSession},
};
