// What the checks share: opening ports as a serial application does, requests with
// an OVERLAPPED record on either kind of handle, and bounded waits on the real clock.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// The ports the suite uses: a pair, a lone port and one whose opens need approval.
// COM1 and COM2 are left to the demo.
const ULONG kPortA = 3;
const ULONG kPortB = 4;
const ULONG kLonePort = 5;
const ULONG kApprovalPort = 6;

// Every wait of the suite ends within this time on a working system.
const DWORD kStepMs = 3000;

std::string PortName(ULONG port);

// CreateFileA on "\\.\COMn" for reading and writing; INVALID_HANDLE_VALUE with the
// last error when it fails.
HANDLE OpenPort(ULONG port, bool overlapped);

// Polls `condition` every 10 ms until it holds or `timeoutMs` passed.
bool WaitUntil(const std::function<bool()> &condition, DWORD timeoutMs = kStepMs);

// A plugged-in port answers the library once Plug and Play has started its device.
bool WaitUntilPortAnswers(ULONG port);

// Sets all five timeouts of a handle.
bool SetTimeouts(HANDLE port, DWORD interval, DWORD readMultiplier, DWORD readConstant,
                 DWORD writeMultiplier, DWORD writeConstant);

// One read or write with its own OVERLAPPED record, on a synchronous or an overlapped
// handle. Start begins it; Finish collects a request that pends, waiting at most
// `timeoutMs` and cancelling it after that.
class Request {
public:
    Request();
    ~Request();
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    bool StartRead(HANDLE port, void *buffer, DWORD length);
    bool StartWrite(HANDLE port, const void *data, DWORD length);
    // Whether the request was still pending after it started.
    bool pended() const { return pended_; }
    // The request's outcome: TRUE/FALSE as GetOverlappedResult says, the bytes moved
    // in `bytes` and the last error of a failure in `error`.
    bool Finish(DWORD timeoutMs, DWORD *bytes, DWORD *error = nullptr);

private:
    bool Started(BOOL result);
    HANDLE port_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_ = {};
    bool failedAtStart_ = false;
    DWORD startError_ = ERROR_SUCCESS;
    bool pended_ = false;
};

// Whole transfers through Request; the count moved, or 0 when the request failed.
DWORD WriteBytes(HANDLE port, const std::string &data);
std::string ReadBytes(HANDLE port, DWORD length, DWORD timeoutMs = kStepMs);

// Milliseconds since an arbitrary start, for timing what the driver's timers do.
DWORD Now();
