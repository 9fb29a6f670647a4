// A handful of freed blocks kept for reuse, so that the I/O manager's per-request
// memory (request packets, their records, their system buffers) comes without a trip
// to the heap once the path is warm. Thread-safe; blocks may be given back by another
// thread than the one that took them.
#pragma once

#include "spin_flag.h"

#include <cstddef>

class BlockCache {
public:
    static constexpr size_t kMostKept = 64;

    // Keeps at most `keep` (up to kMostKept) free blocks; further ones go back to the heap.
    explicit BlockCache(size_t keep) : keep_(keep < kMostKept ? keep : kMostKept) {}
    ~BlockCache() { drain(); }
    BlockCache(const BlockCache &) = delete;
    BlockCache &operator=(const BlockCache &) = delete;

    // A block of at least `size` bytes, contents undefined; null when the heap has none.
    void *take(size_t size);
    // Gives back a block from take() (null is ignored).
    void give(void *block);
    // Frees every kept block.
    void drain();

private:
    SpinFlag lock_;
    void *free_[kMostKept];
    size_t count_ = 0;
    size_t keep_;
};
