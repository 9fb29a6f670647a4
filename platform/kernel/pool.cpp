// Nonpaged pool: every block is tracked with its tag, size and the image whose
// code allocated it, so that frees are checked and leaks are found per image.
// New blocks are filled with a pattern, not zeroed, as on Windows.
#include "pool.h"

#include "ke_internal.h"
#include "verifier.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <string>

namespace {

constexpr UCHAR kFreshPattern = 0xA5;

struct Block {
    SIZE_T size;
    ULONG tag;
    const void *imageBase;
    const void *caller;
};

std::mutex g_poolLock;
std::map<const void *, Block> g_blocks;
// Freed addresses not handed out again, so that a second free is told from a
// pointer that never was a block.
std::set<const void *> g_freed;
PoolStatistics g_statistics;
std::set<ULONG> g_failTags;
SIZE_T g_failAtLeast;  // 0: no size rule
ULONG g_failCountdown; // 0: no count rule

const void *ImageBaseOf(const void *address) {
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0) return nullptr;
    return info.dli_fbase;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = char((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 32 && c < 127 ? c : '.');
    }
    return text;
}

bool InjectedFailure(SIZE_T size, ULONG tag) {
    if (g_failTags.count(tag)) return true;
    if (g_failAtLeast != 0 && size >= g_failAtLeast) return true;
    if (g_failCountdown != 0 && --g_failCountdown == 0) return true;
    return false;
}

void PoolFree(PVOID pointer, ULONG tag, const void *caller) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        VerifierStop("POOL_FREE_IRQL", caller, "pool freed at IRQL %u", KeGetCurrentIrql());
    std::lock_guard<std::mutex> lock(g_poolLock);
    auto it = g_blocks.find(pointer);
    if (it == g_blocks.end()) {
        if (g_freed.count(pointer))
            VerifierStop("POOL_DOUBLE_FREE", caller, "pool block %p freed twice", pointer);
        VerifierStop("POOL_FREE_FOREIGN_POINTER", caller, "%p is not a pool block", pointer);
    }
    if (tag != 0 && tag != it->second.tag)
        VerifierStop("POOL_TAG_MISMATCH", caller, "block %p has tag '%s', freed with tag '%s'",
                     pointer, TagText(it->second.tag).c_str(), TagText(tag).c_str());
    ++g_statistics.frees;
    --g_statistics.outstandingBlocks;
    g_statistics.outstandingBytes -= it->second.size;
    g_blocks.erase(it);
    g_freed.insert(pointer);
    free(pointer);
}

}  // namespace

// Allocation on behalf of the code at `caller` (a driver's call, or a kernel routine
// that allocates for its caller, like RtlQueryRegistryValues).
// A 32-bit system's pool is a few hundred megabytes at most: a larger request fails
// as it would there, instead of being served (and filled) from the host's memory.
constexpr SIZE_T kPoolLimit = SIZE_T(256) << 20;

PVOID PoolAllocate(POOL_TYPE type, SIZE_T size, ULONG tag, const void *caller) {
    KIRQL irql = KeGetCurrentIrql();
    KIRQL maximum = (type == PagedPool || type == PagedPoolCacheAligned) ? APC_LEVEL : DISPATCH_LEVEL;
    if (irql > maximum)
        VerifierStop("POOL_ALLOCATION_IRQL", caller, "pool type %d allocated at IRQL %u", type, irql);
    const void *imageBase = ImageBaseOf(caller);
    std::lock_guard<std::mutex> lock(g_poolLock);
    if (InjectedFailure(size, tag) || size > kPoolLimit - g_statistics.outstandingBytes) {
        ++g_statistics.failedAllocations;
        return nullptr;
    }
    void *memory = malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        ++g_statistics.failedAllocations;
        return nullptr;
    }
    memset(memory, kFreshPattern, size);
    g_freed.erase(memory);
    g_blocks[memory] = Block{size, tag, imageBase, caller};
    ++g_statistics.allocations;
    ++g_statistics.outstandingBlocks;
    g_statistics.outstandingBytes += size;
    return memory;
}

void PoolStart() {
    std::lock_guard<std::mutex> lock(g_poolLock);
    g_statistics = PoolStatistics{};
    g_statistics.outstandingBlocks = g_blocks.size();
    for (auto &entry : g_blocks) g_statistics.outstandingBytes += entry.second.size;
    g_failTags.clear();
    g_failAtLeast = 0;
    g_failCountdown = 0;
}

PoolStatistics PoolGetStatistics() {
    std::lock_guard<std::mutex> lock(g_poolLock);
    return g_statistics;
}

ULONGLONG PoolOutstandingBlocksWithTag(ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolLock);
    ULONGLONG count = 0;
    for (auto &entry : g_blocks) count += entry.second.tag == tag;
    return count;
}

void PoolCheckLeaksForImage(const void *addressInImage, const char *imageName) {
    const void *imageBase = ImageBaseOf(addressInImage);
    std::lock_guard<std::mutex> lock(g_poolLock);
    ULONGLONG blocks = 0, bytes = 0;
    const Block *first = nullptr;
    for (auto &entry : g_blocks) {
        if (entry.second.imageBase != imageBase) continue;
        if (first == nullptr) first = &entry.second;
        ++blocks;
        bytes += entry.second.size;
    }
    if (blocks != 0)
        VerifierStop("POOL_LEAK_AT_UNLOAD", first->caller,
                     "%s unloaded with %llu pool blocks (%llu bytes) still allocated, the first "
                     "with tag '%s'",
                     imageName, (unsigned long long)blocks, (unsigned long long)bytes, TagText(first->tag).c_str());
}

void PoolFailAllocationsWithTag(ULONG tag) {
    std::lock_guard<std::mutex> lock(g_poolLock);
    g_failTags.insert(tag);
}

void PoolFailAllocationsOfAtLeast(SIZE_T bytes) {
    std::lock_guard<std::mutex> lock(g_poolLock);
    g_failAtLeast = bytes;
}

void PoolFailNthAllocation(ULONG n) {
    std::lock_guard<std::mutex> lock(g_poolLock);
    g_failCountdown = n;
}

void PoolClearFaults() {
    std::lock_guard<std::mutex> lock(g_poolLock);
    g_failTags.clear();
    g_failAtLeast = 0;
    g_failCountdown = 0;
}

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return PoolAllocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return PoolAllocate(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */,
                        __builtin_return_address(0));
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { PoolFree(P, Tag, __builtin_return_address(0)); }

VOID NTAPI ExFreePool(PVOID P) { PoolFree(P, 0, __builtin_return_address(0)); }

}  // extern "C"
