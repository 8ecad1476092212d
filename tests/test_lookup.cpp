// The constant-time lookup against the walk of the busy list it replaces:
// random operation sequences (allocation, release, reallocation, overruns,
// cleanup, tracing switches, a host releasing through KovaMemFreeNode),
// and after every step the two must agree on every probe address, the
// previous header included, and the whole structure must check out.
#include <random>
#include <vector>

#include "support.h"

namespace {

struct Probe {
    std::string where;
    const void *addr;
};

// Every slot start and its first, last-data, guard and last bytes, the bytes
// around each area, NULL and a C-heap block. Of a large (grown) pool, its
// first 64 slots and its last two.
std::vector<Probe> probes(const void *heap) {
    std::vector<Probe> v;
    v.push_back({"NULL", nullptr});
    v.push_back({"heap", heap});
    for (uint16_t k = 0; k < memMgrDetails.poolCount; ++k) {
        const MemPool &p = kovamem::memPool(k);
        const uint32_t d = kt::stride(p.blockSize);
        v.push_back({"before area", p.area - 1});
        v.push_back({"after area", p.area + p.blockCount * d});
        for (uint32_t j = 0; j < p.blockCount; j = (j == 63 && p.blockCount > 66) ? p.blockCount - 2 : j + 1) {
            const uint8_t *s = p.area + j * d;
            for (uint32_t off : {0u, 1u, p.blockSize - 1, p.blockSize, d - 1})
                v.push_back({"pool " + std::to_string(k) + " slot " + std::to_string(j) + " +" + std::to_string(off),
                             s + off});
        }
    }
    return v;
}

std::string describe(int rc, const MemFindResult &r) {
    if (rc != MEM_FIND_FOUND) return std::to_string(rc);
    return "found pool " + std::to_string(kovamem::memPoolIndex(r.pool)) + " block " + std::to_string(r.hdr->blockIndex) +
           " prev " + (r.prev ? std::to_string(r.prev->blockIndex) : std::string("none"));
}

// The first probe on which the two lookups disagree, or "".
std::string disagreement(const std::vector<Probe> &ps) {
    for (const Probe &p : ps) {
        MemFindResult fast{}, walk{};
        const std::string a = describe(memFindBlock(p.addr, &fast), fast);
        const std::string b = describe(memFindBlockWalk(p.addr, &walk), walk);
        if (a != b) return p.where + ": lookup " + a + ", walk " + b;
    }
    return "";
}

void randomSequence(unsigned seed) {
    std::mt19937 rng(seed);
    void *heap = calloc(1, 32);
    std::vector<Probe> ps = probes(heap);
    uint16_t pools = memMgrDetails.poolCount;
    std::vector<std::pair<uint8_t *, uint32_t>> live;
    for (int op = 0; op < 1500; ++op) {
        const uint32_t r = rng() % 100;
        const uint32_t size = 1 + rng() % (rng() % 8 == 0 ? 300 : 40);
        if (r < 40) {
            if (auto *p = static_cast<uint8_t *>(KovaMemAlloc(size))) live.emplace_back(p, size);
        } else if (r < 55 && !live.empty()) {
            auto &e = live[rng() % live.size()];
            if (auto *q = static_cast<uint8_t *>(KovaMemReAlloc(e.first, size))) e = {q, size};
        } else if (r < 90 && !live.empty()) {
            const size_t i = rng() % live.size();
            uint8_t *p = live[i].first;
            live[i] = live.back();
            live.pop_back();
            MemBlockHdr *h = kt::hdrOf(p);
            if (h != nullptr && rng() % 10 == 0)  // an overrun into the guard: quarantined
                kt::poke(p + kovamem::memGuardOffset(h->reqSize, kovamem::memPool(h->poolIndex).blockSize), 0x5A);
            if (h != nullptr && rng() % 3 == 0) {  // a host driving the release itself
                MemFindResult f{};
                int held;
                const int found = kovamem::memLockAndFind(p, &f, &held);
                if (found == MEM_FIND_FOUND) KovaMemFreeNode(f.pool, f.hdr, f.prev);
                kovamem::memUnlockFound(held);
                ASSERT_EQ(found, MEM_FIND_FOUND);
            } else {
                KovaMemFree(p);
            }
        } else if (r < 94) {
            KovaMemCleanMemBlocks();
        } else {
            KovaMemUpdateLogStackFlag(static_cast<int>(rng() % 2));
        }
        if (memMgrDetails.poolCount != pools) {  // a pool grew: its slots are probed too
            pools = memMgrDetails.poolCount;
            ps = probes(heap);
        }
        const std::string bad = disagreement(ps);
        ASSERT_EQ(bad, "") << "seed " << seed << " op " << op;
        if (op % 100 == 0) {
            ASSERT_EQ(kt::validity(), "valid") << "seed " << seed << " op " << op;
        }
    }
    for (auto &e : live) KovaMemFree(e.first);
    KovaMemCleanMemBlocks();
    EXPECT_EQ(disagreement(ps), "");
    free(heap);
}

}  // namespace

using Lookup = kt::Scenario;

TEST_F(Lookup, AgreesWithTheBusyListWalkOnRandomSequences) {
    // Small pools, so that they fill, fall through and reuse blocks often.
    kt::start(kt::Cfg{{0, 6}, {1, 5}, {2, 7}, {3, 4}, {5, 3}, {8, 2}});
    for (unsigned seed : {1u, 2u, 3u}) randomSequence(seed);
}

TEST_F(Lookup, AgreesWithTheWalkWhilePoolsGrowAndAfterTheBudgetIsSpent) {
    if (kt::config_classic) GTEST_SKIP() << "no pool grows";
    KovaMemSetPoolGrowth(3u << 20);  // two or three grown pools, then the C heap
    kt::start(kt::Cfg{{0, 6}, {1, 5}, {2, 7}, {3, 4}, {5, 3}, {8, 2}});
    for (unsigned seed : {4u, 5u}) randomSequence(seed);
    EXPECT_GT(memMgrDetails.poolCount, 6);
}

TEST_F(Lookup, SizeClassAndPoolTablesMatchAScanFromPoolZero) {
    kt::start(kt::Cfg{{1, 1}, {4, 1}, {11, 1}, {12, 1}});
    for (uint32_t size = 1; size <= 40000; size += (size < 300 ? 1 : 97)) {
        int scan = 0;
        while (scan < memMgrDetails.poolCount && kovamem::memPool(scan).blockSize < size) ++scan;
        EXPECT_EQ(kovamem::memFirstPoolOfClass[kovamem::memSizeClass(size)], scan) << size;
        EXPECT_GE(memPoolSizes[kovamem::memSizeClass(size)], size) << size;
        EXPECT_TRUE(kovamem::memSizeClass(size) == 0 || memPoolSizes[kovamem::memSizeClass(size) - 1] < size) << size;
    }
}
