// Tracing by sampling: the rate is honoured per thread within statistical
// bounds, periodic patterns are not missed, the report says the rate, and a
// fault on a block that was not sampled says so where its chain would be.
#include <pthread.h>

#include <vector>

#include "support.h"

using kt::readLog;

namespace {

using Sampling = kt::Scenario;

// Allocates n blocks of size (alternating with size2 when given), counts
// those that got a trace record, and releases them.
int tracedOf(int n, uint32_t size, uint32_t size2 = 0, int *second = nullptr) {
    int traced = 0;
    for (int i = 0; i < n; ++i) {
        const uint32_t s = (size2 != 0 && i % 2 == 1) ? size2 : size;
        void *p = KovaMemAlloc(s);
        MemFindResult f;  // other threads allocate meanwhile: under the pool's lock
        int held;
        const bool t = kovamem::memLockAndFind(p, &f, &held) == MEM_FIND_FOUND && f.hdr->stackRec != nullptr;
        kovamem::memUnlockFound(held);
        if (t && s == size) ++traced;
        if (t && s != size && second != nullptr) ++*second;
        KovaMemFree(p);
    }
    return traced;
}

}  // namespace

TEST_F(Sampling, OneInNPerThreadWithinStatisticalBounds) {
    kt::start(kt::Cfg{{1, 64}, {3, 64}});
    KovaMemUpdateLogStackFlag(1);
    EXPECT_EQ(tracedOf(2000, 16), 2000);  // 1, the default: every allocation
    KovaMemResetFile();
    KovaMemSetTraceSampling(64);
    EXPECT_EQ(readLog(), kt::config_classic ? "" : " INFO: KovaMemSetTraceSampling: one allocation in 64 is traced\n");
    if (kt::config_classic) {
        EXPECT_EQ(tracedOf(2000, 16), 2000);  // accepted, nothing changes
        return;
    }
    // 64000 allocations: about 1000 traced; the count's deviation is about
    // 18 (distances uniform in 1..127), so 900..1100 is over five of them.
    const int one = tracedOf(64000, 16);
    EXPECT_TRUE(one > 900 && one < 1100) << one;
    // Each thread on its own: two threads, each about one in 64.
    static int counts[2];
    pthread_t t[2];
    for (int i = 0; i < 2; ++i)
        pthread_create(
            &t[i], nullptr,
            [](void *arg) -> void * {
                counts[reinterpret_cast<intptr_t>(arg)] = tracedOf(32000, 16);
                return nullptr;
            },
            reinterpret_cast<void *>(static_cast<intptr_t>(i)));
    for (pthread_t &x : t) pthread_join(x, nullptr);
    for (int c : counts) EXPECT_TRUE(c > 430 && c < 570) << c;
    // A pattern of the rate's own period (16 bytes, then 64, ... at 1 in 2)
    // is seen in both of its sizes, about half of each.
    KovaMemSetTraceSampling(2);
    int big = 0;
    const int small = tracedOf(20000, 16, 64, &big);
    EXPECT_TRUE(small > 4000 && small < 6000 && big > 4000 && big < 6000) << small << " " << big;
}

TEST_F(Sampling, ReportSaysTheRateAndFaultsSayNotSampled) {
    if (kt::config_classic) GTEST_SKIP() << "every allocation is traced";
    kt::start(kt::Cfg{{3, 8}});
    KovaMemUpdateLogStackFlag(1);
    KovaMemSetTraceSampling(1u << 30);  // practically none sampled
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(20));
    ASSERT_EQ(kt::hdrOf(p)->stackRec, nullptr);
    KovaMemResetFile();
    KovaMemPrintMemStatus();
    EXPECT_NE(readLog().find("\n Stack Free Count : 3000, Stack Busy Count : 0\n"
                             " Trace Sampling : 1/1073741824 (about one live block in 1073741824 is listed)\n"),
              std::string::npos)
        << readLog();
    KovaMemResetFile();
    kt::poke(p + 20, 0xFF);  // one byte past the request
    EXPECT_EQ(KovaMemFree(p), 0);
    const std::string at = kt::hex(p);
    const std::string log = readLog();
    EXPECT_NE(log.find(" INFO: KovaMemFree: Ptr " + at +
                       " allocated by: not sampled (one allocation in 1073741824 is traced)\n"
                       " INFO: KovaMemFree: Ptr " + at + " released by:\n"),
              std::string::npos)
        << log;
    KovaMemCleanMemBlocks();
    // A sampled block still names its culprit.
    KovaMemSetTraceSampling(1);
    uint8_t *q = static_cast<uint8_t *>(KovaMemAlloc(20));
    kt::poke(q + 20, 0xFF);
    KovaMemResetFile();
    EXPECT_EQ(KovaMemFree(q), 0);
    EXPECT_NE(readLog().find(" INFO: KovaMemFree: Ptr " + kt::hex(q) + " allocated by:\n"), std::string::npos) << readLog();
    KovaMemCleanMemBlocks();
}
