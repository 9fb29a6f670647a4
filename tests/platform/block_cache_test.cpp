// The I/O manager's cache of freed request memory.
#include <block_cache.h>

#include <gtest/gtest.h>

#include <cstring>

// A block comes back for the smallest request it fits, so that a small request does not
// take the block a large one needs; a request that no kept block fits gets new memory
// of its full size; beyond its limit the cache keeps nothing.
TEST(BlockCacheTest, GivesTheSmallestFittingBlockAndKeepsNoMoreThanItsLimit) {
    BlockCache cache(2);
    void *large = cache.take(4096);
    void *small = cache.take(64);
    void *extra = cache.take(64);
    ASSERT_NE(large, nullptr);
    std::memset(large, 0xAB, 4096);  // the whole size is usable
    cache.give(large);
    cache.give(small);
    cache.give(extra);  // over the limit: back to the heap
    EXPECT_EQ(cache.take(32), small);
    void *fresh = cache.take(8192);
    EXPECT_NE(fresh, large);
    std::memset(fresh, 0xCD, 8192);
    EXPECT_EQ(cache.take(100), large);
    cache.give(fresh);
    cache.give(nullptr);
    EXPECT_EQ(cache.take(5000), fresh);
    cache.give(fresh);
    cache.give(large);
    cache.give(small);  // over the limit again; the rest goes with the cache
}
