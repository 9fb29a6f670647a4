// Opening ports, requests with an OVERLAPPED record, and bounded waits.
#include "port_io.h"

#include <keluapi.h>

std::string PortName(ULONG port) { return "COM" + std::to_string(port); }

HANDLE OpenPort(ULONG port, bool overlapped)
{
    std::string path = "\\\\.\\" + PortName(port);
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

bool WaitUntil(const std::function<bool()> &condition, DWORD timeoutMs)
{
    for (DWORD start = Now(); !condition(); Sleep(10)) {
        if (Now() - start >= timeoutMs) return false;
    }
    return true;
}

bool WaitUntilPortAnswers(ULONG port)
{
    return WaitUntil([port] {
        int opened = 0;
        return keluIsPortOpened(port, &opened) != 0;
    }, 10000);
}

bool SetTimeouts(HANDLE port, DWORD interval, DWORD readMultiplier, DWORD readConstant,
                 DWORD writeMultiplier, DWORD writeConstant)
{
    COMMTIMEOUTS timeouts = {interval, readMultiplier, readConstant, writeMultiplier, writeConstant};
    return SetCommTimeouts(port, &timeouts) != 0;
}

Request::Request() { overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }

Request::~Request() { CloseHandle(overlapped_.hEvent); }

bool Request::Started(BOOL result)
{
    if (!result && GetLastError() != ERROR_IO_PENDING) {
        failedAtStart_ = true;
        startError_ = GetLastError();
        return false;
    }
    pended_ = !result;
    return true;
}

bool Request::StartRead(HANDLE port, void *buffer, DWORD length)
{
    port_ = port;
    DWORD bytes = 0;
    return Started(ReadFile(port, buffer, length, &bytes, &overlapped_));
}

bool Request::StartWrite(HANDLE port, const void *data, DWORD length)
{
    port_ = port;
    DWORD bytes = 0;
    return Started(WriteFile(port, data, length, &bytes, &overlapped_));
}

bool Request::Finish(DWORD timeoutMs, DWORD *bytes, DWORD *error)
{
    *bytes = 0;
    if (failedAtStart_) {
        if (error) *error = startError_;
        return false;
    }
    if (pended_ && WaitForSingleObject(overlapped_.hEvent, timeoutMs) != WAIT_OBJECT_0) CancelIo(port_);
    BOOL done = GetOverlappedResult(port_, &overlapped_, bytes, TRUE);
    if (error) *error = done ? ERROR_SUCCESS : GetLastError();
    return done != 0;
}

DWORD WriteBytes(HANDLE port, const std::string &data)
{
    Request request;
    DWORD written = 0;
    request.StartWrite(port, data.data(), static_cast<DWORD>(data.size()));
    return request.Finish(kStepMs, &written) ? written : 0;
}

std::string ReadBytes(HANDLE port, DWORD length, DWORD timeoutMs)
{
    std::string data(length, '\0');
    Request request;
    DWORD read = 0;
    request.StartRead(port, &data[0], length);
    if (!request.Finish(timeoutMs, &read)) read = 0;
    data.resize(read);
    return data;
}

DWORD Now() { return GetTickCount(); }
