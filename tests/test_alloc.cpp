// Allocation: pool choice, guard placement, fall-through, the C-heap paths,
// counters, and the trace records attached while tracing is on.
#include <vector>

#include "support.h"

using kt::readLog;

namespace {

bool inPool(const void *p, int k) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return a >= kovamem::memPool(k).firstBlock && a <= kovamem::memPool(k).lastBlock;
}

const std::string kDestEmpty = " REQ: memMoveStackDataDLink: Dest List is Empty for pool of size ";
const std::string kSrcEmpty = " REQ: memMoveStackDataDLink: Src List is Empty for pool of size ";

}  // namespace

using Alloc = kt::Scenario;

TEST_F(Alloc, SmallestFittingPoolGuardBehindCallersBytesAndPeak) {
    kt::start(kt::Cfg{{0, 4}, {1, 4}});
    uint8_t *a = static_cast<uint8_t *>(KovaMemAlloc(8));
    uint8_t *b = static_cast<uint8_t *>(KovaMemAlloc(9));
    EXPECT_TRUE(inPool(a, 0) && inPool(b, 1));
    EXPECT_EQ(kt::wordAt(b + 9), MEM_GUARD_WORD);
    for (uint32_t size = 4; size <= 8; ++size) {  // 4: right behind; 5..8: at data + S
        uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(size));
        EXPECT_EQ(kt::wordAt(p + (size == 4 ? 4 : 8)), MEM_GUARD_WORD) << size;
        EXPECT_EQ(KovaMemFree(p), 1);
    }
    EXPECT_EQ(kt::pool(0), "N4 F3 B1 C0 A8 P2");
    EXPECT_EQ(kt::pool(1), "N4 F3 B1 C0 A9 P1");
    EXPECT_EQ(kt::counted().memMallocCount, 7u);
    EXPECT_EQ(readLog(), "");
    KovaMemFree(a);
    KovaMemFree(b);
}

TEST_F(Alloc, FullPoolFallsThroughThenToCHeap) {
    kt::start(kt::Cfg{{0, 1}, {1, 1}});
    void *a = KovaMemAlloc(8), *b = KovaMemAlloc(8), *c = KovaMemAlloc(8);
    void *big = KovaMemAlloc(17);  // beyond the largest pool
    EXPECT_TRUE(inPool(a, 0) && inPool(b, 1));
    EXPECT_EQ(kt::hdrOf(c), nullptr);
    const std::string full = " REQ: KovaMemAlloc: 0 Pool is full and so going to next Pool";
    EXPECT_EQ(readLog(), kt::noted(full, 1) + kt::noted(full, 2) +
                             kt::noted(" REQ: KovaMemAlloc: 1 Pool is full and so going to next Pool", 1) +
                             kt::noted(" EXIT: ERROR: KovaMemAlloc: Mem Full and going for System alloc with size 8", 1) +
                             kt::noted(" EXIT: ERROR: KovaMemAlloc: System alloc with size 17", 1));
    EXPECT_EQ(kt::counted().memMallocCount, 2u);
    EXPECT_EQ(memMgrDetails.sysMallocCount, 2u);
    for (void *p : {a, b, c, big}) KovaMemFree(p);
}

TEST_F(Alloc, CallocZeroesReusedBlockAndZeroRequestLogsItsCaller) {
    kt::start(kt::Cfg{{1, 1}});
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(16));
    memset(p, 0xAA, 16);
    KovaMemFree(p);
    uint8_t *q = static_cast<uint8_t *>(KovaMemCalloc(3, 4));
    ASSERT_EQ(q, p);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(q), 12), std::string(12, '\0'));
    KovaMemFree(q);

    KovaMemResetFile();
    EXPECT_EQ(KovaMemCalloc(0, 10), nullptr);
    const std::string log = readLog();
    EXPECT_EQ(log.rfind(" EXIT: Allocation for Zero Bytes \nSTACK DETAILS: A:     0 L:     0 T:       0 c: \n[", 0), 0u);
    std::vector<MemTraceAddr> addrs;  // entry 0 inside KovaMemAlloc, entry 1 its caller
    for (size_t at = log.find('['); at != std::string::npos; at = log.find('[', at + 1))
        addrs.push_back(static_cast<MemTraceAddr>(strtoull(log.c_str() + at + 1, nullptr, 16)));
    ASSERT_GE(addrs.size(), 2u);
    EXPECT_EQ(kt::functionOf(addrs[0]) + " " + kt::functionOf(addrs[1]), "KovaMemAlloc KovaMemCalloc");
}

// ---- trace records ----

using TraceRecords = kt::Scenario;

TEST_F(TraceRecords, AttachInKovaMemAllocNewestFirstAndReuseOfFreedRecord) {
    kt::start(kt::Cfg{{2, 4}});
    for (int dir : {0, 3}) EXPECT_EQ(memMoveStackDataDLink(dir, &memStackRecords[0], &memStackData), 0);
    EXPECT_EQ(memMoveStackDataDLink(MEM_STACK_TO_BUSY, nullptr, &memStackData), 0);
    KovaMemUpdateLogStackFlag(7);
    EXPECT_EQ(memStackData.logStack, 1);
    void *a = kt::ktAllocFrom(24);
    MemStackRec *ra = &memStackRecords[0];
    EXPECT_EQ(kt::table(), "free 2999 busy 1");
    EXPECT_TRUE(kt::hdrOf(a)->stackRec == ra && ra->hdr == kt::hdrOf(a));
    EXPECT_EQ(ra->size + ra->tag, 24u);
    EXPECT_EQ(kt::functionOf(ra->trace[0]) + " " + kt::functionOf(ra->trace[1]), "KovaMemAlloc ktAllocFrom");
    EXPECT_EQ(readLog(), kDestEmpty + "0\n");
    void *b = KovaMemAlloc(2), *c = KovaMemAlloc(3);
    MemStackRec *rb = kt::hdrOf(b)->stackRec, *rc = kt::hdrOf(c)->stackRec;
    EXPECT_TRUE(memStackData.busyHead == rc && rc->next == rb && rb->next == ra);
    KovaMemFree(b);
    EXPECT_TRUE(rc->next == ra && ra->prev == rc && memStackData.freeHead == rb && rb->hdr == nullptr);
    void *d = KovaMemAlloc(4);
    EXPECT_EQ(kt::hdrOf(d)->stackRec, rb);
    KovaMemFree(c);
    KovaMemFree(d);
    KovaMemResetFile();
    KovaMemFree(a);  // the only traced block left
    EXPECT_EQ(readLog(), kSrcEmpty + "24\n");
    EXPECT_EQ(memStackData.busyHead, nullptr);
}

TEST_F(TraceRecords, TableExhaustionLeavesLaterBlocksUntraced) {
    kt::start(kt::Cfg{{0, 3002}});
    KovaMemUpdateLogStackFlag(1);
    std::vector<void *> live;
    for (int i = 0; i < 2999; ++i) live.push_back(KovaMemAlloc(8));
    KovaMemResetFile();
    live.push_back(KovaMemAlloc(8));  // the 3000th takes the last record
    EXPECT_EQ(readLog(), kSrcEmpty + "0\n");
    KovaMemResetFile();
    live.push_back(KovaMemAlloc(5));  // the 3001st goes without, silently
    EXPECT_EQ(readLog(), "");
    EXPECT_EQ(kt::hdrOf(live.back())->stackRec, nullptr);
    EXPECT_EQ(kt::table(), "free 0 busy 3000");
    EXPECT_EQ(kt::validity(), "valid");
    KovaMemFree(live[0]);
    EXPECT_EQ(readLog(), kDestEmpty + "8\n");
    for (size_t i = 1; i < live.size(); ++i) KovaMemFree(live[i]);
    EXPECT_EQ(kt::table(), "free 3000 busy 0");
}

TEST_F(TraceRecords, SwitchingOffResetsTableAndLiveHeadersLoseRecords) {
    kt::start(kt::Cfg{{3, 4}});
    void *untraced = KovaMemAlloc(40);
    KovaMemUpdateLogStackFlag(1);
    void *a = KovaMemAlloc(50), *b = KovaMemAlloc(60);
    KovaMemFree(untraced);  // allocated while tracing was off: table untouched
    EXPECT_EQ(kt::table(), "free 2998 busy 2");
    KovaMemUpdateLogStackFlag(0);
    EXPECT_EQ(memStackData.logStack, 0);
    EXPECT_EQ(kt::table(), "free 3000 busy 0");
    EXPECT_TRUE(kt::hdrOf(a)->stackRec == nullptr && kt::hdrOf(b)->stackRec == nullptr);
    KovaMemUpdateLogStackFlag(1);
    KovaMemResetFile();
    KovaMemFree(a);  // its record was taken back by the reset: nothing moves
    EXPECT_EQ(memStackData.freeHead, &memStackRecords[0]);
    EXPECT_EQ(readLog(), "");
    KovaMemFree(b);
}

