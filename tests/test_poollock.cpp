// The default build's pool locks: owned by the first thread that takes
// them, shared (a mutex) once a second thread does, owned again after a
// long run of one thread alone. Whatever the hand-overs, two holders are
// never inside at once.
#include <atomic>
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
