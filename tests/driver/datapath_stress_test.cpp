// Both directions at full speed with random request sizes and timeouts, while the
// manual clock runs in its own thread; the same with cancellations, reopening and the
// removal of a port mid-stream; and byte-exact delivery while cancels, purges, new queue
// sizes and timeouts end requests early. Bounded in host time: a run that stalls closes
// the ports (which ends every pending request) and fails.
#include "datapath_fixture.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

namespace {

// Waits for one overlapped request and returns its byte count; the request's status is
// left in the record.
ULONG Wait(HANDLE port, Overlapped &request) {
    DWORD bytes = 0;
    GetOverlappedResult(port, &request.ov, &bytes, TRUE);
    return request.Bytes();
}

// Advances the manual clock a millisecond at a time until told to stop.
class ClockThread {
public:
    ClockThread()
        : thread_([this] {
              while (!stop_) {
                  MachineAdvanceClockMs(1);
                  std::this_thread::yield();
              }
          }) {}
    ~ClockThread() {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

class DataPathStressTest : public DataPathTest {
protected:
    static constexpr double kHostSecondsLimit = 120;
};

// Every byte that the writers' completed requests report arrives, once and in order,
// and nothing else arrives; timed-out writes resend their unreported remainder.
TEST_F(DataPathStressTest, BothDirectionsDeliverExactlyTheReportedBytes) {
    const size_t kBytes = 1 << 19;
    HANDLE ports[2] = {OpenPort(0), OpenPort(1)};
    ASSERT_NE(ports[0], INVALID_HANDLE_VALUE);
    ASSERT_NE(ports[1], INVALID_HANDLE_VALUE);
    // Interval and total read timeouts, and a write total timeout, on each side.
    ASSERT_TRUE(SetTimeouts(ports[0], 3, 0, 7, 0, 5));
    ASSERT_TRUE(SetTimeouts(ports[1], 11, 1, 2, 0, 13));

    std::vector<BYTE> streams[2];
    std::vector<BYTE> received[2];
    std::mt19937 seed(1);
    for (auto &stream : streams) {
        stream.resize(kBytes);
        for (BYTE &b : stream)
            b = static_cast<BYTE>(seed());
    }
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int side = 0; side < 2; side++) {
        threads.emplace_back([&, side] {
            std::mt19937 random(10 + side);
            size_t offset = 0;
            while (offset < kBytes) {
                size_t size = std::min<size_t>(kBytes - offset, 1 + random() % 9000);
                Overlapped write;
                StartWrite(ports[side],
                           write, std::vector<BYTE>(streams[side].begin() + offset,
                                                    streams[side].begin() + offset + size));
                offset += Wait(ports[side], write);
                if (write.Status() == STATUS_CANCELLED)
                    break;
            }
            finished++;
        });
        threads.emplace_back([&, side] {
            std::mt19937 random(20 + side);
            std::vector<BYTE> &got = received[side];
            while (got.size() < kBytes) {
                Overlapped read;
                StartRead(ports[1 - side], read, 1 + random() % 9000);
                ULONG bytes = Wait(ports[1 - side], read);
                if (read.Status() == STATUS_CANCELLED)
                    break;
                got.insert(got.end(), read.data.begin(), read.data.begin() + bytes);
            }
            finished++;
        });
    }
    bool done;
    {
        ClockThread clock;
        done = Eventually([&] { return finished == 4; }, kHostSecondsLimit);
        if (!done) {
            CloseHandle(ports[0]);
            CloseHandle(ports[1]);
        }
        for (auto &thread : threads)
            thread.join();
    }
    ASSERT_TRUE(done) << "the transfer stalled";
    EXPECT_TRUE(received[0] == streams[0]);
    EXPECT_TRUE(received[1] == streams[1]);
    CloseHandle(ports[0]);
    CloseHandle(ports[1]);
}

// Cancellations, timeouts, purges by close and reopen on both sides, then the removal
// of one port while the other keeps going: every request ends, nothing deadlocks, and
// the verifier sees each request completed once and no memory left at unload.
TEST_F(DataPathStressTest, CancelsReopensAndRemovalMidStreamEndEveryRequest) {
    std::atomic<bool> removed{false};
    std::atomic<int> finished{0};
    std::atomic<ULONGLONG> completions{0};
    std::vector<std::thread> threads;
    for (ULONG side = 0; side < 2; side++) {
        threads.emplace_back([&, side] {
            std::mt19937 random(30 + side);
            HANDLE port = OpenPort(side);
            for (int step = 0; step < 3000 && port != INVALID_HANDLE_VALUE; step++) {
                switch (random() % 8) {
                case 0:  // purge by close, then open again
                    CloseHandle(port);
                    port = OpenPort(side);
                    continue;
                case 1:
                    SetTimeouts(port, random() % 3 == 0 ? kMaxTimeout : random() % 20,
                                random() % 3, random() % 30, random() % 2, random() % 30);
                    continue;
                default:
                    break;
                }
                Overlapped read, write;
                StartRead(port, read, 1 + random() % 5000);
                StartWrite(port, write, Pattern(1 + random() % 5000, static_cast<BYTE>(step)));
                if (random() % 3 == 0)
                    CancelIo(port);
                // Requests that no timeout ends are cancelled after a few turns.
                for (int turn = 0; turn < 50 && !(read.Done() && write.Done()); turn++)
                    std::this_thread::yield();
                if (!(read.Done() && write.Done()))
                    CancelIo(port);
                Wait(port, read);
                Wait(port, write);
                completions += 2;
                if (removed && side == 1)
                    break;
            }
            if (port != INVALID_HANDLE_VALUE)
                CloseHandle(port);
            finished++;
        });
    }
    bool done;
    {
        ClockThread clock;
        // Remove port 1 once both sides are well under way.
        ASSERT_TRUE(Eventually([&] { return completions > 2000 || finished == 2; },
                               kHostSecondsLimit));
        EXPECT_EQ(Unplug(1), STATUS_SUCCESS);
        removed = true;
        done = Eventually([&] { return finished == 2; }, kHostSecondsLimit);
        for (auto &thread : threads)
            thread.join();
    }
    ASSERT_TRUE(done) << "a request never ended";
    EXPECT_GT(completions.load(), 2000u);
    // The driver unloads after its last port; the loader stops on any block left.
    ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
    EXPECT_FALSE(DriverLoaded());
}

// Exactly once: each side receives exactly the concatenation of what the other side's
// writes reported, in order, and nothing more, while the issuing threads cancel their
// own requests, a third thread aborts reads and writes by purge and gives the rings new
// sizes, and total and interval timeouts expire. Requests of 1 to 70000 bytes.
TEST_F(DataPathStressTest, EveryReportedByteArrivesExactlyOnceWhateverEndsTheRequests) {
    const size_t kBytes = 32 << 20;
    HANDLE ports[2] = {OpenPort(0), OpenPort(1)};
    ASSERT_NE(ports[0], INVALID_HANDLE_VALUE);
    ASSERT_NE(ports[1], INVALID_HANDLE_VALUE);
    std::vector<BYTE> streams[2];
    std::vector<BYTE> received[2];
    std::mt19937 seed(2);
    for (auto &stream : streams) {
        stream.resize(kBytes);
        for (BYTE &b : stream)
            b = static_cast<BYTE>(seed());
    }
    struct Figures {
        std::atomic<unsigned long long> requests{0}, cancels{0}, cutShort{0}, timeouts{0}, purges{0},
            resizes{0};
    } figures;
    std::atomic<bool> failedStatus{false};
    std::atomic<int> finished{0};
    // However fast the streams run, the writers hold their last request back until the
    // third thread has meddled this often and a request has run out its time, so that
    // every kind of ending occurs (the waiting readers time out, or are purged and start
    // again under newer timeouts).
    const unsigned kMeddlingsBeforeTheEnd = 300;
    std::atomic<unsigned> meddlings{0};
    std::vector<std::thread> threads;
    // The issuing thread cancels its own request at once, after a few turns, or not at all.
    auto maybeCancel = [&](std::mt19937 &random, HANDLE port, Overlapped &request) {
        switch (random() % 6) {
        case 0:
            break;
        case 1:
            for (int turn = 0; turn < 20 && !request.Done(); turn++)
                std::this_thread::yield();
            break;
        default:
            return;
        }
        CancelIo(port);
        figures.cancels++;
    };
    // An ended request: a failure status reports no bytes, and a cancelled or purged one
    // that moved bytes reports them as a success.
    auto account = [&](const Overlapped &request) {
        figures.requests++;
        NTSTATUS status = request.Status();
        if (status == STATUS_TIMEOUT)
            figures.timeouts++;
        else if (status == STATUS_CANCELLED)
            figures.cutShort++;
        if (!NT_SUCCESS(status) && (status != STATUS_CANCELLED || request.Bytes() != 0))
            failedStatus = true;
        if (status == STATUS_SUCCESS && request.Bytes() < request.data.size())
            figures.cutShort++;
    };
    for (int side = 0; side < 2; side++) {
        threads.emplace_back([&, side] {
            std::mt19937 random(40 + side);
            size_t offset = 0;
            while (offset < kBytes && !failedStatus) {
                size_t size = std::min<size_t>(kBytes - offset, 1 + random() % 70000);
                if (offset + size == kBytes)
                    Eventually([&] {
                        return meddlings >= kMeddlingsBeforeTheEnd && figures.timeouts > 0;
                    }, kHostSecondsLimit);
                Overlapped write;
                StartWrite(ports[side], write,
                           std::vector<BYTE>(streams[side].begin() + offset,
                                             streams[side].begin() + offset + size));
                maybeCancel(random, ports[side], write);
                offset += Wait(ports[side], write);
                account(write);
            }
            finished++;
        });
        threads.emplace_back([&, side] {
            std::mt19937 random(50 + side);
            std::vector<BYTE> &got = received[side];
            while (got.size() < kBytes && !failedStatus) {
                Overlapped read;
                StartRead(ports[1 - side], read, 1 + random() % 70000);
                maybeCancel(random, ports[1 - side], read);
                ULONG bytes = Wait(ports[1 - side], read);
                account(read);
                if (NT_SUCCESS(read.Status()))
                    got.insert(got.end(), read.data.begin(), read.data.begin() + bytes);
            }
            finished++;
        });
    }
    std::atomic<bool> stopMeddling{false};
    threads.emplace_back([&] {
        std::mt19937 random(60);
        const ULONG kRingSizes[] = {128, 1024, 4096, 20000, 70000};
        while (!stopMeddling) {
            HANDLE port = ports[random() % 2];
            Overlapped request;
            DWORD returned;
            switch (random() % 4) {
            case 0: {
                ULONG purge = random() % 2 ? SERIAL_PURGE_RXABORT : SERIAL_PURGE_TXABORT;
                DeviceIoControl(port, IOCTL_SERIAL_PURGE, &purge, sizeof(purge), nullptr, 0,
                                &returned, &request.ov);
                figures.purges++;
                break;
            }
            case 1: {
                SERIAL_QUEUE_SIZE sizes = {kRingSizes[random() % 5], kRingSizes[random() % 5]};
                DeviceIoControl(port, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof(sizes), nullptr,
                                0, &returned, &request.ov);
                figures.resizes++;
                break;
            }
            default: {
                // Reads return on the first byte, run out their interval or their total,
                // or wait until full; writes may run out their total.
                const SERIAL_TIMEOUTS kChoices[] = {{kMaxTimeout, kMaxTimeout, 5, 0, 0},
                                                    {2, 0, 0, 0, 3},
                                                    {0, 0, 4, 0, 0},
                                                    {0, 0, 0, 0, 0},
                                                    {1, 1, 9, 1, 1}};
                SERIAL_TIMEOUTS timeouts = kChoices[random() % 5];
                DeviceIoControl(port, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts),
                                nullptr, 0, &returned, &request.ov);
                break;
            }
            }
            EXPECT_TRUE(request.Done());
            EXPECT_EQ(request.Status(), STATUS_SUCCESS);
            meddlings++;
            std::this_thread::yield();
        }
    });
    auto started = std::chrono::steady_clock::now();
    bool done;
    {
        ClockThread clock;
        done = Eventually([&] { return finished == 4; }, kHostSecondsLimit);
        stopMeddling = true;
        if (!done) {
            CloseHandle(ports[0]);
            CloseHandle(ports[1]);
        }
        for (auto &thread : threads)
            thread.join();
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    ASSERT_TRUE(done) << "the transfer stalled";
    EXPECT_FALSE(failedStatus) << "a request failed, or reported bytes with a failure status";
    EXPECT_TRUE(received[0] == streams[0]);
    EXPECT_TRUE(received[1] == streams[1]);
    // Nothing more: no byte is left on its way once every reported byte has arrived.
    for (HANDLE port : ports) {
        ASSERT_TRUE(SetTimeouts(port, kMaxTimeout, 0, 0));
        Overlapped rest;
        StartRead(port, rest, 1);
        ASSERT_TRUE(rest.Done());
        EXPECT_EQ(rest.Bytes(), 0u);
    }
    // Every kind of ending happened.
    EXPECT_GT(figures.cancels.load(), 0u);
    EXPECT_GT(figures.cutShort.load(), 0u);
    EXPECT_GT(figures.timeouts.load(), 0u);
    EXPECT_GT(figures.purges.load(), 0u);
    EXPECT_GT(figures.resizes.load(), 0u);
    std::printf("exactly once: %zu bytes each way in %llu requests; %llu cancels, %llu requests "
                "cut short, %llu timeouts, %llu purges, %llu new queue sizes; %.1f s\n",
                kBytes, figures.requests.load(), figures.cancels.load(),
                figures.cutShort.load(), figures.timeouts.load(), figures.purges.load(),
                figures.resizes.load(), seconds);
    CloseHandle(ports[0]);
    CloseHandle(ports[1]);
}
