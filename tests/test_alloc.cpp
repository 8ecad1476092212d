// Allocation: pool choice, guard placement, fall-through, the C-heap paths,
// counters, and the trace records attached while tracing is on.
#include <dlfcn.h>

#include <vector>

#include "chain.h"
#include "support.h"

using kt::readLog;

namespace {

std::string functionOf(MemTraceAddr a) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(a), &info) == 0 || info.dli_sname == nullptr) return "?";
    return info.dli_sname;
}

bool inPool(const void *p, int k) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return a >= memPoolData[k].firstBlock && a <= memPoolData[k].lastBlock;
}

}  // namespace

using Alloc = kt::Scenario;

TEST_F(Alloc, SmallestFittingPoolAndGuardBehindCallersBytes) {
    kt::start(kt::Cfg{{0, 4}, {1, 4}});
    uint8_t *a = static_cast<uint8_t *>(KovaMemAlloc(8));
    uint8_t *b = static_cast<uint8_t *>(KovaMemAlloc(9));
    EXPECT_TRUE(inPool(a, 0));
    EXPECT_TRUE(inPool(b, 1));
    EXPECT_EQ(kt::wordAt(a + 8), MEM_GUARD_WORD);
    EXPECT_EQ(kt::wordAt(b + 9), MEM_GUARD_WORD);
    for (uint32_t size = 4; size <= 8; ++size) {
        uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(size));
        const uint32_t at = size == 4 ? 4 : 8;
        EXPECT_EQ(kt::wordAt(p + at), MEM_GUARD_WORD) << size;
        EXPECT_EQ(kt::hdrOf(p)->reqSize, size);
        EXPECT_EQ(KovaMemFree(p), 1);
    }
    EXPECT_EQ(memPoolData[0].reqBytes, 8u);
    EXPECT_EQ(memPoolData[1].reqBytes, 9u);
    EXPECT_EQ(memMgrDetails.memMallocCount, 7u);
    EXPECT_EQ(readLog(), "");
    KovaMemFree(a);
    KovaMemFree(b);
}

TEST_F(Alloc, FullPoolFallsThroughThenToCHeap) {
    kt::start(kt::Cfg{{0, 1}, {1, 1}});
    void *a = KovaMemAlloc(8);
    void *b = KovaMemAlloc(8);
    void *c = KovaMemAlloc(8);
    EXPECT_TRUE(inPool(a, 0));
    EXPECT_TRUE(inPool(b, 1));
    EXPECT_EQ(kt::hdrOf(c), nullptr);
    EXPECT_EQ(readLog(),
              " REQ: KovaMemAlloc: 0 Pool is full and so going to next Pool\n"
              " REQ: KovaMemAlloc: 0 Pool is full and so going to next Pool\n"
              " REQ: KovaMemAlloc: 1 Pool is full and so going to next Pool\n"
              " EXIT: ERROR: KovaMemAlloc: Mem Full and going for System alloc with size 8\n");
    EXPECT_EQ(memMgrDetails.memMallocCount, 2u);
    EXPECT_EQ(memMgrDetails.sysMallocCount, 1u);
    KovaMemFree(a);
    KovaMemFree(b);
    KovaMemFree(c);
}

TEST_F(Alloc, LargerThanLargestGoesStraightToCHeap) {
    kt::start(kt::Cfg{{0, 2}, {1, 2}});
    void *p = KovaMemAlloc(17);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(readLog(), " EXIT: ERROR: KovaMemAlloc: System alloc with size 17\n");
    EXPECT_EQ(memMgrDetails.sysMallocCount, 1u);
    EXPECT_EQ(memPoolData[0].busyCount + memPoolData[1].busyCount, 0);
    KovaMemFree(p);
}

TEST(AllocBeforeInit, EveryRequestGoesToCHeap) {
    void *p = KovaMemAlloc(16);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(memMgrDetails.sysMallocCount, 1u);
    EXPECT_EQ(memMgrDetails.memMallocCount, 0u);
    free(p);
}

TEST_F(Alloc, PeakKeepsHighestBusyCount) {
    kt::start(kt::Cfg{{2, 5}});
    void *p[3];
    for (auto &x : p) x = KovaMemAlloc(20);
    KovaMemFree(p[0]);
    KovaMemFree(p[1]);
    void *q = KovaMemAlloc(30);
    EXPECT_EQ(memPoolData[0].busyCount, 2);
    EXPECT_EQ(memPoolData[0].peakCount, 3);
    EXPECT_EQ(memPoolData[0].reqBytes, 50u);
    KovaMemFree(p[2]);
    KovaMemFree(q);
}

TEST_F(Alloc, CallocZeroesReusedBlockAndLogsZeroRequest) {
    kt::start(kt::Cfg{{1, 1}});
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(16));
    memset(p, 0xAA, 16);
    KovaMemFree(p);
    uint8_t *q = static_cast<uint8_t *>(KovaMemCalloc(3, 4));
    ASSERT_EQ(q, p);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(q[i], 0) << i;
    EXPECT_EQ(kt::wordAt(q + 12), MEM_GUARD_WORD);
    KovaMemFree(q);

    KovaMemResetFile();
    EXPECT_EQ(KovaMemCalloc(0, 10), nullptr);
    const std::string log = readLog();
    EXPECT_EQ(log.rfind(" EXIT: Allocation for Zero Bytes \nSTACK DETAILS: A:     0 L:     0 T:       0 c: \n[", 0), 0u)
        << log;
    // Entry 0 lies in KovaMemAlloc, entry 1 in its caller, KovaMemCalloc.
    std::vector<MemTraceAddr> addrs;
    for (size_t at = log.find('['); at != std::string::npos; at = log.find('[', at + 1))
        addrs.push_back(static_cast<MemTraceAddr>(strtoull(log.c_str() + at + 1, nullptr, 16)));
    ASSERT_GE(addrs.size(), 2u);
    EXPECT_EQ(functionOf(addrs[0]), "KovaMemAlloc");
    EXPECT_EQ(functionOf(addrs[1]), "KovaMemCalloc");
    EXPECT_EQ(kt::count(log, "STACK DETAILS"), 1u);
}

TEST_F(Alloc, TracedAllocationCapturesFromKovaMemAllocBody) {
    kt::start(kt::Cfg{{0, 2}});
    KovaMemUpdateLogStackFlag(1);
    void *p = ktAllocFrom(6);
    MemStackRec *rec = kt::hdrOf(p)->stackRec;
    ASSERT_EQ(rec, &memStackRecords[0]);
    EXPECT_EQ(functionOf(rec->trace[0]), "KovaMemAlloc");
    EXPECT_EQ(functionOf(rec->trace[1]), "ktAllocFrom");
    KovaMemFree(p);
}

// ---- trace records ----

using TraceRecords = kt::Scenario;

TEST_F(TraceRecords, MoveRejectsNullRecordAndUnknownDirection) {
    kt::start(kt::Cfg{{0, 1}});
    for (int dir : {0, 3}) EXPECT_EQ(memMoveStackDataDLink(dir, &memStackRecords[0], &memStackData), 0);
    EXPECT_EQ(memMoveStackDataDLink(MEM_STACK_TO_BUSY, nullptr, &memStackData), 0);
    EXPECT_EQ(memStackData.freeCount, 3000);
    EXPECT_EQ(memStackData.freeHead, &memStackRecords[0]);
    EXPECT_EQ(readLog(), "");
}

TEST_F(TraceRecords, FirstTracedAllocationTakesFirstRecord) {
    kt::start(kt::Cfg{{2, 4}});
    KovaMemUpdateLogStackFlag(7);
    EXPECT_EQ(memStackData.logStack, 1);
    void *p = KovaMemAlloc(24);
    MemBlockHdr *h = kt::hdrOf(p);
    EXPECT_EQ(memStackData.freeCount, 2999);
    EXPECT_EQ(memStackData.busyCount, 1);
    EXPECT_EQ(h->stackRec, &memStackRecords[0]);
    EXPECT_EQ(memStackRecords[0].hdr, h);
    EXPECT_EQ(memStackRecords[0].size, 24u);
    EXPECT_EQ(memStackRecords[0].tag, 0u);
    EXPECT_EQ(readLog(), " REQ: memMoveStackDataDLink: Dest List is Empty for pool of size 0\n");
    KovaMemResetFile();
    KovaMemFree(p);  // the only traced block
    EXPECT_EQ(readLog(), " REQ: memMoveStackDataDLink: Src List is Empty for pool of size 24\n");
    EXPECT_EQ(memStackData.busyHead, nullptr);
    EXPECT_EQ(memStackData.freeCount, 3000);
}

TEST_F(TraceRecords, BusyListRunsNewestFirstAndFreedRecordIsReusedFirst) {
    kt::start(kt::Cfg{{2, 4}});
    KovaMemUpdateLogStackFlag(1);
    void *a = KovaMemAlloc(1), *b = KovaMemAlloc(2), *c = KovaMemAlloc(3);
    MemStackRec *ra = kt::hdrOf(a)->stackRec, *rb = kt::hdrOf(b)->stackRec, *rc = kt::hdrOf(c)->stackRec;
    EXPECT_EQ(memStackData.busyHead, rc);
    EXPECT_EQ(rc->next, rb);
    EXPECT_EQ(rb->next, ra);
    KovaMemFree(b);
    EXPECT_EQ(rc->next, ra);
    EXPECT_EQ(ra->prev, rc);
    EXPECT_EQ(memStackData.freeHead, rb);
    EXPECT_EQ(rb->hdr, nullptr);
    void *d = KovaMemAlloc(4);
    EXPECT_EQ(kt::hdrOf(d)->stackRec, rb);
    EXPECT_EQ(memStackData.busyHead, rb);
    for (void *p : {a, c, d}) KovaMemFree(p);
}

TEST_F(TraceRecords, TableExhaustionLeavesLaterBlocksUntraced) {
    kt::start(kt::Cfg{{0, 3002}});
    KovaMemUpdateLogStackFlag(1);
    std::vector<void *> live;
    for (int i = 0; i < 2999; ++i) live.push_back(KovaMemAlloc(8));
    KovaMemResetFile();
    live.push_back(KovaMemAlloc(8));  // the 3000th takes the last record
    EXPECT_EQ(readLog(), " REQ: memMoveStackDataDLink: Src List is Empty for pool of size 0\n");
    KovaMemResetFile();
    live.push_back(KovaMemAlloc(5));  // the 3001st goes without
    EXPECT_EQ(readLog(), "");
    EXPECT_EQ(kt::hdrOf(live.back())->stackRec, nullptr);
    EXPECT_EQ(memStackData.freeHead, nullptr);
    EXPECT_EQ(memStackData.busyCount, 3000);
    EXPECT_EQ(kt::validity(), "valid");
    KovaMemFree(live[0]);
    EXPECT_EQ(readLog(), " REQ: memMoveStackDataDLink: Dest List is Empty for pool of size 8\n");
    for (size_t i = 1; i < live.size(); ++i) KovaMemFree(live[i]);
    EXPECT_EQ(memStackData.freeCount, 3000);
}

TEST_F(TraceRecords, SwitchingOffResetsTableAndLiveHeadersLoseRecords) {
    kt::start(kt::Cfg{{3, 4}});
    void *untraced = KovaMemAlloc(40);
    KovaMemUpdateLogStackFlag(1);
    void *a = KovaMemAlloc(50), *b = KovaMemAlloc(60);
    KovaMemFree(untraced);  // traced off when allocated: table untouched
    EXPECT_EQ(memStackData.busyCount, 2);
    KovaMemUpdateLogStackFlag(0);
    EXPECT_EQ(memStackData.logStack, 0);
    EXPECT_EQ(memStackData.freeCount, 3000);
    EXPECT_EQ(memStackData.busyCount, 0);
    EXPECT_EQ(kt::hdrOf(a)->stackRec, nullptr);
    EXPECT_EQ(kt::hdrOf(b)->stackRec, nullptr);
    KovaMemUpdateLogStackFlag(1);
    KovaMemResetFile();
    KovaMemFree(a);  // record taken back by the reset: nothing moves
    EXPECT_EQ(memStackData.freeHead, &memStackRecords[0]);
    EXPECT_EQ(memStackData.freeCount, 3000);
    EXPECT_EQ(readLog(), "");
    KovaMemFree(b);
}

TEST(TraceSwitchBeforeInit, ActsOnStaticTableUntilInitResetsIt) {
    KovaMemUpdateLogStackFlag(1);
    EXPECT_EQ(memStackData.logStack, 1);
    kt::init(kt::Cfg{{0, 1}});
    EXPECT_EQ(memStackData.logStack, 0);
    EXPECT_EQ(memMgrDetails.stackData, &memStackData);
}
