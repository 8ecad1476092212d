// The default build's pool locks: owned by the first thread that takes
// them, shared (a mutex) once a second thread does, owned again after a
// long run of one thread alone. Whatever the hand-overs, two holders are
// never inside at once. A signal handler's call never waits for a lock its
// own thread holds.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "diag/prim/membarrier.h"
#include "support.h"

namespace {

using kovamem::kLockShared;
using kovamem::kLockUnowned;
using kovamem::PoolLock;

bool owned() { return kovamem::config_owned_locks && kovamem::memHeavyBarrierReady(); }

// Pools of these tests have fewer than 64 blocks: no magazines, so every
// allocation and release takes its pool's lock.
// A lock no pool of these tests uses, and a count only its holders touch:
// the thread sanitizer reports any two holders inside together.
constexpr unsigned kSpare = kovamem::kMaxPools - 1;
uint64_t gCount;

void hold(int times) {
    for (int i = 0; i < times; ++i) {
        kovamem::memTakePoolLock(kSpare);
        const uint64_t c = gCount;
        gCount = c + 1;
        kovamem::memGivePoolLock(kSpare);
    }
}

}  // namespace

TEST(PoolLock, HoldersExcludeEachOtherAcrossEveryHandOver) {
    if (kt::config_classic) GTEST_SKIP() << "one manager lock in the classic build";
    PoolLock &l = kovamem::memPoolLocks[kSpare];
    std::atomic<uintptr_t> idA{0}, idB{0};
    std::atomic<int> phase{0};
    auto waitFor = [&](int p) {
        while (phase.load() < p) std::this_thread::yield();
    };
    std::thread a([&] {
        hold(1000);
        idA = kovamem::memThreadId();  // the first holder owns it
        phase = 1;
        waitFor(2);
        hold(20000);  // beside b: shared
        phase = 3;
        waitFor(4);
        hold(10);  // b owns it again: taken from it
        phase = 5;
    });
    std::thread b([&] {
        waitFor(1);
        if (owned()) {
            EXPECT_EQ(kovamem::memLoad(l.owner), idA.load());
        } else {
            EXPECT_EQ(kovamem::memLoad(l.owner), kovamem::config_owned_locks ? kLockShared : kLockUnowned);
        }
        phase = 2;
        hold(20000);
        idB = kovamem::memThreadId();
        waitFor(3);  // either may have become its owner again near the end
        hold(static_cast<int>(kovamem::kLockReownAfter) + 100);  // alone for a long run
        if (owned()) {
            EXPECT_EQ(kovamem::memLoad(l.owner), idB.load());
        }
        phase = 4;
        waitFor(5);
    });
    a.join();
    b.join();
    EXPECT_EQ(gCount, 1000u + 20000u + 20000u + kovamem::kLockReownAfter + 100u + 10u);
    if (kovamem::config_owned_locks) {
        EXPECT_EQ(kovamem::memLoad(l.owner), kLockShared);
    }
    EXPECT_FALSE(kovamem::memPoolLockHeld(kSpare));
}

// The same hand-overs through the pools themselves, the whole structure
// checked after each: memValidate also checks the lock it holds.
TEST(PoolLock, APoolPassesBetweenThreadsWithItsBlocksWhole) {
    if (kt::config_classic) GTEST_SKIP() << "one manager lock in the classic build";
    kt::init(kt::Cfg{{0, 60}, {3, 60}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    std::vector<void *> kept;
    auto pairs = [&](int n) {
        for (int i = 0; i < n; ++i) {
            void *p = KovaMemAlloc(8);
            ASSERT_NE(p, nullptr);
            if (i % 1000 == 0)
                kept.push_back(p);  // released by the next thread
            else
                ASSERT_EQ(KovaMemFree(p), 1);
        }
    };
    std::atomic<uintptr_t> first{0};
    std::atomic<bool> paired{false}, checked{false};
    std::thread owner([&] {  // stays until checked: its slot is not given back
        pairs(100);
        first = kovamem::memThreadId();
        paired = true;
        while (!checked) std::this_thread::yield();
    });
    while (!paired) std::this_thread::yield();
    if (owned()) {
        EXPECT_EQ(kovamem::memLoad(kovamem::memPoolLocks[0].owner), first.load());
    }
    EXPECT_EQ(kt::validity(), "valid");  // from this thread: the pool is taken from its owner
    EXPECT_EQ(kovamem::memLoad(kovamem::memPoolLocks[0].owner), kLockShared);
    checked = true;
    owner.join();
    pairs(static_cast<int>(kovamem::kLockReownAfter) + 10);
    if (owned()) {
        EXPECT_EQ(kovamem::memLoad(kovamem::memPoolLocks[0].owner), kovamem::memThreadId());
    }
    EXPECT_EQ(kt::validity(), "valid");  // held by its owner's way now
    std::thread([&] {
        for (void *p : kept) EXPECT_EQ(KovaMemFree(p), 1);
    }).join();
    EXPECT_EQ(kt::validity(), "valid");
    EXPECT_EQ(kovamem::memPool(0).busyCount, 0u);
    EXPECT_EQ(kovamem::memPool(0).freeCount, 60u);
}

// A kernel without the barrier (or a refusal of it): every pool lock is a
// mutex from its first use, and nothing else changes.
TEST(PoolLock, WithoutTheKernelBarrierEveryPoolIsShared) {
    if (kt::config_classic) GTEST_SKIP() << "one manager lock in the classic build";
    kovamem::memHeavyBarrierState = 2;
    kt::init(kt::Cfg{{0, 64}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    std::thread t([] {
        for (int i = 0; i < 5000; ++i) ASSERT_EQ(KovaMemFree(KovaMemAlloc(8)), 1);
    });
    for (int i = 0; i < 5000; ++i) ASSERT_EQ(KovaMemFree(KovaMemAlloc(8)), 1);
    t.join();
    EXPECT_EQ(kovamem::memLoad(kovamem::memPoolLocks[0].owner),
              kovamem::config_owned_locks ? kLockShared : kLockUnowned);
    EXPECT_EQ(kt::validity(), "valid");
}

// Threads that end give their slots back: a host that starts a thread per
// job keeps owning its pools long after its 256th thread, and a slot's next
// thread takes over what the last one owned without another thread's
// barrier.
TEST(PoolLock, EndedThreadsGiveTheirSlotsToNewOnes) {
    if (kt::config_classic || !owned()) GTEST_SKIP() << "no owned pool locks in this build or on this kernel";
    kt::init(kt::Cfg{{0, 60}, {3, 60}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    std::atomic<int> withSlot{0};
    for (unsigned round = 0; round < kovamem::kMaxOwners + 44; round += 4) {
        std::vector<std::thread> batch;
        for (int i = 0; i < 4; ++i)
            batch.emplace_back([&] {
                EXPECT_EQ(KovaMemFree(KovaMemAlloc(8)), 1);
                if (kovamem::memThreadId() != 0) ++withSlot;
            });
        for (auto &t : batch) t.join();
    }
    EXPECT_EQ(withSlot.load(), static_cast<int>(kovamem::kMaxOwners + 44));
    uintptr_t last = 0;
    std::thread([&] {
        EXPECT_EQ(KovaMemFree(KovaMemAlloc(64)), 1);  // pool 3, never used: claimed
        last = kovamem::memThreadId();
    }).join();
    EXPECT_NE(last, 0u);
    EXPECT_EQ(kovamem::memLoad(kovamem::memPoolLocks[1].owner), last);  // its slot still names it owner
    std::thread([&] {
        EXPECT_EQ(KovaMemFree(KovaMemAlloc(64)), 1);
        EXPECT_EQ(kovamem::memThreadId(), last);  // the slot given back, taken again
        EXPECT_EQ(kovamem::memLoad(kovamem::memPoolLocks[1].owner), last);
    }).join();
    EXPECT_EQ(kt::validity(), "valid");
}

namespace {

// What a handler did while its thread held a lock: allocated (got),
// reallocated moved (grown), released victim and got, asked for a report
// and a snapshot.
struct HandlerCalls {
    void *victim, *moved, *got, *grown;
    bool inside;  // the handler's call found its thread holding a lock
    int stats;    // KovaMemGetStats's result
} gCalls;

void callFromHandler(int) {
    gCalls.inside = kovamem::memInHandler();
    gCalls.got = KovaMemAlloc(24);
    if (gCalls.got != nullptr) memset(gCalls.got, 0x5A, 24);
    gCalls.grown = KovaMemReAlloc(gCalls.moved, 40);
    (void)KovaMemFree(gCalls.victim);
    (void)KovaMemFree(gCalls.got);
    KovaMemPrintMemStatus();
    KovaMemStats s;
    s.size = sizeof s;
    gCalls.stats = KovaMemGetStats(&s);
}

bool live(const void *p) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    const int k = kovamem::memPoolOfAddress(a);
    return k >= 0 && kovamem::memGetState(static_cast<unsigned>(k), static_cast<uint32_t>(kovamem::memSlotOf(k, a))) ==
                         kovamem::kBlockLive;
}

}  // namespace

// A handler interrupts its thread while it holds each kind of lock. Its
// allocation is served without waiting: by the next pool when the first
// one's lock is held; NULL, noted, when every pool's is (the reallocation
// then changes nothing). Its releases (the reallocated block's too) and
// its report wait until the thread gives the lock back, and then are made;
// its snapshot is refused. The blocks that waited are busy until then.
TEST(PoolLock, ASignalHandlerNeverWaitsForALockItsThreadHolds) {
    if (kt::config_classic) GTEST_SKIP() << "one manager lock in the classic build";
    struct Case {
        const char *held;
        void (*take)();
        void (*give)();
        int gotFrom;  // the pool of the handler's allocation, -1: none
    } cases[] = {
        {"pool 0 as its owner", [] { kovamem::memLockPool(0); }, [] { kovamem::memUnlockPool(0); }, 1},
        {"pool 0 through its mutex",
         [] {
             std::thread([] { EXPECT_EQ(KovaMemFree(KovaMemAlloc(24)), 1); }).join();  // shared now
             kovamem::memLockPool(0);
         },
         [] { kovamem::memUnlockPool(0); }, 1},
        {"the quarantine lock", [] { kovamem::memLockLeaf(kovamem::memQuarantineLock); },
         [] { kovamem::memUnlockLeaf(kovamem::memQuarantineLock); }, 0},
        {"the trace-table lock", [] { kovamem::memLockTrace(); }, [] { kovamem::memUnlockTrace(); }, 0},
        {"every lock", [] { kovamem::memLockAll(); }, [] { kovamem::memUnlockAll(); }, -1},
    };
    kt::start(kt::Cfg{{2, 60}, {3, 60}});  // 32 and 64 bytes: no magazines
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    struct sigaction sa = {}, old;
    sa.sa_handler = callFromHandler;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.held);
        gCalls = {KovaMemAlloc(20), KovaMemAlloc(16), nullptr, nullptr, false, 0};
        memset(gCalls.moved, 0x33, 16);
        const size_t reports = kt::count(kt::readLog(), "Memory Manager Status -> Begin");
        c.take();
        raise(SIGUSR1);
        EXPECT_TRUE(gCalls.inside);
        EXPECT_EQ(gCalls.stats, -1);
        EXPECT_EQ(kt::count(kt::readLog(), "Memory Manager Status -> Begin"), reports);
        const bool served = c.gotFrom >= 0;
        EXPECT_EQ(gCalls.got != nullptr, served);
        EXPECT_EQ(kovamem::memPoolOfAddress(reinterpret_cast<uintptr_t>(gCalls.got)), c.gotFrom);
        EXPECT_EQ(gCalls.grown != nullptr, served);
        if (served) {
            EXPECT_EQ(memcmp(gCalls.grown, std::string(16, '\x33').data(), 16), 0);
        }
        EXPECT_TRUE(live(gCalls.victim));
        EXPECT_TRUE(live(gCalls.moved));
        c.give();
        EXPECT_EQ(kt::count(kt::readLog(), "Memory Manager Status -> Begin"), reports + 1);
        EXPECT_FALSE(live(gCalls.victim));
        EXPECT_EQ(live(gCalls.moved), !served);
        EXPECT_FALSE(live(gCalls.got));
        EXPECT_EQ(KovaMemFree(served ? gCalls.grown : gCalls.moved), 1);
        EXPECT_EQ(kt::pool(0).substr(0, 7) + kt::pool(1).substr(0, 7), "N60 F60N60 F60");
        EXPECT_EQ(kt::validity(), "valid");
    }
    ASSERT_EQ(sigaction(SIGUSR1, &old, nullptr), 0);
    // Told: the snapshots refused, and as fallback notes the allocations
    // refused (the handler's own and the reallocation's new block, with
    // every lock held).
    const std::string log = kt::readLog();
    EXPECT_EQ(kt::count(log, " ERROR: KovaMemGetStats: called from a signal handler inside the library: refused, "
                             "it would wait for a lock its thread holds\n"),
              5u);
    EXPECT_EQ(kt::count(log, "ERROR"), 7u) << log;
    for (const char *size : {"24", "40"})
        EXPECT_EQ(kt::count(log, std::string(" EXIT: ERROR: KovaMemAlloc: Called from a signal handler inside the "
                                             "library, no pool free to take without waiting: NULL returned with size ") +
                                     size + " (count 1)\n"),
                  1u)
            << log;
}

// Signals land anywhere in a thread that allocates and releases through
// its magazines (their refills and seals take the pool's lock) and through
// the locked way (a pool without magazines), while the handler allocates,
// releases and now and then asks for a report. Without the handler's own
// way this hangs at the first signal that lands inside a lock.
TEST(PoolLock, SignalsThatLandAnywhereInThePoolsNeverHang) {
    if (kt::config_classic) GTEST_SKIP() << "one manager lock in the classic build";
    kt::start(kt::Cfg{{2, 2048}, {5, 60}});  // 32 bytes with magazines, 256 without
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    static std::atomic<int> handled{0}, inside{0};
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) {
        const bool in = kovamem::memInHandler();
        void *a = KovaMemAlloc(24), *b = KovaMemAlloc(200);
        (void)KovaMemFree(a);
        (void)KovaMemFree(b);
        if (handled % 512 == 0) KovaMemPrintMemStatus();  // made at once, or when a thread's last lock goes
        inside += in;
        ++handled;
    };
    sa.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        std::vector<void *> held(128, nullptr);  // about 16 of them in the pool of 60
        uint32_t x = 1;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
        while (std::chrono::steady_clock::now() < end)
            for (int i = 0; i < 1000; ++i) {
                x = x * 1103515245u + 12345u;
                void *&slot = held[(x >> 8) % held.size()];
                if (slot != nullptr) {
                    EXPECT_EQ(KovaMemFree(slot), 1);
                    slot = nullptr;
                } else {
                    slot = KovaMemAlloc((x >> 20) % 4 == 0 ? 150 : 20);
                }
            }
        for (void *p : held) (void)KovaMemFree(p);
        done = true;
    });
    const pthread_t w = worker.native_handle();
    while (!done) {
        pthread_kill(w, SIGUSR1);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    worker.join();
    ASSERT_EQ(sigaction(SIGUSR1, &old, nullptr), 0);
    printf("%d signals handled, %d of them inside a lock\n", handled.load(), inside.load());
    EXPECT_GT(handled.load(), 100);
    EXPECT_EQ(kt::pool(0).substr(0, 14) + " " + kt::pool(1).substr(0, 10), "N2048 F2048 B0 N60 F60 B0");
    EXPECT_EQ(kt::validity(), "valid");
    // The handler's allocations that found their pool's lock held were
    // refused, noted; nothing else is told.
    const std::string log = kt::readLog();
    EXPECT_EQ(kt::count(log, "ERROR"), kt::count(log, "Called from a signal handler inside the library")) << log;
    // Every report asked for was made (two asked for while one waits make one).
    const size_t asked = static_cast<size_t>((handled.load() + 511) / 512), made = kt::count(log, "Status -> Begin");
    EXPECT_TRUE(made >= 1 && made <= asked) << made << " of " << asked;
}
