// The Win32 comm API as an ordinary serial application uses it, against the driver.
#include "checks.h"
#include "port_io.h"

#include <keluapi.h>

#include <string>

namespace {

// Waits with WaitCommEvent on `port` for the events of `mask`, pending before `cause`
// runs; returns the events the wait ended with, or 0 when it did not end within a step
// (a new mask then ends it).
template <typename Cause>
DWORD EventsOfAWaitWhile(HANDLE port, DWORD mask, Cause cause)
{
    DWORD maskBack = 0;
    if (!SetCommMask(port, mask) || !GetCommMask(port, &maskBack) || maskBack != mask) return 0;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, unused = 0;
    bool pended = !WaitCommEvent(port, &events, &overlapped) && GetLastError() == ERROR_IO_PENDING;
    cause();
    bool ended = pended && WaitForSingleObject(overlapped.hEvent, kStepMs) == WAIT_OBJECT_0 &&
                 GetOverlappedResult(port, &overlapped, &unused, FALSE);
    if (pended && !ended) {
        SetCommMask(port, 0);
        GetOverlappedResult(port, &overlapped, &unused, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    return ended ? events : 0;
}

}  // namespace

void CheckCommApi(Suite &suite, HANDLE a, HANDLE b)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    bool built = GetCommState(a, &dcb) && BuildCommDCBA("baud=9600 parity=E data=7 stop=2", &dcb);
    bool set = built && SetCommState(a, &dcb);
    DCB readBack = {};
    readBack.DCBlength = sizeof readBack;
    suite.Check(set && GetCommState(a, &readBack) && readBack.BaudRate == 9600 && readBack.Parity == EVENPARITY &&
                    readBack.ByteSize == 7 && readBack.StopBits == TWOSTOPBITS,
                "BuildCommDCB and SetCommState: GetCommState reads back 9600 baud, even parity, 7 bits, 2 stop bits");
    KELU_PORT_SETTINGS settings = {};
    suite.Check(keluGetSettings(kPortA, &settings) && settings.BaudRate == 9600 && settings.WordLength == 7,
                "the controlling application sees the same settings");

    COMMTIMEOUTS timeouts = {10, 20, 30, 40, 50};
    COMMTIMEOUTS timeoutsBack = {};
    suite.Check(SetCommTimeouts(a, &timeouts) && GetCommTimeouts(a, &timeoutsBack) &&
                    timeoutsBack.ReadIntervalTimeout == 10 && timeoutsBack.ReadTotalTimeoutMultiplier == 20 &&
                    timeoutsBack.ReadTotalTimeoutConstant == 30 && timeoutsBack.WriteTotalTimeoutMultiplier == 40 &&
                    timeoutsBack.WriteTotalTimeoutConstant == 50,
                "SetCommTimeouts: GetCommTimeouts reads back all five");
    SetTimeouts(a, 0, 0, kStepMs, 0, kStepMs);
    suite.Check(SetupComm(a, 4096, 4096) != 0, "SetupComm accepts 4096-byte queues");

    DWORD modem = 0;
    bool raised = EscapeCommFunction(a, SETRTS) && EscapeCommFunction(a, SETDTR);
    const DWORD kCrossed = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
    suite.Check(raised && GetCommModemStatus(b, &modem) && (modem & kCrossed) == kCrossed,
                "RTS and DTR raised with EscapeCommFunction show on the partner as CTS, DSR and DCD");
    bool cleared = EscapeCommFunction(a, CLRRTS) && EscapeCommFunction(a, CLRDTR);
    suite.Check(cleared && GetCommModemStatus(b, &modem) && (modem & kCrossed) == 0,
                "clearing them clears the partner's CTS, DSR and DCD");

    // A wait on the partner's receive event, pending before the bytes arrive.
    DWORD events = EventsOfAWaitWhile(b, EV_RXCHAR, [&] { WriteBytes(a, "e"); });
    suite.Check((events & EV_RXCHAR) != 0,
                "SetCommMask(EV_RXCHAR): a pending WaitCommEvent ends when the partner writes");

    COMSTAT status = {};
    DWORD errors = 0;
    bool counted = ClearCommError(b, &errors, &status) && status.cbInQue == 1;
    WriteBytes(a, "more");
    counted = counted && ClearCommError(b, &errors, &status) && status.cbInQue == 5 && errors == 0;
    suite.Check(counted, "ClearCommError counts the bytes waiting to be read");
    suite.Check(PurgeComm(b, PURGE_RXCLEAR) && ClearCommError(b, &errors, &status) && status.cbInQue == 0,
                "PurgeComm(PURGE_RXCLEAR) drops them");

    events = EventsOfAWaitWhile(b, EV_BREAK, [&] { SetCommBreak(a); });
    bool reported = ClearCommError(b, &errors, &status) && errors == CE_BREAK;
    reported = reported && ClearCommError(b, &errors, &status) && errors == 0;
    suite.Check(events == EV_BREAK && reported && ClearCommBreak(a),
                "SetCommBreak: the partner's WaitCommEvent ends with EV_BREAK and ClearCommError "
                "reports CE_BREAK once");

    // The reading loop of an event-driven program: bytes that come while it is not waiting
    // end its next WaitCommEvent at once.
    SetCommMask(b, EV_RXCHAR);
    WriteBytes(a, "between");
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD told = 0, unused = 0;
    bool atOnce = WaitCommEvent(b, &told, &overlapped) != 0;
    if (!atOnce && GetLastError() == ERROR_IO_PENDING) {
        SetCommMask(b, 0);  // ends the wait that should not have pended
        GetOverlappedResult(b, &overlapped, &unused, TRUE);
    }
    CloseHandle(overlapped.hEvent);
    suite.Check(atOnce && told == EV_RXCHAR,
                "WaitCommEvent made after the partner wrote ends at once with EV_RXCHAR");
    PurgeComm(b, PURGE_RXCLEAR);
    SetCommMask(b, 0);
}
