// Lookup, release, reallocation and quarantine cleanup.
#include "support.h"

using kt::hex;
using kt::readLog;

namespace {

// The two entries of a quarantined release of block `index` of pool `pool`.
std::string quarantineEntries(const void *data, int pool, int index) {
    return " CRIT: KovaMemFreeNode: Ptr " + hex(data) + " from Pool " + std::to_string(pool) + " and Block " +
           std::to_string(index) + " might be corrupted\n ERROR: KovaMemFreeNode: FAILED to free the Ptr " +
           hex(data) + "\n";
}

uint8_t *alloc(uint32_t size) { return static_cast<uint8_t *>(KovaMemAlloc(size)); }

}  // namespace

using Release = kt::Scenario;

TEST_F(Release, LookupTellsBusyFromFreeAndForeignWithPreviousHeader) {
    kt::start(kt::Cfg{{1, 4}});
    uint8_t *a = alloc(10), *b = alloc(10);
    MemFindResult r{};
    EXPECT_EQ(memFindBlock(nullptr, &r), MEM_FIND_NOT_MANAGED);
    ASSERT_EQ(memFindBlock(b, &r), MEM_FIND_FOUND);
    EXPECT_TRUE(r.pool == &memPoolData[0] && r.prev == kt::hdrOf(a));
    ASSERT_EQ(memFindBlock(a, &r), MEM_FIND_FOUND);
    EXPECT_EQ(r.prev, nullptr);
    EXPECT_EQ(memFindBlock(a + 1, &r), MEM_FIND_NOT_BUSY);
    KovaMemFree(a);
    EXPECT_EQ(memFindBlock(a, &r), MEM_FIND_NOT_BUSY);
    KovaMemFree(b);
}

TEST_F(Release, DoubleFreeIsRefusedSilentlyAndForeignGoesToCHeap) {
    kt::start(kt::Cfg{{1, 2}});
    void *p = KovaMemAlloc(16);  // exactly the block size, all of it written
    memset(p, 0x5A, 16);
    EXPECT_EQ(KovaMemFree(p), 1);
    EXPECT_EQ(KovaMemFree(p), MEM_FREE_NOT_BUSY);
    EXPECT_EQ(KovaMemFree(nullptr), 1);
    EXPECT_EQ(KovaMemFree(malloc(8)), 1);
    EXPECT_EQ(kt::pool(0), "N2 F2 B0 C0 A0 P1");
    EXPECT_EQ(memMgrDetails.memFreeCount + memMgrDetails.sysFreeCount, 2u);
    EXPECT_EQ(readLog(), "");
}

TEST_F(Release, OneByteOverrunQuarantinesWithBothEntries) {
    kt::start(kt::Cfg{{1, 3}});
    uint8_t *ok = alloc(10), *p = alloc(10);
    memset(ok, 1, 10);
    memset(p, 1, 11);  // one byte into the guard at data + 10
    EXPECT_EQ(KovaMemFree(ok), 1);
    EXPECT_EQ(KovaMemFree(p), 0);
    EXPECT_EQ(readLog(), quarantineEntries(p, 0, 1));
    EXPECT_EQ(kt::pool(0), "N3 F2 B0 C1 A0 P2");
    EXPECT_EQ(memMgrDetails.corruptCount, 1);
    EXPECT_EQ(memMgrDetails.memFreeCount, 1u);
}

TEST_F(Release, FreedBlocksAreReusedFirstInFirstOut) {
    kt::start(kt::Cfg{{0, 3}});
    void *a = KovaMemAlloc(8), *b = KovaMemAlloc(8), *c = KovaMemAlloc(8);
    KovaMemFree(a);
    KovaMemFree(b);
    EXPECT_EQ(KovaMemAlloc(8), a);
    EXPECT_EQ(KovaMemAlloc(8), b);
    for (void *p : {c, b, a}) KovaMemFree(p);  // newest first: prev set each time but the last
    EXPECT_TRUE(memPoolData[0].busyHead == nullptr && memPoolData[0].busyTail == nullptr);
}

TEST(ReleaseBeforeInit, SystemPathsCount) {
    void *q = KovaMemReAlloc(KovaMemAlloc(10), 20);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(KovaMemFree(q), 1);
    const MemMgrDetails &m = memMgrDetails;
    EXPECT_EQ(std::to_string(m.sysMallocCount) + std::to_string(m.sysReallocCount) + std::to_string(m.sysFreeCount),
              "111");
}

TEST_F(Release, ReallocStaysWhileTheBlockHoldsItOtherwiseMoves) {
    kt::start(kt::Cfg{{1, 2}, {2, 2}});
    uint8_t *p = alloc(10);
    memcpy(p, "0123456789", 10);
    EXPECT_EQ(KovaMemReAlloc(p, 16), p);
    EXPECT_EQ(KovaMemReAlloc(p, 0), p);
    EXPECT_EQ(kt::wordAt(p + 10), MEM_GUARD_WORD);  // size and guard stay as they were
    EXPECT_EQ(kt::pool(0), "N2 F1 B1 C0 A10 P1");
    uint8_t *q = static_cast<uint8_t *>(KovaMemReAlloc(p, 20));
    ASSERT_NE(q, p);
    EXPECT_EQ(memcmp(q, "0123456789", 10), 0);
    EXPECT_EQ(kt::hdrOf(q)->poolIndex, 1);
    EXPECT_EQ(memPoolData[0].freeTail->data, p);
    EXPECT_EQ(memMgrDetails.memReallocCount, 1u);
    EXPECT_EQ(KovaMemReAlloc(nullptr, 10), nullptr);
    void *big = KovaMemAlloc(64);
    EXPECT_EQ(KovaMemReAlloc(big, 128), nullptr);  // C-heap block: nothing done
    EXPECT_EQ(memMgrDetails.sysMallocCount + memMgrDetails.memMallocCount, 3u);
    KovaMemFree(big);
    KovaMemFree(q);
}

TEST_F(Release, ReallocOfDamagedBlockQuarantinesOldAndReturnsNew) {
    kt::start(kt::Cfg{{0, 1}, {1, 1}});
    uint8_t *p = alloc(4);
    memset(p, 7, 5);
    void *q = KovaMemReAlloc(p, 12);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(memPoolData[0].corruptCount, 1);
    EXPECT_EQ(readLog(), quarantineEntries(p, 0, 0));
    KovaMemFree(q);
}

// ---- cleanup ----

TEST(CleanupBeforeInit, WritesOnlyTheThreeBanners) {
    kt::init(kt::Cfg{});  // fails: the log is named, the manager is not built
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    const std::string dashes(79, '-');
    EXPECT_EQ(readLog(), dashes + "\n---------------------- Memory Manager is Not Initialized ----------------------\n" +
                             dashes + "\n");
}

using Cleanup = kt::Scenario;

TEST_F(Cleanup, ReturnsEachBlockToItsPoolNewestQuarantinedFirst) {
    kt::start(kt::Cfg{{0, 3}, {2, 2}});
    const std::string notRequired = " EXIT: KovaMemCleanMemBlocks: Process not Required\n";
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), notRequired);
    KovaMemUpdateLogStackFlag(1);
    uint8_t *keep = alloc(8), *a = alloc(2), *b = alloc(8), *c = alloc(30);
    a[2] ^= 0xFF;   // each damages its guard
    b[8] ^= 0xFF;
    c[32] ^= 0xFF;  // 30 > 32 - 4: the guard sits at data + S
    for (uint8_t *p : {a, b, c}) EXPECT_EQ(KovaMemFree(p), 0);
    EXPECT_EQ(memMgrDetails.corruptList->stackRec, nullptr);  // records given back
    EXPECT_EQ(kt::table(), "free 2999 busy 1");
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), " INFO: KovaMemCleanMemBlocks: Process Started\n"
                         " EXIT: KovaMemCleanMemBlocks: Process Successfull\n");
    EXPECT_TRUE(memMgrDetails.corruptCount == 0 && memMgrDetails.corruptList == nullptr);
    EXPECT_EQ(kt::pool(0), "N3 F2 B1 C0 A8 P3");
    EXPECT_EQ(kt::pool(1), "N2 F2 B0 C0 A0 P1");
    // Pool 0 had no free block: B (quarantined last) heads, then A.
    EXPECT_TRUE(memPoolData[0].freeHead->data == b && memPoolData[0].freeTail->data == a);
    EXPECT_EQ(kt::wordAt(a + 8), MEM_GUARD_WORD);
    EXPECT_EQ(kt::wordAt(c + 32), MEM_GUARD_WORD);
    EXPECT_EQ(memMgrDetails.memFreeCount, 0u);  // counters untouched
    EXPECT_EQ(KovaMemAlloc(8), b);
    EXPECT_EQ(KovaMemAlloc(8), a);
    EXPECT_EQ(KovaMemFree(a), 1);
    KovaMemFree(b);
    KovaMemFree(keep);
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), notRequired);
}
