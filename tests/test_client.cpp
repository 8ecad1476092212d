// The four calls used as a program uses malloc, calloc, realloc and free,
// with doubles and 64-bit integers stored in the blocks: on 32-bit MIPS a
// misaligned double faults, and a reallocation that forgot bytes or a guard
// that did not follow the size shows up as a wrong value or a guard report.
#include <random>
#include <vector>

#include "support.h"

namespace {

// Stores and reads back through volatile pointers, so the compiler emits
// real 8-byte loads and stores (ldc1/sdc1 on MIPS) at these addresses.
void storeAndCheck(uint8_t *p, uint32_t bytes, double seed) {
    for (uint32_t off = 0; off + 8 <= bytes; off += 8) {
        volatile double *d = reinterpret_cast<volatile double *>(p + off);
        *d = seed + off * 0.5;
        ASSERT_EQ(*d, seed + off * 0.5) << off;
        volatile int64_t *i = reinterpret_cast<volatile int64_t *>(p + off);
        *i = static_cast<int64_t>(off) << 40 | 0x1234;
        ASSERT_EQ(*i, static_cast<int64_t>(off) << 40 | 0x1234) << off;
        *d = seed + off * 0.5;
    }
}

struct Block {
    double *p;
    uint32_t count;  // doubles held
    double seed;
};

void fill(Block &b) {
    for (uint32_t i = 0; i < b.count; ++i) b.p[i] = b.seed + i * 0.25;
}
bool holds(const Block &b, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i)
        if (b.p[i] != b.seed + i * 0.25) return false;
    return true;
}

}  // namespace

using Client = kt::Scenario;

// Compilers assume malloc's alignment of what a program allocates (aligned
// 16-byte loads of long double, __int128 and vectorised copies on 64-bit
// hosts): every block of the default build has it.
TEST_F(Client, EveryBlockOfEveryPoolHasMallocsAlignment) {
    if (kt::config_classic) GTEST_SKIP() << "classic: slots of S + 4 leave every other block 4-byte aligned";
    EXPECT_GE(kovamem::config_slot_align, alignof(max_align_t));
    kt::Cfg cfg{};
    for (int i = 0; i < MEM_POOL_SLOTS; ++i) cfg.v[i] = 3;
    kt::start(cfg);
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    std::vector<void *> all;
    for (int k = 0; k < MEM_POOL_SLOTS; ++k) {
        for (int j = 0; j < 3; ++j) {
            const uint32_t s = memPoolSizes[k];
            uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(s));
            ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % alignof(max_align_t), 0u) << k << "/" << j;
            storeAndCheck(p, s > 4096 ? 4096 : s, k * 10.0 + j);
            all.push_back(p);
        }
    }
    for (void *p : all) EXPECT_EQ(KovaMemFree(p), 1);
    EXPECT_EQ(kt::readLog(), "");
}

TEST_F(Client, MallocLikeProgramRunsWithoutASingleGuardReport) {
    if (kt::config_classic) GTEST_SKIP() << "classic: in-place reallocation keeps the first size";
    kt::start(kt::Cfg{{0, 16}, {1, 16}, {2, 16}, {3, 16}, {4, 8}, {5, 8}, {6, 4}});
    std::mt19937 rng(7);
    std::vector<Block> live;
    for (int op = 0; op < 4000; ++op) {
        const uint32_t r = rng() % 10;
        const uint32_t count = 1 + rng() % (rng() % 4 == 0 ? 200 : 12);  // some beyond every pool
        if (r < 4 || live.empty()) {
            Block b{nullptr, count, op * 1.0};
            void *p = r == 0 ? KovaMemCalloc(count, sizeof(double))
                      : r == 1 ? KovaMemReAlloc(nullptr, count * sizeof(double))
                               : KovaMemAlloc(count * sizeof(double));
            ASSERT_NE(p, nullptr);
            b.p = static_cast<double *>(p);
            if (r == 0) {
                EXPECT_TRUE(b.p[count - 1] == 0.0);
            }
            fill(b);
            live.push_back(b);
        } else if (r < 7) {
            Block &b = live[rng() % live.size()];
            void *q = KovaMemReAlloc(b.p, count * sizeof(double));
            ASSERT_NE(q, nullptr);
            b.p = static_cast<double *>(q);
            ASSERT_TRUE(holds(b, std::min(b.count, count))) << "op " << op;
            b.count = count;
            fill(b);
        } else {
            const size_t i = rng() % live.size();
            ASSERT_TRUE(holds(live[i], live[i].count)) << "op " << op;
            ASSERT_EQ(KovaMemFree(live[i].p), 1) << "op " << op;
            live[i] = live.back();
            live.pop_back();
        }
    }
    for (const Block &b : live) EXPECT_EQ(KovaMemFree(b.p), 1);
    const std::string log = kt::readLog();
    EXPECT_EQ(kt::count(log, "CRIT"), 0u);
    EXPECT_EQ(memMgrDetails.corruptCount, 0);
    EXPECT_GT(memMgrDetails.sysReallocCount, 0u);
    EXPECT_GT(kt::counted().memReallocCount, 0u);
}
