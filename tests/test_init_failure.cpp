// memMgrInit releases everything when any of its allocations fails.
#include <errno.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <set>

#include "support.h"

extern "C" void *__real_calloc(size_t n, size_t s);
extern "C" void __real_free(void *p);
static int failAt = -1;  // fail the failAt-th calloc (0-based) when >= 0
static int calls = 0;
static std::set<void *> *live;  // blocks calloc handed out and free did not take back

extern "C" void *__wrap_calloc(size_t n, size_t s) {
    if (failAt >= 0 && calls++ == failAt) return nullptr;
    void *p = __real_calloc(n, s);
    if (live != nullptr && p != nullptr) live->insert(p);
    return p;
}

// Areas aligned beyond what calloc gives come from posix_memalign.
extern "C" int __real_posix_memalign(void **out, size_t align, size_t n);
extern "C" int __wrap_posix_memalign(void **out, size_t align, size_t n) {
    if (failAt >= 0 && calls++ == failAt) return ENOMEM;
    const int rc = __real_posix_memalign(out, align, n);
    if (live != nullptr && rc == 0) live->insert(*out);
    return rc;
}

extern "C" void __wrap_free(void *p) {
    if (live != nullptr) live->erase(p);
    __real_free(p);
}

// The default build maps block areas and header arrays. With 64-bit file
// offsets the C library's header may name its mmap mmap64: both are wrapped.
extern "C" void *__real_mmap(void *at, size_t n, int prot, int flags, int fd, off_t off);
extern "C" void *__real_mmap64(void *at, size_t n, int prot, int flags, int fd, off_t off);
extern "C" int __real_munmap(void *at, size_t n);
static void *mapOrFail(void *(*real)(void *, size_t, int, int, int, off_t), void *at, size_t n, int prot, int flags,
                       int fd, off_t off) {
    if (failAt >= 0 && calls++ == failAt) {
        errno = ENOMEM;
        return MAP_FAILED;
    }
    void *p = real(at, n, prot, flags, fd, off);
    if (live != nullptr && p != MAP_FAILED) live->insert(p);
    return p;
}
extern "C" void *__wrap_mmap(void *at, size_t n, int prot, int flags, int fd, off_t off) {
    return mapOrFail(__real_mmap, at, n, prot, flags, fd, off);
}
extern "C" void *__wrap_mmap64(void *at, size_t n, int prot, int flags, int fd, off_t off) {
    return mapOrFail(__real_mmap64, at, n, prot, flags, fd, off);
}
extern "C" int __wrap_munmap(void *at, size_t n) {
    if (live != nullptr) live->erase(at);
    return __real_munmap(at, n);
}

TEST(InitFailure, EveryAllocationFailingInTurnReleasesAllAndASuccessListsTheHeaders) {
    kt::Cfg cfg{{0, 3}, {4, 2}, {13, 1}};  // 1 table + 3 x (area, headers)
    for (int i = 0; i < 7; ++i) {
        std::set<void *> held;
        calls = 0;
        failAt = i;
        live = &held;
        EXPECT_EQ(memMgrInit(cfg.v, 3), 0) << "allocation " << i;
        live = nullptr;
        failAt = -1;
        EXPECT_EQ(memPoolData, nullptr);
        EXPECT_EQ(held.size(), 0u) << "allocation " << i << " failing leaves blocks behind";
    }
    // A host may call it itself: classic, each pool's free list then spans
    // its zero-filled header array, first to last, before KovaMemInit links it.
    ASSERT_EQ(memMgrInit(cfg.v, 3), 1);
    for (int k = 0; k < 3 && kt::config_classic; ++k) {
        const MemPool &p = memPoolData[k];
        ASSERT_EQ(p.freeHead, kovamem::memPoolGeom[k].hdrs.first()) << k;
        EXPECT_EQ(p.freeTail, kovamem::memPoolGeom[k].hdrs + (p.blockCount - 1)) << k;
        EXPECT_EQ(p.freeHead->next, nullptr) << k;
    }
}

// KovaMemInit with the n-th calloc of this process failing; returns the log.
static std::string initFailingAt(int n) {
    unlink(kt::logPath().c_str());
    calls = 0;
    failAt = n;
    KovaMemInit(kt::Cfg{{1, 2}}.v);
    failAt = -1;
    return kt::readLog();
}

// Allocations in order: table, area, headers, trace-table lock, manager lock.
// Without the trace table's lock, initialisation goes on and tracing still
// hands out every record.
TEST(InitFailure, TraceTableMutexFailureIsLoggedAndTracingStillHandsOutEveryRecord) {
    EXPECT_EQ(initFailingAt(3), "Number of pools: 1\n EXIT: CRIT: memInitStackData: Not able to create Mutex\n"
                                " EXIT: KovaMemInit: Success\n");
    EXPECT_EQ(memStackData.lock, nullptr);
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    KovaMemUpdateLogStackFlag(1);
    void *a = KovaMemAlloc(4), *b = KovaMemAlloc(5);
    EXPECT_TRUE(kt::hdrOf(a)->stackRec != nullptr && kt::hdrOf(b)->stackRec != nullptr);
    EXPECT_EQ(kt::table(), "free 2998 busy 2");
    EXPECT_EQ(kt::validity(), "valid");
    KovaMemFree(a);
    KovaMemFree(b);
    EXPECT_EQ(kt::table(), "free 3000 busy 0");
}

// A failed pool table or manager lock: one entry, nothing built, the C heap
// serves meanwhile, and a retry succeeds.
TEST(InitFailure, PoolOrManagerLockFailureLeavesNothingBuiltAndARetrySucceeds) {
    EXPECT_EQ(initFailingAt(0), "Number of pools: 1\n EXIT: CRIT: KovaMemInit: memMgrInit init failed \n");
    EXPECT_EQ(KovaMemIsInitialized(), 0);
    std::set<void *> held;
    live = &held;
    EXPECT_EQ(initFailingAt(4), "Number of pools: 1\n EXIT: CRIT: KovaMemInit: Not able to create Mutex\n");
    live = nullptr;
    EXPECT_EQ(KovaMemIsInitialized(), 0);
    EXPECT_EQ(memPoolData, nullptr);
    EXPECT_EQ(memMgrDetails.poolCount, 0);
    EXPECT_EQ(held.size(), 1u);  // only the trace table's lock, which the table keeps
    EXPECT_EQ(held.count(memStackData.lock), 1u);
    void *p = KovaMemAlloc(10);  // the C heap serves, as before any initialisation
    EXPECT_EQ(KovaMemFree(p), 1);
    KovaMemInit(kt::Cfg{{1, 2}}.v);
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    EXPECT_NE(kt::hdrOf(KovaMemAlloc(10)), nullptr);
    unlink(kt::logPath().c_str());
}
