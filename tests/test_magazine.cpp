// The default build's per-thread magazines: the reuse distance they keep,
// the blocks and figures every operation on all pools sees while threads
// hold blocks in them, a thread's end and a fork, the write-after-release
// check at a magazine's pop, guards checked at a magazine's release, and
// two releases of one block.
#include <sys/wait.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/magazine.h"
#include "diag/prim/membarrier.h"
#include "support.h"

namespace {

// Pools of 2048 blocks of 32 bytes and 1024 of 256: magazines of 32 and
// 16, reuse distances of 128 and 64.
const kt::Cfg kPools{{2, 2048}, {5, 1024}};

bool magazines() { return kovamem::config_magazines && kovamem::memHeavyBarrierReady(); }

// Live blocks of pool k as the report counts them: all locks held, every
// magazine emptied.
int liveBlocks(unsigned k) {
    int n = 0;
    kovamem::memLockAll();
    kovamem::memForEachBusy(k, [&](const MemBlockHdr *) { return ++n, true; });
    kovamem::memUnlockAll();
    return n;
}

}  // namespace

// Each release gets a stamp from one counter, in the order the releases
// were made (a lock of the test's own around each release and its stamp);
// a block handed out again must have seen at least K releases of its pool
// since its own (less, with T threads, the M - 1 releases each other
// thread may seal after it that it made before), unless the pool counted a
// shortfall meanwhile.
TEST(Magazines, AReleasedBlockWaitsForTheReuseDistanceBeforeItIsHandedOutAgain) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    kt::init(kPools);
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    const uint32_t m = kovamem::memMagSize[0];
    ASSERT_EQ(m, 32u);
    ASSERT_EQ(kovamem::memReuse(0), 128u);
    const struct {
        uint32_t threads, reuse;  // reuse: KovaMemSetReuseDistance's (0: 4 x M)
    } cases[] = {{2, 300}, {1, 0}, {2, 0}, {4, 0}};  // the first while the pool is new: the list short
    for (const auto &c : cases) {
        KovaMemSetReuseDistance(c.reuse);
        const uint32_t k = kovamem::memReuse(0), threads = c.threads;
        std::atomic<uint32_t> stamp{0};
        std::vector<std::atomic<uint32_t>> releasedAt(2048);
        std::atomic<int> early{0};
        std::mutex releases;
        const uint32_t shortfalls = kovamem::memPoolHot[0].shortfalls;
        auto release = [&](uint8_t *p) {
            const size_t j = static_cast<size_t>(kt::hdrOf(p)->blockIndex);
            std::lock_guard<std::mutex> inOrder(releases);
            ASSERT_EQ(KovaMemFree(p), 1);
            releasedAt[j] = ++stamp;
        };
        auto run = [&](unsigned seed) {
            std::mt19937 rng(seed);
            std::vector<uint8_t *> live;
            for (int op = 0; op < 20000; ++op) {
                // Between 64 and 192 live blocks per thread: hundreds stay free.
                if (live.size() < 64 || (live.size() < 192 && rng() % 2 == 0)) {
                    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(1 + rng() % 32));
                    ASSERT_NE(p, nullptr);
                    const size_t j = static_cast<size_t>(kt::hdrOf(p)->blockIndex);
                    const uint32_t at = releasedAt[j].load();
                    if (at != 0 && stamp.load() - at < k - (threads - 1) * (m - 1)) ++early;
                    live.push_back(p);
                } else {
                    const size_t i = rng() % live.size();
                    release(live[i]);
                    live[i] = live.back();
                    live.pop_back();
                }
            }
            for (uint8_t *p : live) release(p);
        };
        std::vector<std::thread> pool;
        for (uint32_t t = 0; t < threads; ++t) pool.emplace_back(run, 7u + t);
        for (auto &t : pool) t.join();
        EXPECT_EQ(kovamem::memPoolHot[0].shortfalls, shortfalls) << threads;
        EXPECT_EQ(early.load(), 0) << threads << " threads";
        EXPECT_EQ(kt::pool(0), "N2048 F2048 B0 C0 A0 P" + std::to_string(kovamem::memPool(0).peakCount)) << threads;
        EXPECT_EQ(kt::validity(), "valid");
    }
    // A distance beyond the pool's free blocks: the refill takes the oldest
    // anyway, and the snapshot counts it.
    KovaMemSetReuseDistance(100000);
    std::vector<void *> all;
    for (int i = 0; i < 2048; ++i) all.push_back(KovaMemAlloc(24));  // none left never used
    for (void *q : all) EXPECT_EQ(KovaMemFree(q), 1);
    KovaMemStats before{}, after{};
    before.size = after.size = sizeof before;
    ASSERT_EQ(KovaMemGetStats(&before), 0);
    void *p = KovaMemAlloc(24);
    ASSERT_EQ(KovaMemGetStats(&after), 0);
    EXPECT_EQ(after.reuseShortfalls, before.reuseShortfalls + 1);
    EXPECT_EQ(KovaMemFree(p), 1);
    KovaMemSetReuseDistance(0);
}

// While threads hold blocks and have others waiting in their magazines,
// every operation on all pools sees exactly the blocks they hold, the
// figures balance, and a thread's end or a fork leaves nothing behind.
TEST(Magazines, EveryBlockIsAccountedForWhileThreadsHoldThemAfterTheyEndAndInAChild) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    kt::init(kPools);
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    std::atomic<int> ready{0}, go{0};
    std::vector<std::vector<void *>> held(3);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            // 100 held, 37 released: magazines left part full both ways.
            for (int i = 0; i < 137; ++i) held[t].push_back(KovaMemAlloc(24));
            for (int i = 0; i < 37; ++i) {
                EXPECT_EQ(KovaMemFree(held[t].back()), 1);
                held[t].pop_back();
            }
            ++ready;
            while (go.load() == 0) std::this_thread::yield();
            if (t == 2) {  // ends holding its blocks; the others release theirs
                ++ready;
                return;
            }
            for (void *p : held[t]) EXPECT_EQ(KovaMemFree(p), 1);
            held[t].clear();
            ++ready;
        });
    while (ready.load() < 3) std::this_thread::yield();
    EXPECT_EQ(liveBlocks(0), 300);
    EXPECT_EQ(kt::pool(0), "N2048 F1748 B300 C0 A7200 P" + std::to_string(kovamem::memPool(0).peakCount));
    EXPECT_GE(kovamem::memPool(0).peakCount, 300u);
    EXPECT_EQ(kt::validity(), "valid");
    go = 1;
    for (auto &t : threads) t.join();
    EXPECT_EQ(kt::pool(0), "N2048 F1948 B100 C0 A2400 P" + std::to_string(kovamem::memPool(0).peakCount));
    // A child of fork: the same picture, and every free block its to take.
    std::vector<void *> mine;
    for (int i = 0; i < 50; ++i) mine.push_back(KovaMemAlloc(24));
    for (int i = 0; i < 25; ++i) KovaMemFree(mine[static_cast<size_t>(i)]);
    const pid_t child = fork();
    if (child == 0) {
        bool ok = kt::pool(0) == "N2048 F1923 B125 C0 A3000 P" + std::to_string(kovamem::memPool(0).peakCount);
        int got = 0;
        while (KovaMemAlloc(24) != nullptr && kovamem::memPool(0).freeCount + got < 4000) ++got;
        ok = ok && kt::pool(0).rfind("N2048 F0 B2048 ", 0) == 0 && kt::validity() == "valid";
        _exit(ok ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (size_t i = 25; i < mine.size(); ++i) KovaMemFree(mine[i]);
    for (void *p : held[2]) EXPECT_EQ(KovaMemFree(p), 1);
    EXPECT_EQ(kt::pool(0), "N2048 F2048 B0 C0 A0 P" + std::to_string(kovamem::memPool(0).peakCount));
    EXPECT_EQ(kt::validity(), "valid");
}

// Blocks one thread allocates and another releases: the pool's figures add
// up, and the peak is the blocks held at once, never a count that wrapped
// while the releasing thread's exchanges came before the allocating one's.
// The releasing thread never allocates, so it holds none of the magazines
// it seals: they go to the free list for the allocating one.
TEST(Magazines, BlocksReleasedByAnotherThreadKeepThePeakTrue) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    kt::init(kPools);
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    for (int round = 0; round < 3; ++round) {
        std::vector<void *> v;
        for (int i = 0; i < 100; ++i) v.push_back(KovaMemAlloc(24));
        std::atomic<int> stage{0};
        std::thread releaser([&] {
            for (void *p : v) EXPECT_EQ(KovaMemFree(p), 1);
            stage = 1;
            while (stage.load() == 1) std::this_thread::yield();
        });
        while (stage.load() == 0) std::this_thread::yield();
        if (round == 0) {  // 128 blocks in this thread's refills; 96 of 100 released sealed, 4 open
            EXPECT_EQ(kovamem::memPool(0).freeCount, 2048 - 128 + 96);
        }
        stage = 2;
        releaser.join();
    }
    EXPECT_EQ(kt::pool(0), "N2048 F2048 B0 C0 A0 P100");
    EXPECT_EQ(kt::validity(), "valid");
}

// A thread that released many blocks holds some in its magazines, sealed
// and open; while it lives on, another thread can still take every block
// of the pool: the last allocations bring the held ones back.
TEST(Magazines, EveryBlockIsHandedOutWhileAnotherThreadHoldsFreeOnes) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    kt::init(kt::Cfg{{2, 2048}});  // one pool: beyond it, the C heap
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    std::atomic<int> stage{0};
    std::thread holder([&] {
        std::vector<void *> v;
        for (int i = 0; i < 2000; ++i) v.push_back(KovaMemAlloc(24));
        for (void *p : v) EXPECT_EQ(KovaMemFree(p), 1);
        // Pairs: magazines sealed between refills, so held; then open
        // magazines, part used.
        for (int i = 0; i < 407; ++i) KovaMemFree(KovaMemAlloc(24));
        stage = 1;
        while (stage.load() == 1) std::this_thread::yield();
    });
    while (stage.load() == 0) std::this_thread::yield();
    const MemPool &p = kovamem::memPool(0);
    EXPECT_LT(p.freeCount + 0, 2048 - 128) << "the holder keeps no sealed magazine";
    std::vector<void *> mine;
    for (void *q; (q = KovaMemAlloc(24)) != nullptr && mine.size() < 4000;) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(q);
        if (at < p.firstBlock || at > p.lastBlock) {  // the C heap's: the pool ran dry
            EXPECT_EQ(KovaMemFree(q), 1);
            break;
        }
        mine.push_back(q);
    }
    EXPECT_EQ(mine.size(), 2048u);
    EXPECT_EQ(kt::pool(0), "N2048 F0 B2048 C0 A49152 P2048");
    EXPECT_EQ(kt::validity(), "valid");
    stage = 2;
    holder.join();
    for (void *q : mine) EXPECT_EQ(KovaMemFree(q), 1);
    EXPECT_EQ(kt::pool(0), "N2048 F2048 B0 C0 A0 P2048");
    EXPECT_EQ(kt::validity(), "valid");
}

// A block written after its release into a magazine is found when a
// magazine hands it out again, quarantined and named with its place.
TEST(Magazines, AWriteAfterReleaseIsFoundWhenTheBlockLeavesAMagazine) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    kt::start(kPools);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    KovaMemSetFreeCheck(1);
    std::vector<uint8_t *> v;
    for (int i = 0; i < 2048; ++i) v.push_back(static_cast<uint8_t *>(KovaMemAlloc(32)));
    uint8_t *const stale = v[5];
    for (uint8_t *p : v) ASSERT_EQ(KovaMemFree(p), 1);
    kt::poke(stale + 7, 0x41);  // after its release
    KovaMemResetFile();
    std::vector<void *> again;
    for (int i = 0; i < 2047; ++i) again.push_back(KovaMemAlloc(32));
    const std::string log = kt::readLog();
    EXPECT_NE(log.find(" CRIT: KovaMemAlloc: Ptr " + kt::hex(stale) + " from Pool 0 and Block 5 was written after its release at offset 7\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(kt::pool(0), "N2048 F0 B2047 C1 A65504 P2048");
    for (void *p : again) EXPECT_EQ(KovaMemFree(p), 1);
    KovaMemCleanMemBlocks();
    EXPECT_EQ(kt::validity(), "valid");
}

// A block released through a magazine with its guard behind the request,
// its spare-word guard (a request of the whole block) or its front guard
// damaged is quarantined and told as on the locked way; and blocks handed
// out again for sizes whose guards move about the slot's last line, where
// a guard already in place is not written again, are never taken for
// damaged.
TEST(Magazines, AGuardDamagedBeforeAMagazineReleaseIsQuarantinedAndAMovedOneIsNot) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    kt::start(kPools);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    const struct {
        uint32_t size;
        int at;  // offset of the damaged byte from the data address
    } cases[] = {{100, 100}, {256, 256}, {100, -1}};
    for (const auto &c : cases) {
        KovaMemResetFile();
        void *first = KovaMemAlloc(c.size);  // so that the block below has a front guard
        auto *p = static_cast<uint8_t *>(KovaMemAlloc(c.size));
        const int block = kt::hdrOf(p)->blockIndex;
        ASSERT_NE(block, 0);
        kt::poke(p + c.at, 0xFF);
        EXPECT_EQ(KovaMemFree(p), 0) << c.size << " " << c.at;
        EXPECT_NE(kt::readLog().find(" CRIT: KovaMemFreeNode: Ptr " + kt::hex(p) + " from Pool 1 and Block " +
                                     std::to_string(block) + " might be corrupted\n"),
                  std::string::npos)
            << c.size << " " << c.at;
        EXPECT_EQ(KovaMemFree(first), 1);
    }
    KovaMemCleanMemBlocks();
    KovaMemResetFile();
    std::mt19937 rng(7);
    std::vector<void *> live;
    for (int i = 0; i < 20000; ++i) {
        live.push_back(KovaMemAlloc(236 + rng() % 21));  // guards from data + 236 to the spare word
        if (live.size() > 40) {
            const size_t at = rng() % live.size();
            ASSERT_EQ(KovaMemFree(live[at]), 1) << i;
            live[at] = live.back();
            live.pop_back();
        }
    }
    for (void *q : live) ASSERT_EQ(KovaMemFree(q), 1);
    EXPECT_EQ(kt::readLog().find("corrupted"), std::string::npos);
    EXPECT_EQ(kt::validity(), "valid");
}

// Two threads release each block at once: one release, one report of a
// block already free, every time.
TEST(Magazines, TwoReleasesOfOneBlockAtOnceGiveOneReleaseAndOneReport) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    kt::start(kPools);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    memShadowReportsBadRelease = false;
    KovaMemSetFileSize(1u << 16);
    constexpr int kRounds = 500;
    std::vector<void *> blocks(kRounds);
    std::atomic<int> round{-1}, done{0}, released{0}, refused{0};
    auto racer = [&] {
        for (int r = 0; r < kRounds; ++r) {
            while (round.load() < r) std::this_thread::yield();
            const uint8_t got = KovaMemFree(blocks[static_cast<size_t>(r)]);
            (got == 1 ? released : refused) += 1;
            ++done;
        }
    };
    std::thread a(racer), b(racer);
    for (int r = 0; r < kRounds; ++r) {
        blocks[static_cast<size_t>(r)] = KovaMemAlloc(200);
        round = r;
        while (done.load() < 2 * (r + 1)) std::this_thread::yield();
    }
    a.join();
    b.join();
    EXPECT_EQ(released.load(), kRounds);
    EXPECT_EQ(refused.load(), kRounds);
    EXPECT_EQ(kt::pool(1), "N1024 F1024 B0 C0 A0 P" + std::to_string(kovamem::memPool(1).peakCount));
    EXPECT_EQ(kt::validity(), "valid");
}

// A pool grown for a size class is a pool like the built one: threads that
// outgrow the built pool go on through their magazines of the grown one
// (the thread's pool of the chain moves to it), release each other's
// blocks into them, and every block is accounted for at every report.
TEST(Magazines, GrownPoolsServeThroughMagazinesLikeBuiltOnes) {
    if (kt::config_classic) GTEST_SKIP() << "no magazines in the classic build";
    KovaMemSetPoolGrowth(4u << 20);
    kt::init(kt::Cfg{{2, 2048}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    if (!magazines()) GTEST_SKIP() << "no thread slots on this kernel";
    constexpr int kEach = 3000;
    std::vector<void *> held[2];
    kovamem::ThreadMags *slots[2] = {};
    std::atomic<int> phase{0};
    auto waitFor = [&](int p) {
        while (phase.load() < p) std::this_thread::yield();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) held[t].push_back(KovaMemAlloc(24));
            slots[t] = kovamem::memOwnMags();
            ++phase;
            waitFor(3);
            // Each releases the other's first half.
            for (int i = 0; i < kEach / 2; ++i) EXPECT_EQ(KovaMemFree(held[1 - t][static_cast<size_t>(i)]), 1);
            ++phase;
        });
    waitFor(2);
    ASSERT_EQ(memMgrDetails.poolCount, 2);  // one grown pool holds the 3952 blocks past the built one
    for (int t = 0; t < 2; ++t) {
        ASSERT_NE(slots[t], nullptr);
        const kovamem::PoolMags *pm = kovamem::memMagsOf(*slots[t], 1);
        EXPECT_EQ(slots[t]->from[0], 2);  // allocating from pool 1 now
        EXPECT_NE(pm->take.n, 0u);        // through its magazine
    }
    EXPECT_EQ(liveBlocks(0) + liveBlocks(1), 2 * kEach);
    EXPECT_EQ(kt::pool(0).substr(0, 14), "N2048 F0 B2048");
    EXPECT_EQ(kovamem::memPool(1).busyCount, 2 * kEach - 2048);
    EXPECT_EQ(kt::validity(), "valid");
    phase = 3;
    waitFor(5);
    for (auto &th : threads) th.join();
    EXPECT_EQ(liveBlocks(0) + liveBlocks(1), kEach);
    EXPECT_EQ(kt::validity(), "valid");
    for (int t = 0; t < 2; ++t)
        for (size_t i = kEach / 2; i < held[t].size(); ++i) EXPECT_EQ(KovaMemFree(held[t][i]), 1);
    EXPECT_EQ(liveBlocks(0) + liveBlocks(1), 0);
    EXPECT_EQ(kovamem::memPool(1).freeCount, kovamem::memPool(1).blockCount);
    EXPECT_EQ(kt::validity(), "valid");
}
