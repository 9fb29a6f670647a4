// A stand-in for the port driver's control device, linked into the library tests:
// \Device\KeluControl (exclusive, linked as \DosDevices\KeluControl) records every
// request that reaches it and answers from a script. It lets the tests see the
// exact bytes the library sends and make the driver answer anything.
#pragma once

#include <wdm.h>

#include <string>
#include <vector>

// One request as the device saw it.
struct RecordedRequest {
    ULONG code;
    std::vector<UCHAR> input;
    ULONG outputLength;
};

// The answer to one request: its status and the output bytes it returns (their
// count is the request's Information).
struct ScriptedAnswer {
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<UCHAR> output;
};

// Loads the device on the running machine with an empty script and record.
void ScriptedControlDeviceLoad();
// Queues answers for a code; they are used in order, one per request. A code with
// no queued answer gets its default answer.
void ScriptAnswers(ULONG code, const std::vector<ScriptedAnswer> &answers);
void ScriptDefaultAnswer(ULONG code, const ScriptedAnswer &answer);
std::vector<RecordedRequest> RecordedRequests();
// Opens that reached the device (each request of the library is one open).
LONG ScriptedControlDeviceOpens();

// Little-endian helpers for building and reading request bytes.
std::vector<UCHAR> Bytes(std::initializer_list<ULONG> words);
ULONG WordAt(const std::vector<UCHAR> &bytes, size_t offset);
