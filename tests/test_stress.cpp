// Thread safety: workers allocate, reallocate, overrun now and then and free
// random sizes (some beyond the largest pool) while other threads switch
// tracing, clean the quarantine, print status reports and check the whole
// structure. At the end every block is freed and the books must balance.
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "support.h"

namespace {

constexpr int kWorkers = 4;
constexpr int kOpsPerWorker = 4000;
constexpr size_t kLiveMax = 48;

std::atomic<bool> gDone{false};
std::atomic<uint32_t> gQuarantined{0};
std::atomic<uint32_t> gFaults{0};

uint32_t randomSize(std::mt19937 &rng) {
    const uint32_t r = rng() % 100;
    if (r < 60) return 1 + rng() % 64;
    if (r < 90) return 1 + rng() % 2048;
    if (r < 97) return 1 + rng() % 16400;
    return 65537 + rng() % 4096;  // beyond every pool: the C heap
}

// The pool an address lies in, or -1: the library's own lookup without
// the lock (built ranges never change, grown ones are published first).
int poolOf(const void *p) { return kovamem::memPoolOfAddress(reinterpret_cast<uintptr_t>(p)); }

void worker(int id) {
    std::mt19937 rng(1234u + static_cast<unsigned>(id));
    std::vector<std::pair<uint8_t *, uint32_t>> live;
    for (int op = 0; op < kOpsPerWorker; ++op) {
        const uint32_t r = rng() % 10;
        if (live.size() < kLiveMax && r < 5) {
            const uint32_t size = randomSize(rng);
            uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(size));
            if (p != nullptr) {
                memset(p, id, size < 64 ? size : 64);
                live.emplace_back(p, size);
            }
        } else if (!live.empty() && r < 7) {
            auto &e = live[rng() % live.size()];
            const uint32_t size = randomSize(rng);
            // Classic: C-heap blocks are not reallocated (NULL), and a block
            // that stays keeps its first request. Default: both follow.
            if (uint8_t *q = static_cast<uint8_t *>(KovaMemReAlloc(e.first, size))) {
                if (q != e.first || !kt::config_classic) e.second = size;
                e.first = q;
            }
        } else if (!live.empty()) {
            const size_t i = rng() % live.size();
            auto e = live[i];
            live[i] = live.back();
            live.pop_back();
            const int k = poolOf(e.first);
            const bool overrun = k >= 0 && rng() % 50 == 0;
            if (overrun) {
                const uint32_t s = kovamem::memPool(k).blockSize;
                kt::poke(e.first + (e.second <= s - 4 ? e.second : s), 0xFF);  // first byte of the guard
            }
            const uint8_t rc = KovaMemFree(e.first);
            if (rc == 0) ++gQuarantined;
            if (rc != (overrun ? 0 : 1)) ++gFaults;
        }
    }
    for (auto &e : live)
        if (KovaMemFree(e.first) != 1) ++gFaults;
}

// Runs the workers while side threads switch tracing, clean the
// quarantine, print reports and check the whole structure; with extras
// (default build), also snapshots whose pool figures must each add up,
// marks with the blocks live since them, and peak resets: every operation
// that takes all locks, against allocations that take one pool's lock.
void runWorkers(bool extras) {
    std::vector<std::thread> side;
    std::atomic<int> invalid{0}, torn{0};
    side.emplace_back([] {
        for (int i = 0; !gDone; ++i) KovaMemUpdateLogStackFlag(i % 2);
    });
    side.emplace_back([] {
        while (!gDone) KovaMemCleanMemBlocks();
    });
    side.emplace_back([] {
        while (!gDone) KovaMemPrintMemStatus();
    });
    side.emplace_back([&invalid] {
        while (!gDone)
            if (kt::validity() != "valid") ++invalid;
    });
    if (extras) {
        side.emplace_back([&torn] {
            KovaMemStats st;
            while (!gDone) {
                st.size = sizeof st;
                if (KovaMemGetStats(&st) != 0) continue;
                uint64_t busy = 0;
                for (uint32_t k = 0; k < st.poolCount; ++k) {
                    const KovaMemPoolStats &p = st.pools[k];
                    busy += p.busyCount;
                    if (p.freeCount + p.busyCount + p.corruptCount != p.blockCount) ++torn;
                }
                // One picture: blocks taken = busy + released intact + damaged.
                if (st.memMallocCount < st.memFreeCount + busy) ++torn;
            }
        });
        side.emplace_back([] {
            for (int i = 0; !gDone; ++i) {
                const uint64_t mark = KovaMemMark();
                KovaMemPrintLiveSince(mark);
                if (i % 8 == 0) KovaMemResetPeaks();
            }
        });
    }
    std::vector<std::thread> workers;
    for (int id = 0; id < kWorkers; ++id) workers.emplace_back(worker, id);
    for (auto &t : workers) t.join();
    gDone = true;
    for (auto &t : side) t.join();
    EXPECT_EQ(invalid.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

// At the end: every block released, the counters balanced, the quarantine
// emptied by a cleanup.
void expectBalancedBooks() {
    EXPECT_EQ(gFaults.load(), 0u);
    EXPECT_EQ(kt::validity(), "valid");
    const MemMgrDetails &m = kt::counted();
    EXPECT_EQ(m.memMallocCount, m.memFreeCount + gQuarantined.load());
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        const MemPool &p = kovamem::memPool(k);
        EXPECT_EQ(p.busyCount, 0) << k;
        EXPECT_EQ(p.reqBytes, 0u) << k;
        EXPECT_EQ(p.freeCount + p.corruptCount, p.blockCount) << k;
    }
    EXPECT_EQ(memStackData.busyCount, 0);
    KovaMemCleanMemBlocks();
    for (uint16_t k = 0; k < m.poolCount; ++k) EXPECT_EQ(kovamem::memPool(k).freeCount, kovamem::memPool(k).blockCount) << k;
    EXPECT_EQ(m.corruptCount, 0);
    EXPECT_GT(gQuarantined.load(), 0u);
    EXPECT_GT(m.sysMallocCount, 0u);
    EXPECT_EQ(kt::validity(), "valid");
}

}  // namespace

TEST(Stress, ConcurrentUseKeepsEveryInvariant) {
    kt::init(kt::Cfg{{0, 40}, {1, 40}, {2, 40}, {3, 30}, {5, 20}, {8, 10}, {11, 4}, {13, 2}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    KovaMemSetFileSize(1u << 20);  // keep the log writing under contention
    runWorkers(false);
    expectBalancedBooks();
}

// The default build's pool locks with every structure shared between pools
// in use: records held by released blocks (taken back by other pools'
// allocations), sampled tracing, guarded blocks, grown pools; and the
// operations on all pools running meanwhile.
TEST(Stress, PoolLocksKeepSharedStructuresWhole) {
    if (kt::config_classic) GTEST_SKIP() << "one manager lock in the classic build";
    KovaMemSetGuardedSampling(40, 16);
    KovaMemSetPoolGrowth(4u << 20);
    kt::init(kt::Cfg{{0, 20}, {1, 20}, {2, 20}, {3, 15}, {5, 10}, {8, 5}, {11, 2}, {13, 1}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    KovaMemSetFileSize(1u << 20);
    KovaMemSetFreeCheck(1);
    KovaMemSetTraceSampling(3);
    runWorkers(true);
    expectBalancedBooks();
    KovaMemStats st;
    st.size = sizeof st;
    ASSERT_EQ(KovaMemGetStats(&st), 0);
    EXPECT_GT(st.guardedAllocs, 0u);
    EXPECT_GT(st.poolCountAll, 8u);  // grown
}

// Records held by released blocks (the chains of their releases) are taken
// back by allocations of another pool when the table runs short: two
// threads, each on a pool of its own, with more blocks released than there
// are records, so each takes back the other's.
TEST(Stress, HeldRecordsAreTakenBackAcrossPools) {
    if (kt::config_classic) GTEST_SKIP() << "the classic build keeps no release chains";
    kt::init(kt::Cfg{{0, 2500}, {3, 2500}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    KovaMemSetFreeCheck(1);
    KovaMemUpdateLogStackFlag(1);
    auto churn = [](uint32_t size) {
        std::vector<void *> v(2000);
        for (int round = 0; round < 4; ++round) {
            for (auto &p : v) p = KovaMemAlloc(size);
            for (void *p : v) KovaMemFree(p);
        }
    };
    std::thread a(churn, 8), b(churn, 64);
    a.join();
    b.join();
    EXPECT_EQ(kt::validity(), "valid");
    EXPECT_EQ(memStackData.busyCount, 0);
    EXPECT_EQ(memHeld.count + memStackData.freeCount, MEM_STACK_RECORDS);
    EXPECT_GT(memHeld.count, 2500);  // both pools' latest releases, as many as fit
    EXPECT_EQ(memMgrDetails.corruptCount, 0);  // nothing found written after its release
}
