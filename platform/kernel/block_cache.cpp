// Cached blocks carry their capacity in a header in front of the memory handed out.
#include "block_cache.h"

#include <algorithm>
#include <cstdlib>

namespace {

struct alignas(std::max_align_t) BlockHeader {
    size_t capacity;
};

BlockHeader *HeaderOf(void *block) { return static_cast<BlockHeader *>(block) - 1; }

}  // namespace

void *BlockCache::take(size_t size) {
    {
        // The most recently given back block that fits closely (at most twice the size),
        // else the smallest that fits, so that small requests leave the large blocks to
        // the large ones. In a cache of blocks of one size the first look finds one.
        std::lock_guard<SpinFlag> guard(lock_);
        size_t best = count_;
        for (size_t i = count_; i-- > 0;) {
            size_t capacity = HeaderOf(free_[i])->capacity;
            if (capacity < size)
                continue;
            if (best == count_ || capacity < HeaderOf(free_[best])->capacity)
                best = i;
            if (capacity / 2 <= size)
                break;
        }
        if (best != count_) {
            void *block = free_[best];
            free_[best] = free_[--count_];
            return block;
        }
    }
    auto *header = static_cast<BlockHeader *>(std::malloc(sizeof(BlockHeader) + size));
    if (header == nullptr)
        return nullptr;
    header->capacity = size;
    return header + 1;
}

void BlockCache::give(void *block) {
    if (block == nullptr)
        return;
    {
        std::lock_guard<SpinFlag> guard(lock_);
        if (count_ < keep_) {
            free_[count_++] = block;
            return;
        }
    }
    std::free(HeaderOf(block));
}

void BlockCache::drain() {
    void *blocks[kMostKept];
    size_t count;
    {
        std::lock_guard<SpinFlag> guard(lock_);
        count = count_;
        std::copy(free_, free_ + count, blocks);
        count_ = 0;
    }
    for (size_t i = 0; i < count; i++)
        std::free(HeaderOf(blocks[i]));
}
