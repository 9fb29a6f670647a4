// Bytes through the pair on both kinds of handle, exclusive opens, cancellation, and
// the read and write timeouts on the real clock.
#include "checks.h"
#include "port_io.h"

#include <keluapi.h>

#include <string>

namespace {

// Timers on the real clock: a timeout of T ms ends no earlier than T minus the
// clock's granularity, and (on an idle machine) well within a second after T.
bool EndedAround(DWORD elapsed, DWORD expected)
{
    return elapsed + 20 >= expected && elapsed <= expected + 1000;
}

}  // namespace

void CheckExclusiveOpen(Suite &suite)
{
    const std::string what = "a second open of an open port fails with ERROR_ACCESS_DENIED";
    if (suite.SkipUnderWine(what, "the I/O manager does not enforce exclusive devices"))
        return;
    HANDLE second = OpenPort(kPortA, false);
    DWORD error = GetLastError();
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    suite.Check(second == INVALID_HANDLE_VALUE && error == ERROR_ACCESS_DENIED, what);
}

void CheckData(Suite &suite, HANDLE a, HANDLE b)
{
    SetTimeouts(a, 0, 0, kStepMs, 0, kStepMs);
    SetTimeouts(b, 0, 0, kStepMs, 0, kStepMs);
    std::string there = "from the synchronous side";
    suite.Check(WriteBytes(a, there) == there.size() && ReadBytes(b, there.size()) == there,
                "bytes written on the synchronous handle are read on the overlapped one");
    std::string back = "and back from the overlapped side";
    suite.Check(WriteBytes(b, back) == back.size() && ReadBytes(a, back.size()) == back,
                "bytes written on the overlapped handle are read on the synchronous one");

    // A read that is waiting when the bytes arrive.
    char buffer[8] = {};
    Request read;
    read.StartRead(b, buffer, 5);
    bool pended = read.pended();
    DWORD count = 0;
    bool wrote = WriteBytes(a, "12345") == 5;
    suite.Check(pended && wrote && read.Finish(kStepMs, &count) && count == 5 && std::string(buffer, 5) == "12345",
                "an overlapped read pends and completes when the partner writes");

    // Without timeouts a read waits for its length; CancelIo ends it.
    SetTimeouts(b, 0, 0, 0, 0, 0);
    Request cancelled;
    cancelled.StartRead(b, buffer, sizeof buffer);
    pended = cancelled.pended();
    CancelIo(b);
    DWORD error = ERROR_SUCCESS;
    suite.Check(pended && !cancelled.Finish(kStepMs, &count, &error) && error == ERROR_OPERATION_ABORTED,
                "CancelIo ends a waiting read with ERROR_OPERATION_ABORTED");
    SetTimeouts(b, 0, 0, kStepMs, 0, kStepMs);

    // A larger transfer, in several reads, arrives whole and in order.
    std::string block(64 * 1024, '\0');
    for (size_t i = 0; i < block.size(); i++) block[i] = static_cast<char>(i * 7 + i / 251);
    std::string received;
    Request bulkWrite;
    bulkWrite.StartWrite(b, block.data(), static_cast<DWORD>(block.size()));
    while (received.size() < block.size()) {
        std::string part = ReadBytes(a, 4096);
        if (part.empty()) break;
        received += part;
    }
    DWORD written = 0;
    suite.Check(bulkWrite.Finish(kStepMs, &written) && written == block.size() && received == block,
                "64 KiB cross the pair whole and in order");
}

void CheckTimeouts(Suite &suite, HANDLE a, HANDLE b)
{
    char buffer[16];
    DWORD count = 99;

    SetTimeouts(a, 0, 0, 200, 0, 0);
    DWORD start = Now();
    BOOL done = ReadFile(a, buffer, sizeof buffer, &count, nullptr);
    DWORD elapsed = Now() - start;
    suite.Check(done && count == 0 && EndedAround(elapsed, 200),
                "a read with a 200 ms total timeout and nothing to read ends empty after about 200 ms (" +
                    std::to_string(elapsed) + " ms)");

    SetTimeouts(a, 100, 0, 2000, 0, 0);
    WriteBytes(b, "abc");
    start = Now();
    done = ReadFile(a, buffer, sizeof buffer, &count, nullptr);
    elapsed = Now() - start;
    suite.Check(done && count == 3 && std::string(buffer, 3) == "abc" && elapsed < 1500,
                "a read with a 100 ms interval timeout ends with the 3 bytes there were, long before its "
                "total timeout (" + std::to_string(elapsed) + " ms)");

    SetTimeouts(a, MAXDWORD, 0, 0, 0, 0);
    WriteBytes(b, "xy");  // complete: the bytes are in a's receive ring
    start = Now();
    done = ReadFile(a, buffer, sizeof buffer, &count, nullptr);
    bool returnedWhatWaited = done && count == 2 && std::string(buffer, 2) == "xy";
    done = ReadFile(a, buffer, sizeof buffer, &count, nullptr);
    elapsed = Now() - start;
    suite.Check(returnedWhatWaited && done && count == 0 && elapsed < 500,
                "an immediate read returns what waits, and nothing at once when nothing does");

    // With no partner, writes wait in the port's transmit ring; once it is full, a
    // write ends by its total timeout with what fitted.
    keluDisconnectPorts(kPortA, kPortB);
    SetTimeouts(a, 0, 0, 0, 0, 200);
    std::string block(64 * 1024, 'w');
    start = Now();
    done = WriteFile(a, block.data(), static_cast<DWORD>(block.size()), &count, nullptr);
    elapsed = Now() - start;
    suite.Check(done && count < block.size() && EndedAround(elapsed, 200),
                "a write that does not fit ends after its 200 ms total timeout with " + std::to_string(count) +
                    " bytes taken");
    ULONG waiting = 0;
    suite.Check(keluGetNumBytesInBuffer(kPortA, &waiting) && waiting == count,
                "the bytes the write took wait in the port");
    // The bytes have left the application; only the manager takes them away.
    suite.Check(PurgeComm(a, PURGE_TXCLEAR) && keluGetNumBytesInBuffer(kPortA, &waiting) && waiting == count,
                "PurgeComm(PURGE_TXCLEAR) succeeds and leaves them waiting");
    std::string taken(count, '\0');
    ULONG took = 0;
    suite.Check(keluReadFromPortBuffer(kPortA, reinterpret_cast<UCHAR *>(&taken[0]), count, &took) && took == count &&
                    taken == block.substr(0, count),
                "the manager takes them all");
    keluConnectPorts(kPortA, kPortB);
    SetTimeouts(a, 0, 0, kStepMs, 0, kStepMs);
}
