// The tracked pool: statistics, fault injection and the verifier's pool stops.
#include "machine_test.h"

#include <wdm.h>

#include "pool.h"

namespace {

constexpr ULONG kTag = 0x206B6444;  // "Ddk "
constexpr ULONG kOtherTag = 0x74736554;  // "Test"

using PoolTest = MachineTest;

TEST_F(PoolTest, AllocationsAreCountedPerTagAndReleasedByFree) {
    PoolStatistics before = PoolGetStatistics();
    void *a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
    void *b = ExAllocatePoolWithTag(NonPagedPool, 28, kTag);
    void *c = ExAllocatePoolWithTag(NonPagedPool, 1, kOtherTag);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kTag), 2u);
    PoolStatistics during = PoolGetStatistics();
    EXPECT_EQ(during.outstandingBlocks - before.outstandingBlocks, 3u);
    EXPECT_EQ(during.outstandingBytes - before.outstandingBytes, 129u);
    ExFreePoolWithTag(a, 0);  // tag 0 frees any block
    ExFreePoolWithTag(b, kTag);
    ExFreePool(c);
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kTag), 0u);
    EXPECT_EQ(PoolGetStatistics().outstandingBlocks, before.outstandingBlocks);
    EXPECT_EQ(PoolGetStatistics().frees - before.frees, 3u);
}

TEST_F(PoolTest, InjectedFailuresReturnNullByTagSizeAndCount) {
    PoolFailAllocationsWithTag(kTag);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
    void *other = ExAllocatePoolWithTag(NonPagedPool, 8, kOtherTag);
    EXPECT_NE(other, nullptr);
    ExFreePoolWithTag(other, 0);
    PoolClearFaults();

    PoolFailAllocationsOfAtLeast(4096);
    void *small = ExAllocatePoolWithTag(NonPagedPool, 4095, kTag);
    EXPECT_NE(small, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4096, kTag), nullptr);
    ExFreePoolWithTag(small, 0);
    PoolClearFaults();

    PoolFailNthAllocation(2);
    void *first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void *second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void *third = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);  // only the second fails, once
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(first, 0);
    ExFreePoolWithTag(third, 0);
    EXPECT_GE(PoolGetStatistics().failedAllocations, 3u);
}

// Pool is finite as on a 32-bit system: a request beyond it fails rather than being
// served from the host (a driver given a size by an application must cope).
TEST_F(PoolTest, ARequestBeyondThePoolFails) {
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, SIZE_T(0xFFFFFFF0), kTag), nullptr);
    void *fits = ExAllocatePoolWithTag(NonPagedPool, 1 << 20, kTag);
    EXPECT_NE(fits, nullptr);
    ExFreePoolWithTag(fits, 0);
}

// The control for LeakAtUnloadNamesTheImageAndTheTag below: the check that stops there
// passes here (the test ends) once the image's block is freed.
TEST_F(PoolTest, NoLeakReportWhenTheImageFreedEverything) {
    ULONGLONG before = PoolOutstandingBlocksWithTag(kTag);
    void *block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kTag), before + 1);
    ExFreePoolWithTag(block, 0);
    EXPECT_EQ(PoolOutstandingBlocksWithTag(kTag), before);
    PoolCheckLeaksForImage(reinterpret_cast<const void *>(&PoolGetStatistics), "ntoskrnl");
    PoolCheckLeaksForImage(reinterpret_cast<const void *>(&MachineTest::SetUpTestSuite), "tests");
}

using PoolDeathTest = MachineTest;

TEST_F(PoolDeathTest, DoubleFreeStops) {
    void *block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    ExFreePoolWithTag(block, 0);
    EXPECT_DEATH(ExFreePoolWithTag(block, 0), "POOL_DOUBLE_FREE");
}

TEST_F(PoolDeathTest, ForeignPointerStops) {
    static char notPool[16];
    EXPECT_DEATH(ExFreePoolWithTag(notPool, 0), "POOL_FREE_FOREIGN_POINTER");
}

TEST_F(PoolDeathTest, FreeWithAnotherTagStops) {
    void *block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    EXPECT_DEATH(ExFreePoolWithTag(block, kOtherTag), "POOL_TAG_MISMATCH");
    ExFreePoolWithTag(block, 0);
}

// Blocks are charged to the image whose code allocated them: here this test
// program, which plays the part of a driver being unloaded.
TEST_F(PoolDeathTest, LeakAtUnloadNamesTheImageAndTheTag) {
    void *block = ExAllocatePoolWithTag(NonPagedPool, 40, kTag);
    ASSERT_NE(block, nullptr);
    // The kernel's own image has no blocks: only the allocating image is charged.
    PoolCheckLeaksForImage(reinterpret_cast<const void *>(&PoolGetStatistics), "ntoskrnl");
    EXPECT_DEATH(
        PoolCheckLeaksForImage(reinterpret_cast<const void *>(&MachineTest::SetUpTestSuite),
                               "kelu.sys"),
        "POOL_LEAK_AT_UNLOAD: kelu.sys unloaded with 1 pool blocks \\(40 bytes\\).*'Ddk '");
    ExFreePoolWithTag(block, 0);
}

TEST_F(PoolDeathTest, PagedPoolAtDispatchLevelStops) {
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            ExAllocatePoolWithTag(PagedPool, 8, kTag);
        },
        "POOL_ALLOCATION_IRQL");
}

}  // namespace
