// Both directions at full speed with random request sizes and timeouts, while the
// manual clock runs in its own thread; then the same with cancellations, reopening and
// the removal of a port mid-stream. Bounded in host time: a run that stalls closes the
// ports (which ends every pending request) and fails.
#include "datapath_fixture.h"

#include <atomic>
#include <chrono>
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
            HANDLE port = ReopenPort(side);
            for (int step = 0; step < 3000 && port != INVALID_HANDLE_VALUE; step++) {
                switch (random() % 8) {
                case 0:  // purge by close, then open again
                    CloseHandle(port);
                    port = ReopenPort(side);
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
