// Lookup, release, reallocation and quarantine cleanup.
#include <stdlib.h>

#include "support.h"

using kt::readLog;

namespace {

std::string hex(const void *p) {
    char b[32];
    snprintf(b, sizeof b, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return b;
}

// The two entries of a quarantined release of block `index` of pool `pool`.
std::string quarantineEntries(const void *data, int pool, int index, const void *slot) {
    return " CRIT: KovaMemFreeNode: Ptr " + hex(data) + " from Pool " + std::to_string(pool) + " and Block " +
           std::to_string(index) + " might be corrupted\n ERROR: KovaMemFreeNode: FAILED to free the Ptr " +
           hex(slot) + "\n";
}

}  // namespace

using Release = kt::Scenario;

TEST_F(Release, LookupTellsBusyFromFreeAndForeignWithPreviousHeader) {
    kt::start(kt::Cfg{{1, 4}});
    uint8_t *a = static_cast<uint8_t *>(KovaMemAlloc(10));
    uint8_t *b = static_cast<uint8_t *>(KovaMemAlloc(10));
    MemFindResult r{};
    EXPECT_EQ(memFindBlock(nullptr, &r), MEM_FIND_NOT_MANAGED);
    void *heap = malloc(32);
    EXPECT_EQ(memFindBlock(heap, &r), MEM_FIND_NOT_MANAGED);
    free(heap);
    ASSERT_EQ(memFindBlock(b, &r), MEM_FIND_FOUND);
    EXPECT_EQ(r.pool, &memPoolData[0]);
    EXPECT_EQ(r.prev, kt::hdrOf(a));
    ASSERT_EQ(memFindBlock(a, &r), MEM_FIND_FOUND);
    EXPECT_EQ(r.prev, nullptr);
    EXPECT_EQ(memFindBlock(a + 1, &r), MEM_FIND_NOT_BUSY);
    KovaMemFree(a);
    EXPECT_EQ(memFindBlock(a, &r), MEM_FIND_NOT_BUSY);
    KovaMemFree(b);
}

TEST_F(Release, DoubleFreeIsRefusedSilentlyAndNullIsFine) {
    kt::start(kt::Cfg{{1, 2}});
    void *p = KovaMemAlloc(16);  // exactly the block size: guard at data + S
    memset(p, 0x5A, 16);
    EXPECT_EQ(KovaMemFree(p), 1);
    EXPECT_EQ(KovaMemFree(p), MEM_FREE_NOT_BUSY);
    EXPECT_EQ(KovaMemFree(nullptr), 1);
    EXPECT_EQ(readLog(), "");
    EXPECT_EQ(memPoolData[0].freeCount, 2);
    EXPECT_EQ(memMgrDetails.memFreeCount, 1u);
}

TEST_F(Release, OneByteOverrunQuarantinesWithBothEntries) {
    kt::start(kt::Cfg{{1, 3}});
    uint8_t *ok = static_cast<uint8_t *>(KovaMemAlloc(10));
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(10));
    memset(ok, 1, 10);
    memset(p, 1, 11);  // one byte into the guard at data + 10
    EXPECT_EQ(KovaMemFree(ok), 1);
    EXPECT_EQ(KovaMemFree(p), 0);
    EXPECT_EQ(readLog(), quarantineEntries(p, 0, 1, p));
    const MemPool &pool = memPoolData[0];
    EXPECT_EQ(pool.freeCount, 2);
    EXPECT_EQ(pool.busyCount, 0);
    EXPECT_EQ(pool.corruptCount, 1);
    EXPECT_EQ(pool.reqBytes, 0u);
    EXPECT_EQ(memMgrDetails.corruptCount, 1);
    EXPECT_EQ(memMgrDetails.memFreeCount, 1u);
    MemFindResult r{};
    EXPECT_EQ(memFindBlock(p, &r), MEM_FIND_NOT_BUSY);
}

TEST_F(Release, FreedBlocksAreReusedFirstInFirstOut) {
    kt::start(kt::Cfg{{0, 3}});
    void *a = KovaMemAlloc(8), *b = KovaMemAlloc(8), *c = KovaMemAlloc(8);
    KovaMemFree(a);
    KovaMemFree(b);
    EXPECT_EQ(KovaMemAlloc(8), a);
    EXPECT_EQ(KovaMemAlloc(8), b);
    for (void *p : {c, b, a}) KovaMemFree(p);  // newest first: prev non-NULL each time
    const MemPool &pool = memPoolData[0];
    EXPECT_EQ(pool.busyHead, nullptr);
    EXPECT_EQ(pool.busyTail, nullptr);
}

TEST_F(Release, ForeignAddressesGoToTheCHeap) {
    kt::start(kt::Cfg{{0, 1}});
    void *big = KovaMemAlloc(100);
    EXPECT_EQ(KovaMemFree(big), 1);
    EXPECT_EQ(memMgrDetails.sysFreeCount, 1u);
    EXPECT_EQ(memMgrDetails.memFreeCount, 0u);
}

TEST(ReleaseBeforeInit, SystemPathsLogAndCount) {
    unlink(kt::logPath().c_str());
    void *p = KovaMemAlloc(10);
    void *q = KovaMemReAlloc(p, 20);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(KovaMemFree(q), 1);
    EXPECT_EQ(memMgrDetails.sysMallocCount, 1u);
    EXPECT_EQ(memMgrDetails.sysReallocCount, 1u);
    EXPECT_EQ(memMgrDetails.sysFreeCount, 1u);
    EXPECT_EQ(readLog(), "");  // no log file before the first init
}

TEST_F(Release, ReallocStaysWhileTheBlockHoldsItOtherwiseMoves) {
    kt::start(kt::Cfg{{1, 2}, {2, 2}});
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(10));
    memcpy(p, "0123456789", 10);
    EXPECT_EQ(KovaMemReAlloc(p, 16), p);
    EXPECT_EQ(KovaMemReAlloc(p, 0), p);
    EXPECT_EQ(kt::hdrOf(p)->reqSize, 10u);  // size and guard stay as they were
    EXPECT_EQ(kt::wordAt(p + 10), MEM_GUARD_WORD);
    EXPECT_EQ(memPoolData[0].reqBytes, 10u);
    uint8_t *q = static_cast<uint8_t *>(KovaMemReAlloc(p, 20));
    ASSERT_NE(q, p);
    EXPECT_EQ(memcmp(q, "0123456789", 10), 0);
    EXPECT_EQ(kt::hdrOf(q)->poolIndex, 1);
    EXPECT_EQ(memPoolData[0].freeCount, 2);
    EXPECT_EQ(memPoolData[0].freeTail->data, p);
    EXPECT_EQ(memMgrDetails.memReallocCount, 1u);
    // NULL and C-heap blocks: NULL, nothing done.
    EXPECT_EQ(KovaMemReAlloc(nullptr, 10), nullptr);
    void *big = KovaMemAlloc(64);
    EXPECT_EQ(KovaMemReAlloc(big, 128), nullptr);
    EXPECT_EQ(memMgrDetails.sysMallocCount, 1u);
    EXPECT_EQ(memMgrDetails.memMallocCount, 2u);
    EXPECT_EQ(readLog(), " EXIT: ERROR: KovaMemAlloc: System alloc with size 64\n");
    KovaMemFree(big);
    KovaMemFree(q);
}

TEST_F(Release, ReallocOfDamagedBlockQuarantinesOldAndReturnsNew) {
    kt::start(kt::Cfg{{0, 1}, {1, 1}});
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(4));
    memset(p, 7, 5);
    uint8_t *q = static_cast<uint8_t *>(KovaMemReAlloc(p, 12));
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(memPoolData[0].corruptCount, 1);
    EXPECT_EQ(readLog(), quarantineEntries(p, 0, 0, p));
    KovaMemFree(q);
}

// ---- cleanup ----

using Cleanup = kt::Scenario;

TEST(CleanupBeforeInit, WritesOnlyTheThreeBanners) {
    kt::init(kt::Cfg{});  // no pool: the log exists, the manager does not
    ASSERT_EQ(KovaMemIsInitialized(), 0);
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    const std::string dashes(79, '-');
    EXPECT_EQ(readLog(), dashes + "\n---------------------- Memory Manager is Not Initialized ----------------------\n" +
                             dashes + "\n");
}

TEST_F(Cleanup, ReturnsEachBlockToItsPoolNewestQuarantinedFirst) {
    kt::start(kt::Cfg{{0, 3}, {2, 2}});
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), " EXIT: KovaMemCleanMemBlocks: Process not Required\n");

    uint8_t *keep = static_cast<uint8_t *>(KovaMemAlloc(8));
    uint8_t *a = static_cast<uint8_t *>(KovaMemAlloc(2));
    uint8_t *b = static_cast<uint8_t *>(KovaMemAlloc(8));
    uint8_t *c = static_cast<uint8_t *>(KovaMemAlloc(30));
    a[2] ^= 0xFF;  // each damages its guard
    b[8] ^= 0xFF;
    c[32] ^= 0xFF;  // 30 > 32 - 4: the guard sits at data + S
    for (uint8_t *p : {a, b, c}) EXPECT_EQ(KovaMemFree(p), 0);
    EXPECT_EQ(memMgrDetails.corruptCount, 3);
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(),
              " INFO: KovaMemCleanMemBlocks: Process Started\n"
              " EXIT: KovaMemCleanMemBlocks: Process Successfull\n");
    EXPECT_EQ(memMgrDetails.corruptCount, 0);
    EXPECT_EQ(memMgrDetails.corruptList, nullptr);
    const MemPool &p0 = memPoolData[0], &p1 = memPoolData[1];
    EXPECT_EQ(p0.corruptCount + p1.corruptCount, 0);
    EXPECT_EQ(p0.freeCount, 2);
    EXPECT_EQ(p1.freeCount, 2);
    // Pool 0 had no free block: B (quarantined last) heads, then A.
    EXPECT_EQ(p0.freeHead->data, b);
    EXPECT_EQ(p0.freeTail->data, a);
    EXPECT_EQ(p1.freeTail->data, c);
    for (uint8_t *p : {a, b}) EXPECT_EQ(kt::wordAt(p + 8), MEM_GUARD_WORD);
    EXPECT_EQ(kt::wordAt(c + 32), MEM_GUARD_WORD);
    EXPECT_EQ(memMgrDetails.memFreeCount, 0u);  // counters untouched

    EXPECT_EQ(KovaMemAlloc(8), b);
    uint8_t *again = static_cast<uint8_t *>(KovaMemAlloc(8));
    EXPECT_EQ(again, a);
    EXPECT_EQ(KovaMemFree(again), 1);
    KovaMemFree(b);
    KovaMemFree(keep);
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), " EXIT: KovaMemCleanMemBlocks: Process not Required\n");
}

TEST_F(Cleanup, QuarantinedTracedBlockGivesItsRecordBack) {
    kt::start(kt::Cfg{{0, 1}});
    KovaMemUpdateLogStackFlag(1);
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(4));
    p[4] ^= 0xFF;
    EXPECT_EQ(KovaMemFree(p), 0);
    EXPECT_EQ(memStackData.busyCount, 0);
    EXPECT_EQ(memMgrDetails.corruptList->stackRec, nullptr);
    KovaMemCleanMemBlocks();
    EXPECT_EQ(memPoolData[0].freeHead, memPoolData[0].freeTail);
    EXPECT_EQ(memPoolData[0].freeCount, 1);
}
