// A lock for bookkeeping that lasts a few instructions and never waits for anything
// while held (a list link, a counter, a cache slot): taking and releasing it is one
// atomic operation each, where a mutex's round trip costs several times that. A thread
// that finds it taken yields until it is free.
#pragma once

#include <atomic>
#include <mutex>  // std::lock_guard and std::unique_lock take it
#include <thread>

class SpinFlag {
public:
    void lock() {
        while (flag_.test_and_set(std::memory_order_acquire))
            std::this_thread::yield();
    }
    void unlock() { flag_.clear(std::memory_order_release); }

private:
    std::atomic_flag flag_;
};
