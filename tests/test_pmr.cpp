// Standard containers on the pools through kovamem::memory_resource and
// kovamem::allocator: where each request is served, over-aligned types,
// and the failures the standard asks for.
#include <kovamem_pmr.hpp>

#include <map>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <vector>

#include "support.h"

namespace {

struct alignas(64) Wide {
    double v[3];
};

uint64_t poolAllocations() {
    KovaMemStats s;
    s.size = sizeof s;
    return KovaMemGetStats(&s) == 0 ? s.memMallocCount : 0;
}

}  // namespace

using Pmr = kt::Scenario;

TEST_F(Pmr, ContainersRunOnThePools) {
    kt::start(kt::Cfg{{0, 64}, {1, 64}, {2, 64}, {3, 64}, {4, 64}, {5, 64}, {6, 16}, {7, 16}});
    kovamem::memory_resource mr;
    const uint64_t before = poolAllocations();
    {
        std::pmr::vector<int> v(&mr);
        for (int i = 0; i < 100; ++i) v.push_back(i);
        std::pmr::map<int, std::pmr::string> m(&mr);
        for (int i = 0; i < 20; ++i) m.emplace(i, std::pmr::string(40, static_cast<char>('a' + i)));
        std::pmr::unordered_map<std::pmr::string, int> u(&mr);
        for (int i = 0; i < 30; ++i) u[std::pmr::string("key-number-" + std::to_string(i), &mr)] = i;
        EXPECT_EQ(v[99], 99);
        EXPECT_EQ(std::string(m.at(7).c_str()), std::string(40, 'h'));
        EXPECT_EQ(u.at(std::pmr::string("key-number-29", &mr)), 29);
        if (!kt::config_classic) {
            EXPECT_GT(poolAllocations() - before, 50u);
            EXPECT_EQ(memMgrDetails.sysMallocCount, 0u);  // every block from a pool
        } else {  // classic blocks are 4-byte aligned: requests that want 8 or 16 (64-bit) go to the C heap
            EXPECT_GT(poolAllocations() - before + memMgrDetails.sysMallocCount, 50u);
        }
    }
    KovaMemStats s;
    s.size = sizeof s;
    ASSERT_EQ(KovaMemGetStats(&s), 0);
    for (uint32_t k = 0; k < s.poolCount; ++k) EXPECT_EQ(s.pools[k].busyCount, 0u) << k;  // all given back
}

TEST_F(Pmr, OverAlignedTypesGetTheirAlignment) {
    kt::start(kt::Cfg{{3, 16}, {4, 16}, {5, 16}});
    kovamem::memory_resource mr;
    std::pmr::vector<Wide> v(&mr);
    for (int i = 0; i < 10; ++i) {
        v.push_back(Wide{{1.0 * i, 2, 3}});
        EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % 64, 0u);
    }
    void *p = mr.allocate(200, 64);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 64, 0u);
    mr.deallocate(p, 200, 64);
    std::vector<Wide, kovamem::allocator<Wide>> w(5);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(w.data()) % 64, 0u);
    EXPECT_GT(memMgrDetails.sysMallocCount, 0u);  // no pool's blocks are 64-aligned: the C heap, counted
}

TEST_F(Pmr, AllocatorServesStandardContainersAndRefusesOverflow) {
    kt::start(kt::Cfg{{0, 64}, {1, 64}, {2, 64}, {3, 64}, {4, 64}, {5, 64}});
    const uint64_t before = poolAllocations();
    std::vector<int, kovamem::allocator<int>> v;
    for (int i = 0; i < 50; ++i) v.push_back(i);
    std::map<int, int, std::less<int>, kovamem::allocator<std::pair<const int, int>>> m;
    for (int i = 0; i < 30; ++i) m[i] = i * i;
    EXPECT_EQ(m[29], 841);
    if (!kt::config_classic) {
        EXPECT_GE(poolAllocations() - before, 30u);  // every map node a pool block
        EXPECT_EQ(memMgrDetails.sysMallocCount, 0u);
    }
    std::vector<uint8_t, kovamem::allocator<uint8_t>> bytes(100);  // alignment 1: a pool in either build
    EXPECT_NE(kt::hdrOf(bytes.data()), nullptr);
    kovamem::allocator<uint64_t> a;
    EXPECT_THROW(a.allocate(std::numeric_limits<size_t>::max() / 4), std::bad_array_new_length);
    kovamem::memory_resource mr;
    EXPECT_THROW((void)mr.allocate(std::numeric_limits<size_t>::max()), std::bad_alloc);
    kovamem::memory_resource other;
    EXPECT_TRUE(mr.is_equal(other));
    EXPECT_TRUE(mr.is_equal(*kovamem::resource()));
    EXPECT_FALSE(mr.is_equal(*std::pmr::new_delete_resource()));
    EXPECT_TRUE(kovamem::allocator<int>() == kovamem::allocator<double>());
}
