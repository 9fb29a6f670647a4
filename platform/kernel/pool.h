// The tracked nonpaged pool: statistics, leak checks and fault injection.
#pragma once

#include <wdm.h>

struct PoolStatistics {
    ULONGLONG allocations;       // successful allocations since boot
    ULONGLONG frees;
    ULONGLONG failedAllocations; // including injected failures
    ULONGLONG outstandingBlocks;
    ULONGLONG outstandingBytes;
};

PoolStatistics PoolGetStatistics();
// Blocks still allocated with this tag.
ULONGLONG PoolOutstandingBlocksWithTag(ULONG tag);

// Stops (POOL_LEAK_AT_UNLOAD) when blocks allocated by code of the image that
// contains `addressInImage` (any of its code addresses, e.g. its entry point) are
// still allocated. The loader calls it after a driver's Unload routine returned.
void PoolCheckLeaksForImage(const void *addressInImage, const char *imageName);

// Fault injection; each rule stays until PoolClearFaults. A failed allocation
// returns NULL as Windows does.
void PoolFailAllocationsWithTag(ULONG tag);
void PoolFailAllocationsOfAtLeast(SIZE_T bytes);
// Fails the nth allocation from now (1 = the next one), once.
void PoolFailNthAllocation(ULONG n);
void PoolClearFaults();

// For kernel routines that allocate on behalf of their caller: the block is charged
// to the image that contains `caller`.
PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void *caller);
