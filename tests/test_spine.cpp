// Records, locks, the log file and initialisation.
#include "support.h"

using kt::readLog;

TEST(Spine, WorkedExampleTotalsGuardsAndFreeListInSlotOrder) {
    kt::init(kt::Cfg{{2, 10}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    const MemMgrDetails &m = memMgrDetails;
    // Management: 60 + 52 + 10 x (24-byte header + guard and padding).
    const char *totals = kt::config_classic ? "320/392/712"
                         : kovamem::config_slot_align == 8 ? "320/432/752" : "320/512/832";
    EXPECT_EQ(std::to_string(m.totalData) + "/" + std::to_string(m.totalMgmt) + "/" + std::to_string(m.totalReserved),
              totals);
    const MemPool &p = kovamem::memPool(0);
    const uint32_t d = kt::stride(32);
    EXPECT_EQ(p.blockSize, 32u);
    EXPECT_EQ(p.lastBlock - p.firstBlock, 9u * d);
    if (kt::config_classic) {
        int j = 0;
        for (MemBlockHdr *h = p.freeHead; h; h = h->next, ++j) {
            EXPECT_TRUE(h->blockIndex == j && h->data == p.area + j * d) << j;
            EXPECT_EQ(kt::wordAt(h->data + 32), MEM_GUARD_WORD);
        }
        EXPECT_EQ(j, 10);
    } else {
        // No block is written before it is handed out: the free list holds
        // released blocks only, and the ten never-used ones read as zeros.
        EXPECT_TRUE(p.freeHead == nullptr && p.freeTail == nullptr && p.freeCount == 10);
        for (int j = 0; j < 10; ++j) EXPECT_EQ(kt::wordAt(p.area + j * d + 32), 0u) << j;
    }
    EXPECT_EQ(readLog(), "Number of pools: 1\n EXIT: KovaMemInit: Success\n");
    EXPECT_EQ(kt::table(), "free 3000 busy 0");
    EXPECT_EQ(memStackData.lock != nullptr && memMgrDetails.lock != nullptr, true);
    EXPECT_EQ(kt::validity(), "valid");
    // Either way the blocks come out in slot order, each with the free
    // block's guard in its spare word.
    for (int j = 0; j < 10; ++j) {
        uint8_t *a = static_cast<uint8_t *>(KovaMemAlloc(28));
        EXPECT_TRUE(a == p.area + j * d && kt::hdrOf(a)->blockIndex == j) << j;
        EXPECT_EQ(kt::wordAt(a + 28), MEM_GUARD_WORD);
        EXPECT_EQ(kt::wordAt(a + 32), MEM_GUARD_WORD);
        EXPECT_EQ(kt::validity(), "valid");
    }
}

TEST(Spine, AreaThatOverflowsTheWordFailsLikeAFailedAllocation) {
    if (sizeof(size_t) > 4) GTEST_SKIP() << "65535 x 65540 bytes fits a 64-bit size";
    kt::init(kt::Cfg{{13, 65535}});
    EXPECT_EQ(kt::readLog(), "Number of pools: 1\n EXIT: CRIT: KovaMemInit: memMgrInit init failed \n");
    EXPECT_EQ(memPoolData, nullptr);
}

TEST(Spine, EachInitFailureLogsOneEntryAndStaysUninitialised) {
    int32_t negative[MEM_POOL_SLOTS];
    for (auto &v : negative) v = -3;
    struct Case { const int32_t *cfg; const char *entry; };
    const kt::Cfg tooMany{{0, 4}, {5, 65536}};
    unlink(kt::logPath().c_str());  // a log left by an earlier process with this pid
    for (const Case &c : {Case{nullptr, " EXIT: CRIT: KovaMemInit: memPoolCfg is NULL \n"},
                          Case{negative, " EXIT: CRIT: KovaMemInit: memPoolCfg is not configured \n"},
                          Case{tooMany.v, " EXIT: CRIT: KovaMemInit: memPoolCfg[5] count 65536 exceeds 65535 \n"}}) {
        KovaMemInit(c.cfg);
        EXPECT_EQ(readLog(), c.entry);
        KovaMemResetFile();
    }
    EXPECT_EQ(KovaMemIsInitialized(), 0);
    EXPECT_EQ(memPoolData, nullptr);
}

TEST(Spine, LogCapMarkerAndSetters) {
    KovaMemInit(nullptr);  // names the log file
    KovaMemResetFile();
    KovaMemSetFileSize(1);  // threshold 1002
    const std::string line(100, 'x');
    for (int i = 0; i < 11; ++i) memLogPrint("%s", line.c_str());
    memLogPrint("lost\n");
    const std::string log = readLog();
    EXPECT_EQ(log, std::string(1100, 'x') + "Max file size reached fs 1100");
    KovaMemSetFileSize(64);
    memLogPrint("after %% raise\n");
    EXPECT_EQ(readLog(), log + "after % raise\n");
    KovaMemResetFile();
    memLogPrint("%s", std::string(3000, 'y').c_str());
    EXPECT_EQ(readLog(), std::string(2047, 'y'));
}

// Every call before the first initialisation: allocations and releases go
// to the C heap and are counted, entries are lost until a log is named, the
// snapshot says so, the trace switch acts on the static table; then a failed
// initialisation names the log, every report writes its banner, and a good
// one resets the trace table.
TEST(Spine, EveryCallBeforeInitIsServedCountedOrRefused) {
    unlink(kt::logPath().c_str());
    memLogPrint("lost\n");
    void *p = KovaMemAlloc(16);
    ASSERT_NE(p, nullptr);
    free(p);
    void *q = KovaMemReAlloc(KovaMemAlloc(10), 20);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(KovaMemFree(q), 1);
    const MemMgrDetails &m = memMgrDetails;
    EXPECT_EQ(std::to_string(m.sysMallocCount) + " " + std::to_string(m.sysReallocCount) + " " +
                  std::to_string(m.sysFreeCount) + " " + std::to_string(kt::counted().memMallocCount), "2 1 1 0");
    KovaMemStats s;
    s.size = sizeof s;
    s.poolCount = 77;
    EXPECT_EQ(KovaMemGetStats(&s), -1);
    EXPECT_EQ(s.poolCount, 77u);  // nothing written
    char b[8] = "x";
    EXPECT_EQ(KovaMemStatsJson(b, sizeof b) + KovaMemStatsPrometheus(b, sizeof b), -2);
    EXPECT_EQ(KovaMemMark(), 0u);
    KovaMemDebugModes(MEM_DEBUG_SET_MODE, reinterpret_cast<const char *>(uintptr_t{7}));
    EXPECT_EQ(memDebugMode, 7);
    KovaMemDebugModes(MEM_DEBUG_CHECK_POINTER, "0");
    KovaMemUpdateLogStackFlag(1);
    EXPECT_EQ(memStackData.logStack, 1);
    EXPECT_EQ(access(kt::logPath().c_str(), F_OK), -1);  // no entry so far was written
    kt::init(kt::Cfg{});  // fails, but names the log
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    KovaMemDebugModes(MEM_DEBUG_CHECK_POINTER, "0");
    KovaMemDebugModes(MEM_DEBUG_CHECK_INDEX, "00 000");
    KovaMemPrintMemStatus();
    const std::string d = std::string(79, '-') + "\n";
    const std::string notInit = "---------------------- Memory Manager is Not Initialized ----------------------\n";
    EXPECT_EQ(readLog(), d + notInit + d + d + "---------------------- Memory Manager Not Initialized -------------------------\n" +
                             d + d + notInit + d + "\n" + d +
                             "---------------------- Memory Manager Status -> Begin -------------------------\n" + d +
                             d + notInit + d);
    kt::init(kt::Cfg{{0, 1}});
    EXPECT_EQ(memStackData.logStack, 0);
    EXPECT_EQ(memMgrDetails.stackData, &memStackData);
}

// ---- resident memory ----

// This process's resident anonymous memory in KiB (RssAnon; VmRSS where the
// kernel has no such line), read twice around a step so that only the
// step's own pages count. The library's pools, headers and tables are
// anonymous; the pages of code that a step runs for the first time are
// the files' (and, under qemu, the emulator's translations of them): they
// follow the code's layout, not the memory the library takes.
static long residentKiB() {
    long rss = -1;
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("RssAnon:", 0) == 0) return std::stol(line.substr(8));
        if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
    }
    return rss;
}

// The preload library's default configuration: 38912 blocks, 4.2 MB.
static const kt::Cfg kPreloadDefault{{0, 8192}, {1, 8192}, {2, 8192}, {3, 8192}, {4, 4096}, {5, 1024}, {6, 512},
                                     {7, 256},  {8, 128},  {9, 64},   {10, 32},  {11, 16},  {12, 8},   {13, 8}};

TEST(Footprint, InitOfThePreloadDefaultTouchesNoBlock) {
    if (kt::config_classic) GTEST_SKIP() << "every block is made at initialisation";
    if (kovamem::config_asan || kovamem::config_tsan) GTEST_SKIP() << "the sanitizer's shadow pages count too";
    unlink(kt::logPath().c_str());
    memLogPrint("a line, so that the log's own pages are already counted\n");
    const long before = residentKiB();
    ASSERT_GT(before, 0);
    KovaMemInit(kPreloadDefault.v);
    const long after = residentKiB();
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    EXPECT_LE(after - before, 256) << "RssAnon " << before << " -> " << after << " KiB";
    EXPECT_EQ(kt::validity(), "valid");
}

TEST(Footprint, ResidentMemoryFollowsTheBlocksHandedOut) {
    if (kt::config_classic) GTEST_SKIP() << "every block is made at initialisation";
    if (kovamem::config_asan || kovamem::config_tsan) GTEST_SKIP() << "the sanitizer's shadow pages count too";
    kt::init(kt::Cfg{{3, 65535}});  // 64-byte blocks: 4.7 to 5.2 MiB of slots, 2.2 to 3.2 MiB of headers
    const long start = residentKiB();
    std::vector<void *> held;
    for (int i = 0; i < 1000; ++i) held.push_back(KovaMemAlloc(64));
    const long few = residentKiB();
    const long perBlock = kt::stride(64) + sizeof(MemBlockHdr) + 10;  // slot, header, serial, back-link
    EXPECT_LE(few - start, (1000 * perBlock) / 1024 + 256) << "1000 blocks: " << start << " -> " << few << " KiB";
    for (int i = 1000; i < 65535; ++i) held.push_back(KovaMemAlloc(64));
    const long all = residentKiB();
    EXPECT_GE(all - start, (64000L * perBlock) / 1024) << "every block: " << start << " -> " << all << " KiB";
    for (void *p : held) EXPECT_EQ(KovaMemFree(p), 1);
    EXPECT_EQ(kt::pool(0), "N65535 F65535 B0 C0 A0 P65535");
    EXPECT_EQ(kt::validity(), "valid");
}
