// The statistics snapshot, its renderings, the peak window, live-since-a-
// mark and aligned allocation.
#include <functional>

#include "support.h"

namespace {

KovaMemStats snap() {
    KovaMemStats s;
    memset(&s, 0xAB, sizeof s);
    s.size = sizeof s;
    EXPECT_EQ(KovaMemGetStats(&s), 0);
    return s;
}

}  // namespace

using Stats = kt::Scenario;

TEST_F(Stats, SnapshotHoldsThePoolsAndCountersOfTheAllocationsMade) {
    kt::start(kt::Cfg{{0, 4}, {2, 3}});
    void *a = KovaMemAlloc(5), *b = KovaMemAlloc(8), *c = KovaMemAlloc(20);
    void *big = KovaMemAlloc(1000);  // the C heap
    KovaMemFree(b);
    void *moved = KovaMemReAlloc(a, 30);  // into the 32-byte pool
    kt::poke(static_cast<uint8_t *>(c) + 20, 0x80);
    EXPECT_EQ(KovaMemFree(c), 0);  // quarantined
    const KovaMemStats s = snap();
    EXPECT_EQ(s.version, 5u);
    EXPECT_EQ(s.size, sizeof s);
    EXPECT_EQ(s.poolCount, 2u);
    EXPECT_EQ(s.corruptCount, 1u);
    const KovaMemPoolStats &p8 = s.pools[0], &p32 = s.pools[1];
    EXPECT_EQ((std::vector<uint32_t>{p8.blockSize, p8.blockCount, p8.freeCount, p8.busyCount, p8.corruptCount,
                                     p8.reqBytes, p8.peakCount, p8.peakCountLifetime}),
              (std::vector<uint32_t>{8, 4, 4, 0, 0, 0, 2, 2}));
    EXPECT_EQ((std::vector<uint64_t>{p8.allocCount, p8.releaseCount}), (std::vector<uint64_t>{2, 2}));
    EXPECT_EQ((std::vector<uint32_t>{p32.freeCount, p32.busyCount, p32.corruptCount, p32.reqBytes}),
              (std::vector<uint32_t>{1, 1, 1, 30}));
    EXPECT_EQ((std::vector<uint64_t>{s.memMallocCount, s.memReallocCount, s.memFreeCount, s.sysMallocCount}),
              (std::vector<uint64_t>{4, 1, 2, 1}));
    const MemMgrDetails &m = memMgrDetails;  // the report's figures, widened
    EXPECT_EQ(s.memMallocCount, m.memMallocCount);
    EXPECT_EQ(s.memFreeCount, m.memFreeCount);
    EXPECT_EQ((std::vector<uint64_t>{s.totalReserved, s.totalMgmt, s.totalData}),
              (std::vector<uint64_t>{m.totalReserved, m.totalMgmt, m.totalData}));
    EXPECT_EQ((std::vector<uint64_t>{s.freeBytes, s.requiredBytes, s.usedBytes, s.peakBytes}),
              (std::vector<uint64_t>{4 * 8 + 32, 30, 32, 2 * 8 + 2 * 32}));
    EXPECT_EQ(s.traceRecordsFree + s.traceRecordsBusy + s.traceRecordsHeld, unsigned(MEM_STACK_RECORDS));
    for (int k = 2; k < MEM_POOL_SLOTS; ++k) EXPECT_EQ(s.pools[k].blockSize, 0u);  // beyond poolCount: zero
    KovaMemFree(moved);
    KovaMemFree(big);
    KovaMemCleanMemBlocks();
}

TEST_F(Stats, CallersOfOtherStructSizesGetWhatBothKnow) {
    kt::start(kt::Cfg{{0, 2}});
    struct Later {
        KovaMemStats head;
        uint64_t appended[4];
    } later;
    memset(&later, 0xCD, sizeof later);
    later.head.size = sizeof later;
    EXPECT_EQ(KovaMemGetStats(&later.head), 0);
    EXPECT_EQ(later.head.size, sizeof later);  // the caller's size stays
    EXPECT_EQ(later.head.poolCount, 1u);
    for (uint64_t v : later.appended) EXPECT_EQ(v, 0u);  // what this library does not know: zero
    KovaMemStats earlier;
    memset(&earlier, 0xCD, sizeof earlier);
    earlier.size = offsetof(KovaMemStats, pools);  // too small for the fixed head
    EXPECT_EQ(KovaMemGetStats(&earlier), -1);
    EXPECT_EQ(earlier.poolCount, 0xCDCDCDCDu);
    EXPECT_EQ(KovaMemGetStats(nullptr), -1);
    // A caller built with version 1 of the struct gets its 832 bytes.
    KovaMemStats v1;
    memset(&v1, 0xCD, sizeof v1);
    v1.size = offsetof(KovaMemStats, managementBytes);
    EXPECT_EQ(KovaMemGetStats(&v1), 0);
    EXPECT_EQ(v1.poolCount, 1u);
    EXPECT_EQ(v1.managementBytes, 0xCDCDCDCDCDCDCDCDull);  // beyond its struct: untouched
    // What a block really costs besides its data, as the README states it
    // per target and build, and what the snapshot adds up from it.
    auto perBlock = [](uint32_t s) {
        const size_t state = kt::config_classic ? 2 : 1;  // busy-list back-link, or state byte
        return uint32_t(sizeof(MemBlockHdr) + sizeof(uint64_t) + state + kovamem::memSlotStride(s) - s);
    };
    EXPECT_EQ(perBlock(64), kt::config_classic ? (sizeof(void *) == 8 ? 54u : 38u)
                                               : (kovamem::config_slot_align == 16 ? 65u : 41u));
    const KovaMemStats now = snap();
    EXPECT_GE(now.managementBytes, 2ull * perBlock(8));
    EXPECT_LT(now.managementBytes, 2ull * perBlock(8) + 8192);  // and the manager's few tables
    EXPECT_GE(now.traceTableBytes, sizeof(MemStackRec) * uint64_t{MEM_STACK_RECORDS});
    EXPECT_LT(now.traceTableBytes, sizeof(MemStackRec) * uint64_t{MEM_STACK_RECORDS} + 1024);
}

TEST_F(Stats, CHeapCountersCarryPastThirtyTwoBits) {
    kt::start(kt::Cfg{{0, 1}});
    memMgrDetails.sysMallocCount = 0xFFFFFFFFu;
    memMgrDetails.sysFreeCount = 0xFFFFFFFFu;
    KovaMemFree(KovaMemAlloc(100));
    const KovaMemStats s = snap();
    EXPECT_EQ(s.sysMallocCount, 0x100000000ull);
    EXPECT_EQ(s.sysFreeCount, 0x100000000ull);
    EXPECT_EQ(memMgrDetails.sysMallocCount, 0u);  // the report keeps its 32-bit figure
}

// Pools of 4 GiB and more (a 64-bit host): the snapshot's totals are
// summed in 64 bits; the report's 32-bit figures are the described ones.
TEST_F(Stats, TotalsOfPoolsBeyondFourGibibytesDoNotWrap) {
    if (sizeof(void *) < 8 || kovamem::config_asan || kovamem::config_tsan) GTEST_SKIP() << "4 GiB of pools";
    kt::start(kt::Cfg{{0, 65535}, {13, 65535}});
    const KovaMemStats s = snap();
    const uint64_t data = 65535ull * 8 + 65535ull * 65536;
    EXPECT_EQ(s.totalData, data);
    const uint64_t mgmt = kovamem::kMgmtManager + 2ull * kovamem::kMgmtPerPool +
                          65535ull * (kovamem::memMgmtPerBlock(8) + kovamem::memMgmtPerBlock(65536));
    EXPECT_EQ(s.totalMgmt, mgmt);
    EXPECT_EQ(s.totalReserved, data + mgmt);
    EXPECT_EQ(memMgrDetails.totalData, static_cast<uint32_t>(data));
}

// The file node_exporter's textfile collector reads: renamed into place
// whole, every series labelled with the process, nothing left behind when
// it cannot be written.
TEST_F(Stats, WriteFileReplacesTheFileWholeWithLabelledSeries) {
    char dir[] = "/tmp/kovamem-prom-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/kovamem_test.prom";
    EXPECT_EQ(KovaMemStatsWriteFile(path.c_str()), -1);  // not initialised
    kt::start(kt::Cfg{{0, 8}, {3, 4}});
    void *p = KovaMemAlloc(50);
    EXPECT_EQ(KovaMemStatsWriteFile(path.c_str()), 0);
    EXPECT_EQ(KovaMemStatsWriteFile(path.c_str()), 0);  // over the first
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string labels = "program=\"" + std::string(program_invocation_short_name) + "\",pid=\"" +
                               std::to_string(getpid()) + "\"";
    EXPECT_NE(text.str().find("kovamem_pool_allocations_total{" + labels + "} 1\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("kovamem_pool_busy_blocks{" + labels + ",pool=\"1\",block_size=\"64\"} 1\n"),
              std::string::npos);
    EXPECT_EQ(KovaMemStatsWriteFile((std::string(dir) + "/missing/x.prom").c_str()), -1);
    EXPECT_EQ(KovaMemStatsWriteFile(""), -1);
    unlink(path.c_str());
    EXPECT_EQ(rmdir(dir), 0);  // no temporary file left beside it
    KovaMemFree(p);
}

TEST_F(Stats, ResetPeaksStartsAWindowWhileLifetimePeaksStay) {
    kt::start(kt::Cfg{{0, 8}});
    std::vector<void *> v;
    for (int i = 0; i < 5; ++i) v.push_back(KovaMemAlloc(8));
    for (int i = 0; i < 3; ++i) {
        KovaMemFree(v.back());
        v.pop_back();
    }
    const uint64_t before = static_cast<uint64_t>(time(nullptr));
    KovaMemResetPeaks();
    KovaMemStats s = snap();
    EXPECT_EQ((std::vector<uint32_t>{s.pools[0].busyCount, s.pools[0].peakCount, s.pools[0].peakCountLifetime}),
              (std::vector<uint32_t>{2, 2, 5}));
    EXPECT_EQ(s.peakEpoch, 2u);
    EXPECT_GE(s.peakEpochStart, before);
    EXPECT_EQ(s.peakBytesWindow, 16u);
    EXPECT_EQ(s.peakBytes, 40u);
    v.push_back(KovaMemAlloc(8));
    s = snap();
    EXPECT_EQ(s.pools[0].peakCount, 3u);
    EXPECT_EQ(kovamem::memPool(0).peakCount, 5);  // the report's P column never resets
    EXPECT_EQ(kt::validity(), "valid");
    for (void *p : v) KovaMemFree(p);
}

TEST_F(Stats, RenderingsTellTheLengthTheyNeedAndCutCleanly) {
    kt::start(kt::Cfg{{0, 2}, {4, 3}});
    for (auto render : {KovaMemStatsJson, KovaMemStatsPrometheus}) {
        const int need = render(nullptr, 0);
        ASSERT_GT(need, 100);
        std::string whole(static_cast<size_t>(need) + 1, '\0');
        EXPECT_EQ(render(&whole[0], static_cast<uint32_t>(whole.size())), need);
        EXPECT_EQ(strlen(whole.c_str()), static_cast<size_t>(need));
        char cut[16];
        EXPECT_EQ(render(cut, sizeof cut), need);
        EXPECT_EQ(std::string(cut), whole.substr(0, 15));
    }
    std::string json(4096, '\0');
    json.resize(static_cast<size_t>(KovaMemStatsJson(&json[0], 4096)));
    EXPECT_EQ(kt::count(json, "\"blockSize\""), 2u);
    EXPECT_NE(json.find("\"schemaVersion\": 1"), std::string::npos);
    std::string prom(8192, '\0');
    prom.resize(static_cast<size_t>(KovaMemStatsPrometheus(&prom[0], 8192)));
    EXPECT_NE(prom.find("kovamem_pool_blocks{pool=\"1\",block_size=\"128\"} 3\n"), std::string::npos);
}

TEST_F(Stats, LiveSinceAMarkListsNewerBlocksByChainAndByPool) {
    kt::start(kt::Cfg{{0, 4}, {2, 4}});
    void *old = KovaMemAlloc(8);  // before the mark: never listed
    void *reused = KovaMemAlloc(8);
    const uint64_t mark = KovaMemMark();
    KovaMemFree(reused);
    void *a = KovaMemAlloc(6), *b = KovaMemAlloc(6), *c = KovaMemAlloc(20), *d = KovaMemAlloc(6);
    EXPECT_EQ(d, reused);  // the same address, a newer block
    KovaMemFree(KovaMemAlloc(100));  // classic: a C-heap allocation counts in the serial
    // Default build: a serial is the mark epoch (one more for each mark) in
    // its high bits and the pool's allocations in its low 40, so the mark
    // taken after 6 pool allocations, in epoch 1, is 2^40 + 7, and the
    // serial is 2^41 + 7 in the epoch that mark began.
    EXPECT_EQ(mark, 3u);
    const uint64_t next = kt::config_classic ? mark + 5 : (uint64_t{1} << 40) + 7;
    const uint64_t now = kt::config_classic ? mark + 5 : (uint64_t{2} << 40) + 7;
    EXPECT_EQ(KovaMemMark(), next);
    KovaMemResetFile();
    KovaMemPrintLiveSince(mark);
    EXPECT_EQ(kt::readLog(),
              " INFO: KovaMemPrintLiveSince: since mark " + std::to_string(mark) + " (serial now " +
                  std::to_string(now) + "): 4 blocks, 38 bytes in 2 groups\n"
                  " INFO: KovaMemPrintLiveSince: 1 blocks, 20 bytes, pool 1 (32 B), size 20, not traced\n"
                  " INFO: KovaMemPrintLiveSince: 3 blocks, 18 bytes, pool 0 (8 B), size 6, not traced\n"
                  " INFO: KovaMemPrintLiveSince: end\n");
    // Traced: grouped by chain, each chain once.
    KovaMemUpdateLogStackFlag(1);
    const uint64_t mark2 = KovaMemMark();
    std::vector<void *> traced;
    static volatile int two = 2;  // a count the compiler cannot unroll: one call site, one chain
    for (int i = 0; i < two; ++i) traced.push_back(kt::ktAllocFrom(20));
    KovaMemResetFile();
    KovaMemPrintLiveSince(mark2);
    const std::string log = kt::readLogMarked();
    EXPECT_NE(log.find(": 2 blocks, 40 bytes in 1 groups\n INFO: KovaMemPrintLiveSince: 2 blocks, 40 bytes, pools 1, "
                       "traced:\nSTACK DETAILS: A:"),
              std::string::npos)
        << log;
    for (void *p : traced) KovaMemFree(p);
    KovaMemUpdateLogStackFlag(0);
    for (void *p : {old, a, b, c, d}) KovaMemFree(p);
}

TEST_F(Stats, LiveSinceShowsTheBiggestGroupsAndOneRemainderLine) {
    kt::start(kt::Cfg{{5, 40}});
    const uint64_t mark = KovaMemMark();
    std::vector<void *> v;
    for (uint32_t size = 101; size <= 125; ++size) v.push_back(KovaMemAlloc(size));  // 25 groups of one
    KovaMemResetFile();
    KovaMemPrintLiveSince(mark);
    const std::string log = kt::readLog();
    EXPECT_EQ(kt::count(log, "not traced\n"), 20u);
    EXPECT_NE(log.find("size 125, not traced"), std::string::npos);  // biggest first
    EXPECT_EQ(log.find("size 105, not traced"), std::string::npos);
    EXPECT_NE(log.find(" INFO: KovaMemPrintLiveSince: 5 more groups: 5 blocks, 515 bytes\n"), std::string::npos)
        << log;
    for (void *p : v) KovaMemFree(p);
}

TEST_F(Stats, AlignedAllocationsComeFromAPoolThatHasTheAlignmentOrTheCHeap) {
    kt::start(kt::Cfg{{3, 4}});
    void *plain = KovaMemAllocAligned(40, 4);  // what every block has, in both builds: the pool
    EXPECT_NE(kt::hdrOf(plain), nullptr);
    void *wide = KovaMemAllocAligned(40, 256);  // no pool's blocks are 256-aligned
    ASSERT_NE(wide, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(wide) % 256, 0u);
    EXPECT_EQ(kt::hdrOf(wide), nullptr);
    EXPECT_EQ(memMgrDetails.sysMallocCount, 1u);
    KovaMemResetFile();
    EXPECT_EQ(KovaMemAllocAligned(40, 24), nullptr);
    EXPECT_EQ(kt::readLog(), " EXIT: ERROR: KovaMemAllocAligned: alignment 24 is not a power of two\n");
    EXPECT_EQ(KovaMemFree(wide) + KovaMemFree(plain), 2);
    EXPECT_EQ(memMgrDetails.sysFreeCount, 1u);
}

// The published pool table (memPoolData) is the pools' own picture after
// each operation that takes all locks, and a grown pool is in it at once;
// in the classic build it is the live table itself.
TEST_F(Stats, PublishedPoolTableMatchesTheLiveRecordsAfterEachFullPicture) {
    KovaMemSetPoolGrowth(8u << 20);
    kt::start(kt::Cfg{{0, 2}, {3, 4}});
    auto same = [](uint16_t k) { return memcmp(&memPoolData[k], &kovamem::memPool(k), sizeof(MemPool)) == 0; };
    std::vector<void *> v;
    for (int i = 0; i < 3; ++i) v.push_back(KovaMemAlloc(8));  // the third grows the 8-byte class
    v.push_back(KovaMemAlloc(60));
    ASSERT_EQ(memMgrDetails.poolCount, kt::config_classic ? 2 : 3);
    if (!kt::config_classic) {
        EXPECT_EQ(memPoolData[2].blockSize, 8u);  // published when made
    }
    const std::vector<std::function<void()>> pictures = {
        [] { KovaMemPrintMemStatus(); },
        [] {
            KovaMemStats s;
            s.size = sizeof s;
            KovaMemGetStats(&s);
        },
        [] { KovaMemCleanMemBlocks(); },
        [] { memValidate(nullptr, 0); },
    };
    for (size_t i = 0; i < pictures.size(); ++i) {
        if (i == 2) kt::poke(static_cast<uint8_t *>(v.back()) + 8, 0xFF);  // a block for the cleanup to bring back
        KovaMemFree(v.back());
        v.pop_back();
        pictures[i]();
        for (uint16_t k = 0; k < memMgrDetails.poolCount; ++k) EXPECT_TRUE(same(k)) << "picture " << i << " pool " << k;
    }
    EXPECT_EQ(memPoolData[0].busyCount + memPoolData[1].busyCount + (kt::config_classic ? 0 : memPoolData[2].busyCount), 0);
}
