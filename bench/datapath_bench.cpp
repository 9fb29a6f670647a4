// Throughput through a connected pair of ports (write on one, read on the other) for
// request sizes 1, 64, 4096 and 65536 bytes, and the one-byte round trip (ping-pong),
// with a Unix pipe and a socketpair measured the same way as references. Runs on an
// embedded machine built as the driver tests build it.
#include "datapath_fixture.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A byte channel: a way to send from one end and receive at the other.
struct Channel {
    std::function<void(const BYTE *, size_t)> send;
    std::function<void(BYTE *, size_t)> receive;
};

Channel FileChannel(HANDLE out, HANDLE in) {
    return {[out](const BYTE *bytes, size_t length) {
                DWORD done;
                WriteFile(out, bytes, static_cast<DWORD>(length), &done, nullptr);
            },
            [in](BYTE *bytes, size_t length) {
                DWORD done;
                ReadFile(in, bytes, static_cast<DWORD>(length), &done, nullptr);
            }};
}

Channel DescriptorChannel(int out, int in) {
    return {[out](const BYTE *bytes, size_t length) {
                while (length > 0) {
                    ssize_t n = write(out, bytes, length);
                    bytes += n;
                    length -= n;
                }
            },
            [in](BYTE *bytes, size_t length) {
                while (length > 0) {
                    ssize_t n = read(in, bytes, length);
                    bytes += n;
                    length -= n;
                }
            }};
}

// Bytes per second for `total` bytes sent in requests of `size` bytes.
double Throughput(const Channel &channel, size_t size, size_t total) {
    std::vector<BYTE> sent(size, 0x5A), got(size);
    auto start = Clock::now();
    std::thread writer([&] {
        for (size_t done = 0; done < total; done += size)
            channel.send(sent.data(), size);
    });
    for (size_t done = 0; done < total; done += size)
        channel.receive(got.data(), size);
    writer.join();
    return total / std::chrono::duration<double>(Clock::now() - start).count();
}

// Microseconds per one-byte round trip between the two ends.
double RoundTrip(const Channel &there, const Channel &back, int rounds) {
    std::thread echo([&] {
        BYTE byte;
        for (int i = 0; i < rounds; i++) {
            there.receive(&byte, 1);
            back.send(&byte, 1);
        }
    });
    BYTE byte = 1;
    auto start = Clock::now();
    for (int i = 0; i < rounds; i++) {
        there.send(&byte, 1);
        back.receive(&byte, 1);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    echo.join();
    return seconds * 1e6 / rounds;
}

struct Bench : DataPathTest {
    void TestBody() override {}
    using DataPathTest::SetUp;
    using DataPathTest::TearDown;
};

void Report(const char *what, const Channel &pair, const Channel &pipe, const Channel &socket) {
    const size_t sizes[] = {1, 64, 4096, 65536};
    for (size_t size : sizes) {
        size_t total = size == 1 ? (1u << 18) : size == 64 ? (16u << 20) : (512u << 20);
        double ports = Throughput(pair, size, total);
        double pipes = Throughput(pipe, size, total);
        double sockets = Throughput(socket, size, total);
        std::printf("%s %6zu bytes: ports %9.1f MB/s  pipe %9.1f MB/s  socketpair %9.1f MB/s"
                    "  (ports/pipe %.2f, ports/socketpair %.2f)\n",
                    what, size, ports / 1e6, pipes / 1e6, sockets / 1e6, ports / pipes,
                    ports / sockets);
    }
}

}  // namespace

int main() {
    Bench bench;
    bench.SetUp();
    HANDLE a = DataPathTest::OpenPort(0, false);
    HANDLE b = DataPathTest::OpenPort(1, false);
    if (a == INVALID_HANDLE_VALUE || b == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "cannot open the ports\n");
        return 1;
    }
    int pipeAB[2], pipeBA[2], sockets[2];
    if (pipe(pipeAB) != 0 || pipe(pipeBA) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, sockets) != 0)
        return 1;

    Report("throughput", FileChannel(a, b), DescriptorChannel(pipeAB[1], pipeAB[0]),
           DescriptorChannel(sockets[0], sockets[1]));
    const int rounds = 100000;
    double ports = RoundTrip(FileChannel(a, b), FileChannel(b, a), rounds);
    double pipes = RoundTrip(DescriptorChannel(pipeAB[1], pipeAB[0]),
                             DescriptorChannel(pipeBA[1], pipeBA[0]), rounds);
    double socketTrip = RoundTrip(DescriptorChannel(sockets[0], sockets[1]),
                                  DescriptorChannel(sockets[1], sockets[0]), rounds);
    std::printf("round trip 1 byte: ports %.2f us  pipe %.2f us  socketpair %.2f us"
                "  (ports/pipe %.2f, ports/socketpair %.2f)\n",
                ports, pipes, socketTrip, ports / pipes, ports / socketTrip);

    CloseHandle(a);
    CloseHandle(b);
    bench.TearDown();
    return 0;
}
