// Growing pools: a full size class gains pools of its own block size within
// the budget, before anything falls through; grown pools are pools to the
// release, the lookup, the report, the snapshot and the checks.
#include <pthread.h>

#include <set>
#include <vector>

#include "support.h"

using kt::readLog;

namespace {

using Growth = kt::Scenario;

// The pool index of a pool block.
int poolOf(const void *p) {
    MemBlockHdr *h = kt::hdrOf(p);
    return h == nullptr ? -1 : h->poolIndex;
}

}  // namespace

TEST_F(Growth, AFullClassGainsAPoolOfItsSizeBeforeFallingThrough) {
    if (kt::config_classic) GTEST_SKIP() << "no pool grows";
    KovaMemSetPoolGrowth(5u << 19);  // 2.5 MiB: two grown pools of about 1 MiB
    kt::start(kt::Cfg{{0, 4}, {3, 2}});
    std::vector<void *> held;
    for (int i = 0; i < 4; ++i) held.push_back(KovaMemAlloc(8));
    void *fifth = KovaMemAlloc(8);
    ASSERT_EQ(poolOf(fifth), 2);
    const MemPool &g = kovamem::memPool(2);
    EXPECT_EQ(g.blockSize, 8u);
    EXPECT_EQ(memMgrDetails.poolCount, 3);
    EXPECT_EQ(kt::pool(2), "N" + std::to_string(g.blockCount) + " F" + std::to_string(g.blockCount - 1) +
                               " B1 C0 A8 P1");
    const std::string grew = " INFO: KovaMemAlloc: Pool 0 (size 8) grows by Pool 2 of " +
                             std::to_string(g.blockCount) + " blocks, ";
    EXPECT_EQ(readLog().rfind(grew, 0), 0u) << readLog();
    EXPECT_EQ(kt::validity(), "valid");
    // The grown pool's blocks are released, looked up and checked as any;
    // grown for a pool without magazines, it has none: the block is free
    // at once, not waiting in a magazine the locked way cannot reach.
    EXPECT_EQ(KovaMemFree(fifth), 1);
    EXPECT_EQ(g.freeCount, g.blockCount);
    EXPECT_EQ(KovaMemFree(static_cast<uint8_t *>(fifth) + 1), MEM_FREE_NOT_BUSY);
    EXPECT_EQ(KovaMemFree(fifth), MEM_FREE_NOT_BUSY);
    EXPECT_EQ(kt::pool(2), "N" + std::to_string(g.blockCount) + " F" + std::to_string(g.blockCount) + " B0 C0 A0 P1");
    // Fill the grown pool and the next; the budget is then spent: told
    // once, and the class falls through to the 64-byte pool, then the C heap.
    KovaMemResetFile();
    for (int i = 0; i < 2 * g.blockCount; ++i) held.push_back(KovaMemAlloc(8));
    EXPECT_EQ(memMgrDetails.poolCount, 4);
    EXPECT_EQ(kovamem::memPool(3).blockSize, 8u);
    EXPECT_EQ(kt::count(readLog(), " grows by Pool 3 "), 1u);
    KovaMemResetFile();
    void *a = KovaMemAlloc(8), *b = KovaMemAlloc(8), *c = KovaMemAlloc(8);
    EXPECT_EQ(poolOf(a), 1);
    EXPECT_EQ(poolOf(b), 1);
    EXPECT_EQ(poolOf(c), -1);
    EXPECT_EQ(kt::count(readLog(), " ERROR: KovaMemAlloc: Pool 0 (size 8) cannot grow: the growth budget is spent\n"), 1u);
    EXPECT_EQ(kt::count(readLog(), "System alloc"), 1u);
    for (void *p : held) EXPECT_EQ(KovaMemFree(p), 1);
    for (void *p : {a, b, c}) EXPECT_EQ(KovaMemFree(p), 1);
}

TEST_F(Growth, OffByDefaultAndAReallocationThatMovesGrowsTheClassItMovesTo) {
    kt::start(kt::Cfg{{0, 1}, {3, 1}, {6, 1}});
    void *a = KovaMemAlloc(8), *b = KovaMemAlloc(8);
    EXPECT_EQ(poolOf(b), 1);  // off: the described fall-through
    EXPECT_EQ(memMgrDetails.poolCount, 3);
    KovaMemSetPoolGrowth(8u << 20);
    void *c = KovaMemAlloc(60);  // the 64-byte pool is full: it grows (default build)
    if (kt::config_classic) {
        EXPECT_EQ(poolOf(c), 2);
        EXPECT_EQ(memMgrDetails.poolCount, 3);
    } else {
        EXPECT_EQ(poolOf(c), 3);
        void *d = KovaMemReAlloc(a, 40);  // moves from the 8-byte pool into the 64-byte class
        EXPECT_EQ(poolOf(d), 3);
        void *e = KovaMemReAlloc(d, 500);  // into the 512-byte pool, free
        EXPECT_EQ(poolOf(e), 2);
        void *f = KovaMemReAlloc(b, 300);  // the 512-byte pool is busy: a pool grows for it
        EXPECT_EQ(poolOf(f), 4);
        EXPECT_EQ(kovamem::memPool(4).blockSize, 512u);
        a = e;
        b = f;
    }
    EXPECT_EQ(kt::validity(), "valid");
    for (void *p : {a, b, c}) EXPECT_EQ(KovaMemFree(p), 1);
}

TEST_F(Growth, MoreThanFourteenPoolsAreReportedWholeAndInTheSnapshot) {
    if (kt::config_classic) GTEST_SKIP() << "no pool grows";
    KovaMemSetPoolGrowth(64u << 20);
    kt::start(kt::Cfg{{4, 1}, {13, 1}});
    std::vector<void *> held;
    // 128-byte pools of ~1 MiB (area and headers): about 20 of them.
    while (memMgrDetails.poolCount < 20) held.push_back(KovaMemAlloc(100));
    const uint16_t n = memMgrDetails.poolCount;
    KovaMemResetFile();
    KovaMemPrintMemStatus();
    const std::string log = readLog();
    size_t lines = 0;
    for (size_t at = log.find("\nS:  128|"); at != std::string::npos; at = log.find("\nS:  128|", at + 1)) ++lines;
    EXPECT_EQ(lines, n - 1u) << log;  // one line per pool but the 64 KiB one, none cut or split
    EXPECT_NE(log.find(" Number of Memory Pools  = " + std::string(8 - std::to_string(n).size(), ' ') + std::to_string(n)),
              std::string::npos);
    KovaMemStats s{};
    s.size = sizeof s;
    ASSERT_EQ(KovaMemGetStats(&s), 0);
    EXPECT_EQ(s.poolCount, 14u);
    EXPECT_EQ(s.poolCountAll, n);
    EXPECT_EQ(s.memMallocCount, held.size());
    EXPECT_GT(s.growthBytes, 0u);
    EXPECT_EQ(s.growthBudget, 64u << 20);
    KovaMemPoolStats last[4];
    EXPECT_EQ(KovaMemGetPoolStats(n - 2, last, 4), 2);
    EXPECT_EQ(last[1].blockSize, 128u);
    EXPECT_EQ(last[1].busyCount, kovamem::memPool(n - 1).busyCount);
    std::vector<char> text(1 << 20);
    ASSERT_GT(KovaMemStatsJson(text.data(), text.size()), 0);
    EXPECT_EQ(kt::count(text.data(), "\"blockSize\": 128"), n - 1u);
    ASSERT_GT(KovaMemStatsPrometheus(text.data(), text.size()), 0);
    EXPECT_EQ(kt::count(text.data(), "kovamem_pool_blocks{pool=\"" + std::to_string(n - 1) + "\",block_size=\"128\"}"), 1u);
    for (void *p : held) EXPECT_EQ(KovaMemFree(p), 1);
}

// Four threads allocate requests of from..from+29 bytes, release every
// fifth on the way and keep the rest, past what the built pools hold: every
// block is handed out once, and all of them by pools.
void outgrowTogether(uint32_t from, uint64_t budget, int each, const kt::Cfg &cfg) {
    KovaMemSetPoolGrowth(budget);
    kt::start(cfg);
    constexpr int kThreads = 4;
    static std::vector<void *> got[kThreads];
    static uint32_t first;
    static int count;
    first = from;
    count = each;
    pthread_t t[kThreads];
    for (int i = 0; i < kThreads; ++i) {
        pthread_create(
            &t[i], nullptr,
            [](void *arg) -> void * {
                const int me = static_cast<int>(reinterpret_cast<intptr_t>(arg));
                for (int j = 0; j < count; ++j) {
                    void *p = KovaMemAlloc(static_cast<uint32_t>(first + (j * 7 + me) % 30));
                    got[me].push_back(p);
                    if (j % 5 == 4) {  // some released on the way, the rest kept
                        KovaMemFree(got[me][got[me].size() - 2]);
                        got[me].erase(got[me].end() - 2);
                    }
                }
                return nullptr;
            },
            reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    }
    for (pthread_t &x : t) pthread_join(x, nullptr);
    EXPECT_EQ(kt::validity(), "valid");
    std::set<void *> distinct;
    size_t pooled = 0;
    for (auto &v : got)
        for (void *p : v) {
            distinct.insert(p);
            if (poolOf(p) >= 0) ++pooled;
        }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads) * each * 4 / 5);
    EXPECT_EQ(pooled, distinct.size());  // all served by pools: the budget was enough
    EXPECT_GT(memMgrDetails.poolCount, 3);
    for (auto &v : got)
        for (void *p : v) EXPECT_EQ(KovaMemFree(p), 1);
}

TEST_F(Growth, ThreadsThatOutgrowThePoolsTogetherGetEveryBlockOnce) {
    if (kt::config_classic) GTEST_SKIP() << "no pool grows";
    outgrowTogether(1, 32u << 20, 20000, kt::Cfg{{0, 64}, {1, 64}, {2, 64}});
}

// Grown pools of 64 KiB blocks hold a few blocks each, which the other
// threads can take between a pool's growth and its grower's own take.
TEST_F(Growth, ThreadsThatEmptyAPoolJustGrownSendItsGrowerOn) {
    if (kt::config_classic) GTEST_SKIP() << "no pool grows";
    outgrowTogether(65536 - 29, 240u << 20, 400, kt::Cfg{{13, 4}});
}

// Never-used blocks (default build: made when first handed out) are free
// blocks with their guard in place to every check that meets them.
TEST_F(Growth, NeverUsedBlocksAreFreeToEveryCheck) {
    kt::start(kt::Cfg{{2, 8}});
    const MemPool &p = kovamem::memPool(0);
    void *first = KovaMemAlloc(20);
    uint8_t *never = p.area + 5 * kt::stride(32);
    KovaMemResetFile();
    KovaMemDebugModes(MEM_DEBUG_CHECK_POINTER, kt::hex(never).c_str());
    EXPECT_EQ(readLog(), " DataPtr:" + kt::hex(never) + " is not in Busy List\n");
    MemFindResult f{};
    EXPECT_EQ(memFindBlock(never, &f), MEM_FIND_NOT_BUSY);
    KovaMemResetFile();
    memShadowReportsBadRelease = false;
    EXPECT_EQ(KovaMemFree(never), MEM_FREE_NOT_BUSY);
    memShadowReportsBadRelease = true;
    if (!kt::config_classic) {
        EXPECT_EQ(kt::withoutMap(readLog()).rfind(" ERROR: KovaMemFree: Ptr " + kt::hex(never) +
                                                      " is already free (block 5 of pool 0)\n", 0),
                  0u) << readLog();
    }
    KovaMemResetFile();
    KovaMemPrintMemStatus();
    EXPECT_NE(readLog().find("S:   32|N:   8|F:   7|B:   1(A:      20|"), std::string::npos) << readLog();
    KovaMemStats s{};
    s.size = sizeof s;
    ASSERT_EQ(KovaMemGetStats(&s), 0);
    EXPECT_EQ(s.pools[0].freeCount, 7u);
    EXPECT_EQ(kt::validity(), "valid");
    // Handed out in index order: the never-used ones first, then the one released.
    EXPECT_EQ(KovaMemFree(first), 1);
    for (int j = 1; j < 8; ++j) EXPECT_EQ(KovaMemAlloc(32), p.area + j * kt::stride(32)) << j;
    EXPECT_EQ(KovaMemAlloc(32), first);
    EXPECT_EQ(kt::validity(), "valid");
}
