// The data path measurement: the same writer and reader loops run over the ports, a
// pipe and a socketpair, one after the other, so that each row compares figures taken
// moments apart on a machine whose load changes.
#include "datapath_measure.h"

#include <windows.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A byte channel: a way to send from one end and receive at the other. A channel's
// send runs in one thread and its receive in another.
struct Channel {
    std::function<void(const BYTE *, size_t)> send;
    std::function<void(BYTE *, size_t)> receive;
};

// One overlapped request at a time through an OVERLAPPED record with its own event,
// collected by GetOverlappedResult when it pends: how most serial applications work.
class OverlappedRecord {
public:
    OverlappedRecord() { record_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~OverlappedRecord() { CloseHandle(record_.hEvent); }
    OverlappedRecord(const OverlappedRecord &) = delete;
    OverlappedRecord &operator=(const OverlappedRecord &) = delete;

    OVERLAPPED *get() { return &record_; }

    void Finish(HANDLE port, BOOL started) {
        DWORD done;
        if (!started && GetLastError() == ERROR_IO_PENDING)
            GetOverlappedResult(port, &record_, &done, TRUE);
    }

private:
    OVERLAPPED record_ = {};
};

// Requests on two port handles; on overlapped handles each end has its record.
Channel PortChannel(HANDLE out, HANDLE in, bool overlapped) {
    if (!overlapped) {
        return {[out](const BYTE *bytes, size_t length) {
                    DWORD done;
                    WriteFile(out, bytes, static_cast<DWORD>(length), &done, nullptr);
                },
                [in](BYTE *bytes, size_t length) {
                    DWORD done;
                    ReadFile(in, bytes, static_cast<DWORD>(length), &done, nullptr);
                }};
    }
    auto sending = std::make_shared<OverlappedRecord>();
    auto receiving = std::make_shared<OverlappedRecord>();
    return {[out, sending](const BYTE *bytes, size_t length) {
                sending->Finish(out, WriteFile(out, bytes, static_cast<DWORD>(length), nullptr,
                                               sending->get()));
            },
            [in, receiving](BYTE *bytes, size_t length) {
                receiving->Finish(in, ReadFile(in, bytes, static_cast<DWORD>(length), nullptr,
                                               receiving->get()));
            }};
}

Channel DescriptorChannel(int out, int in) {
    return {[out](const BYTE *bytes, size_t length) {
                while (length > 0) {
                    ssize_t n = write(out, bytes, length);
                    if (n <= 0) return;
                    bytes += n;
                    length -= n;
                }
            },
            [in](BYTE *bytes, size_t length) {
                while (length > 0) {
                    ssize_t n = read(in, bytes, length);
                    if (n <= 0) return;
                    bytes += n;
                    length -= n;
                }
            }};
}

// MB/s for `count` requests of `size` bytes, written in one thread and read in another.
double Throughput(const Channel &channel, size_t size, size_t count) {
    std::vector<BYTE> sent(size, 0x5A), got(size);
    auto start = Clock::now();
    std::thread writer([&] {
        for (size_t i = 0; i < count; i++)
            channel.send(sent.data(), size);
    });
    for (size_t i = 0; i < count; i++)
        channel.receive(got.data(), size);
    writer.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(size) * count / seconds / 1e6;
}

// Microseconds per one-byte round trip: a byte goes there, an echo thread sends it back.
double RoundTrip(const Channel &there, const Channel &back, size_t rounds) {
    std::thread echo([&] {
        BYTE byte;
        for (size_t i = 0; i < rounds; i++) {
            there.receive(&byte, 1);
            back.send(&byte, 1);
        }
    });
    BYTE byte = 1;
    auto start = Clock::now();
    for (size_t i = 0; i < rounds; i++) {
        there.send(&byte, 1);
        back.receive(&byte, 1);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    echo.join();
    return seconds * 1e6 / rounds;
}

// A close reaches the driver once the I/O manager has released the handle's last
// requests, in the background; the next open of the port waits for that.
HANDLE OpenPort(const std::string &name, bool overlapped) {
    auto giveUp = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (port != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED ||
            Clock::now() > giveUp)
            return port;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct Descriptors {
    int there[2] = {-1, -1};  // a pipe each way, and a socketpair
    int back[2] = {-1, -1};
    int sockets[2] = {-1, -1};
    bool opened = false;

    Descriptors() {
        opened = pipe(there) == 0 && pipe(back) == 0 &&
                 socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) == 0;
    }
    ~Descriptors() {
        for (int fd : {there[0], there[1], back[0], back[1], sockets[0], sockets[1]})
            if (fd >= 0) close(fd);
    }
};

// The best of `runs` measurements: the highest throughput or the shortest round trip.
double Best(int runs, bool roundTrip, const std::function<double()> &measure) {
    double best = measure();
    for (int i = 1; i < runs; i++)
        best = roundTrip ? std::min(best, measure()) : std::max(best, measure());
    return best;
}

// The rows of one kind of port handle.
bool MeasureHandles(const std::string &first, const std::string &second, bool overlapped,
                    const DataPathOptions &options, const Descriptors &fds,
                    std::vector<DataPathRow> *rows, std::string *error) {
    HANDLE a = OpenPort(first, overlapped);
    HANDLE b = a == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : OpenPort(second, overlapped);
    if (b == INVALID_HANDLE_VALUE) {
        char reason[160];
        std::snprintf(reason, sizeof reason, "cannot open %s (error %lu)",
                      (a == INVALID_HANDLE_VALUE ? first : second).c_str(),
                      static_cast<unsigned long>(GetLastError()));
        *error = reason;
        if (a != INVALID_HANDLE_VALUE) CloseHandle(a);
        return false;
    }
    const char *kind = overlapped ? "overlapped" : "synchronous";
    Channel ports = PortChannel(a, b, overlapped);
    Channel portsBack = PortChannel(b, a, overlapped);
    Channel pipe = DescriptorChannel(fds.there[1], fds.there[0]);
    Channel pipeBack = DescriptorChannel(fds.back[1], fds.back[0]);
    Channel socket = DescriptorChannel(fds.sockets[0], fds.sockets[1]);
    Channel socketBack = DescriptorChannel(fds.sockets[1], fds.sockets[0]);

    // Requests per row: enough for a steady figure, fewer for the large sizes.
    struct Size {
        size_t bytes;
        size_t requests;
    };
    const Size sizes[] = {{1, 100000}, {64, 100000}, {4096, 50000}, {65536, 10000}};
    const size_t divisor = options.quick ? 20 : 1;
    for (const Size &size : sizes) {
        size_t count = size.requests / divisor;
        auto measure = [&](const Channel &channel) {
            return Best(options.runs, false, [&] { return Throughput(channel, size.bytes, count); });
        };
        char what[64];
        std::snprintf(what, sizeof what, "%s %zu B", kind, size.bytes);
        rows->push_back({what, false, measure(ports), measure(pipe), measure(socket)});
    }
    size_t rounds = 20000 / divisor;
    auto trip = [&](const Channel &there, const Channel &back) {
        return Best(options.runs, true, [&] { return RoundTrip(there, back, rounds); });
    };
    rows->push_back({std::string(kind) + " round trip", true, trip(ports, portsBack),
                     trip(pipe, pipeBack), trip(socket, socketBack)});
    CloseHandle(a);
    CloseHandle(b);
    return true;
}

}  // namespace

bool MeasureDataPath(const std::string &first, const std::string &second,
                     const DataPathOptions &options, std::vector<DataPathRow> *rows,
                     std::string *error) {
    Descriptors fds;
    if (!fds.opened) {
        *error = "cannot create the pipes and the socketpair";
        return false;
    }
    return MeasureHandles(first, second, false, options, fds, rows, error) &&
           MeasureHandles(first, second, true, options, fds, rows, error);
}

std::string FormatDataPathTable(const std::vector<DataPathRow> &rows) {
    std::string text;
    char line[200];
    std::snprintf(line, sizeof line, "%-29s %10s %10s %10s %10s %10s\n", "", "ports", "pipe",
                  "socketpair", "ports/pipe", "ports/sock");
    text += line;
    const DataPathRow *synchronousTrip = nullptr;
    const DataPathRow *overlappedTrip = nullptr;
    for (const DataPathRow &row : rows) {
        const char *unit = row.roundTrip ? "us" : "MB/s";
        std::snprintf(line, sizeof line, "%-24s %4s %10.2f %10.2f %10.2f %10.2f %10.2f\n",
                      row.what.c_str(), unit, row.ports, row.pipe, row.socketpair,
                      row.ports / row.pipe, row.ports / row.socketpair);
        text += line;
        if (row.roundTrip)
            (synchronousTrip == nullptr ? synchronousTrip : overlappedTrip) = &row;
    }
    if (synchronousTrip != nullptr && overlappedTrip != nullptr) {
        std::snprintf(line, sizeof line, "overlapped round trip / synchronous round trip: %.2f\n",
                      overlappedTrip->ports / synchronousTrip->ports);
        text += line;
    }
    return text;
}
