// The processor cost of one small request, for a profiler: one thread writes a byte on
// COM1 and reads it back on COM2, `rounds` times, on synchronous handles (or overlapped
// ones with --overlapped). Nothing waits, so the figure is the path itself. Run it under
// `valgrind --tool=callgrind` with two round counts: the difference in instructions
// divided by twice the difference in rounds is one request.
//   request_cost [--overlapped] ROUNDS
#include "datapath_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Pair : DataPathTest {
    void TestBody() override {}
    using DataPathTest::SetUp;
    using DataPathTest::TearDown;
};

// One request, collected from its OVERLAPPED record on an overlapped handle.
bool Transfer(HANDLE port, bool write, BYTE *byte, OVERLAPPED *overlapped) {
    DWORD done = 0;
    BOOL ok = write ? WriteFile(port, byte, 1, &done, overlapped)
                    : ReadFile(port, byte, 1, &done, overlapped);
    if (!ok && overlapped != nullptr && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(port, overlapped, &done, TRUE);
    return ok && done == 1;
}

}  // namespace

int main(int argc, char **argv) {
    bool overlapped = argc == 3 && std::strcmp(argv[1], "--overlapped") == 0;
    long rounds = argc >= 2 ? std::atol(argv[argc - 1]) : 0;
    if (rounds <= 0 || argc > 3 || (argc == 3 && !overlapped)) {
        std::fprintf(stderr, "usage: request_cost [--overlapped] ROUNDS\n");
        return 2;
    }
    Pair pair;
    pair.SetUp();
    HANDLE first = DataPathTest::OpenPort(0, overlapped);
    HANDLE second = DataPathTest::OpenPort(1, overlapped);
    OVERLAPPED sending = {}, receiving = {};
    sending.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    receiving.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    bool ok = first != INVALID_HANDLE_VALUE && second != INVALID_HANDLE_VALUE;
    for (long i = 0; ok && i < rounds; i++) {
        BYTE byte = static_cast<BYTE>(i);
        ok = Transfer(first, true, &byte, overlapped ? &sending : nullptr) &&
             Transfer(second, false, &byte, overlapped ? &receiving : nullptr) &&
             byte == static_cast<BYTE>(i);
    }
    CloseHandle(sending.hEvent);
    CloseHandle(receiving.hEvent);
    CloseHandle(first);
    CloseHandle(second);
    pair.TearDown();
    if (!ok) {
        std::fprintf(stderr, "request_cost: a request failed\n");
        return 1;
    }
    return 0;
}
