// The controlling application's requests through keluapi: bytes in and out, the
// handshake lines, and the four named events.
#include "checks.h"
#include "port_io.h"

#include <keluapi.h>

#include <string>

namespace {

bool Signalled(HANDLE event) { return event != nullptr && WaitForSingleObject(event, kStepMs) == WAIT_OBJECT_0; }

}  // namespace

void CheckLibraryRequests(Suite &suite, HANDLE a, HANDLE b)
{
    std::string injected = "put by the manager";
    ULONG count = 0;
    bool put = keluWriteToPortBuffer(kPortB, reinterpret_cast<UCHAR *>(&injected[0]),
                                     static_cast<ULONG>(injected.size()), &count) &&
               count == injected.size();
    suite.Check(put && ReadBytes(b, injected.size()) == injected,
                "bytes the manager puts into a port are read by the port's application");
    suite.Check(keluWriteCharToPortBuffer(kPortB, 'Q') && ReadBytes(b, 1) == "Q", "and so is a single byte");

    keluDisconnectPorts(kPortA, kPortB);
    std::string written = "for the manager";
    bool wrote = WriteBytes(a, written) == written.size();
    ULONG waiting = 0;
    bool counted = keluGetNumBytesInBuffer(kPortA, &waiting) && waiting == written.size();
    std::string taken(written.size(), '\0');
    bool took = keluReadFromPortBuffer(kPortA, reinterpret_cast<UCHAR *>(&taken[0]),
                                       static_cast<ULONG>(taken.size()), &count) &&
                count == written.size();
    suite.Check(wrote && counted && took && taken == written,
                "without a partner the application's bytes wait in the port and the manager takes them");
    char ch = 0;
    suite.Check(!keluReadCharFromPortBuffer(kPortA, &ch) && GetLastError() == ERROR_NO_MORE_ITEMS,
                "taking a byte from an empty port fails with ERROR_NO_MORE_ITEMS");
    keluConnectPorts(kPortA, kPortB);

    ULONG lines = 0;
    const ULONG kSeen = KELU_SIGNAL_CTS | KELU_SIGNAL_DSR | KELU_SIGNAL_DCD;
    DWORD modem = 0;
    bool set = keluSetControlSignals(kPortA, KELU_SIGNAL_RTS | KELU_SIGNAL_DTR);
    suite.Check(set && keluGetControlSignals(kPortB, &lines) && (lines & kSeen) == kSeen &&
                    GetCommModemStatus(b, &modem) && (modem & MS_CTS_ON) && (modem & MS_DSR_ON),
                "lines the manager raises on one port show on the partner, to the library and the comm API");
    suite.Check(keluSetControlSignals(kPortA, 0) && keluGetControlSignals(kPortB, &lines) && (lines & kSeen) == 0,
                "and drop again");

    HANDLE opened = keluGetOpenCloseEvent(kLonePort);
    HANDLE data = keluGetDataEvent(kPortA);
    HANDLE settings = keluGetSettingsEvent(kPortA);
    HANDLE flow = keluGetFlowEvent(kPortA);
    suite.Check(opened && data && settings && flow, "the manager gets the four named events");
    suite.Check(WriteBytes(a, "d") == 1 && Signalled(data), "the data event fires when the application writes");
    PurgeComm(b, PURGE_RXCLEAR);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    suite.Check(GetCommState(a, &dcb) && SetCommState(a, &dcb) && Signalled(settings),
                "the settings event fires on SetCommState");
    suite.Check(EscapeCommFunction(a, SETRTS) && Signalled(flow), "the flow-control event fires when RTS changes");
    EscapeCommFunction(a, CLRRTS);
    HANDLE lone = OpenPort(kLonePort, false);
    bool openSeen = lone != INVALID_HANDLE_VALUE && Signalled(opened);
    if (lone != INVALID_HANDLE_VALUE) CloseHandle(lone);
    suite.Check(openSeen && Signalled(opened), "the open/close event fires on an open and on the close");
    for (HANDLE event : {opened, data, settings, flow})
        if (event != nullptr) CloseHandle(event);
}
