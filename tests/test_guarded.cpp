// Guarded sampling: a guarded block's end meets an inaccessible page and a
// released one is inaccessible, so the bad access itself faults and the log
// names the instruction's function, the allocation and the release. The
// block is a pool block to every other part of the library.
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>

#include <vector>

#include "support.h"

using kt::readLog;

// The code that does the damage, named in the faulting chains.
extern "C" {
__attribute__((noinline)) void ktGuardedWrite(uint8_t *p, uint32_t at) {
    static_cast<volatile uint8_t *>(p)[at] = 0x5A;
    __asm__ volatile("" ::: "memory");
}
__attribute__((noinline)) uint8_t ktGuardedRead(const uint8_t *p, uint32_t at) {
    const uint8_t v = static_cast<const volatile uint8_t *>(p)[at];
    __asm__ volatile("" ::: "memory");
    return v;
}
__attribute__((noinline)) void *ktGuardedAlloc(uint32_t size) {
    void *p = KovaMemAlloc(size);
    __asm__ volatile("" ::: "memory");
    return p;
}
__attribute__((noinline)) void ktGuardedRelease(void *p) {
    KovaMemFree(p);
    __asm__ volatile("" ::: "memory");
}
}

namespace {

using Guarded = kt::Scenario;

bool inArea(const void *p) { return kovamem::memInGuarded(reinterpret_cast<uintptr_t>(p)); }

// The functions of the chain behind the line "... Ptr 0x<p> <which>:" in log.
std::vector<std::string> chainOf(const std::string &log, const void *p, const char *which) {
    std::vector<std::string> out;
    const std::string head = " INFO: KovaMemGuarded: Ptr " + kt::hex(p) + " " + which + ":\n";
    size_t at = log.find(head);
    if (at == std::string::npos) return out;
    const size_t end = log.find("****", at);
    for (at = log.find('[', at); at != std::string::npos && at < end; at = log.find('[', at + 1))
        out.push_back(kt::functionOf(static_cast<MemTraceAddr>(strtoull(log.c_str() + at + 1, nullptr, 16))));
    return out;
}

bool has(const std::vector<std::string> &v, const char *name) {
    for (const std::string &s : v)
        if (s == name) return true;
    return false;
}

// What the target's fault context tells of the access.
const char *kindOf(const char *kind) { return kt::kX86_64 ? kind : kt::kMips ? "access" : nullptr; }

void startGuarded(uint32_t slots) {
    kt::start(kt::Cfg{{3, 16}, {5, 16}});
    KovaMemSetGuardedRecover(1);
    KovaMemSetGuardedSampling(1, slots);
    KovaMemResetFile();
}

bool skipped() { return kt::config_classic || kovamem::config_asan || kovamem::config_tsan || kovamem::memUnderValgrind; }

}  // namespace

// Each bad access faults at its instruction and is named with the
// faulting, allocating and (once released) releasing chains; with recover
// the run goes on.
TEST_F(Guarded, EachBadAccessNamesItsCodeAndTheRunGoesOnWithRecover) {
    if (skipped()) GTEST_SKIP() << "classic accepts nothing new; sanitizers own SIGSEGV";
    // The handler sends fault records too.
    const std::string spool = "/tmp/kt-guarded-spool-" + std::to_string(getpid());
    ASSERT_EQ(KovaMemSetReportOptions(("report_to=file,spool:" + spool).c_str()), 0);
    startGuarded(4);
    struct Case { uint32_t size, at; bool release, write; const char *where; };
    std::vector<uint8_t *> blocks;
    for (const Case &c : {Case{64, 64, false, true, " 0 bytes past the end of block %s (size 64)\n"},
                          Case{100, 10, true, false, " inside block %s released\n"},
                          Case{100, 99, true, true, " inside block %s released\n"}}) {
        uint8_t *p = static_cast<uint8_t *>(ktGuardedAlloc(c.size));  // 64: a multiple of the slot alignment
        ASSERT_TRUE(inArea(p));
        if (c.release)
            ktGuardedRelease(p);
        else
            EXPECT_EQ((reinterpret_cast<uintptr_t>(p) + c.size) % kovamem::memGuarded.page, 0u);
        EXPECT_EQ(kt::validity(), "valid");
        KovaMemResetFile();
        c.write ? ktGuardedWrite(p, c.at) : (void)ktGuardedRead(p, c.at);
        const std::string log = readLog();
        if (const char *kind = kindOf(c.write ? "write" : "read")) {
            char where[96];
            snprintf(where, sizeof where, c.where, kt::hex(p).c_str());
            EXPECT_NE(log.find(std::string(" CRIT: KovaMemGuarded: ") + kind + " at " + kt::hex(p + c.at) + where),
                      std::string::npos) << log;
        }
        EXPECT_EQ(chainOf(log, p, "faulted at").at(0), c.write ? "ktGuardedWrite" : "ktGuardedRead") << log;
        EXPECT_TRUE(has(chainOf(log, p, "allocated by"), "ktGuardedAlloc")) << log;
        EXPECT_EQ(has(chainOf(log, p, "released by"), "ktGuardedRelease"), c.release) << log;
        EXPECT_NE(log.find(" INFO: KovaMemGuarded: the fault is let pass (recover): slot "), std::string::npos);
        blocks.push_back(p);
    }
    EXPECT_EQ(kovamem::memGuarded.faults, 3u);
    // The overrun landed and is past the block's rounding: the release
    // finds it intact, and the retired slot is not used again.
    EXPECT_EQ(ktGuardedRead(blocks[0], 64), 0x5A);
    EXPECT_EQ(KovaMemFree(blocks[0]), 1);
    EXPECT_EQ(kovamem::memGuarded.retired, 3u);
    void *q = KovaMemAlloc(64);
    EXPECT_NE(q, blocks[0]);
    KovaMemFree(q);
    KovaMemPrintMemStatus();
    EXPECT_NE(readLog().find("Memory Manager Status -> End"), std::string::npos);
    std::vector<std::string> records;
    for (const std::string &name : kt::filesIn(spool)) {
        const std::string text = kt::readFile(spool + "/" + name);
        records.push_back(text.substr(0, text.find(" sig=")) + (text.find(" alloc=") != std::string::npos ? " alloc" : "") +
                          (text.find(" fault=") != std::string::npos ? " fault" : ""));
        unlink((spool + "/" + name).c_str());
    }
    rmdir(spool.c_str());
    EXPECT_EQ(records, (std::vector<std::string>{"kovamem/1 kind=guarded-overrun alloc fault",
                                                 "kovamem/1 kind=guarded-use-after-free alloc fault",
                                                 "kovamem/1 kind=guarded-use-after-free alloc fault"}));
}

TEST_F(Guarded, DamageWithinTheRoundingIsCaughtAtRelease) {
    if (skipped()) GTEST_SKIP() << "classic accepts nothing new";
    startGuarded(4);
    const uint32_t size = 64 - 3;  // 3 bytes of rounding before the page's end
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(size));
    ASSERT_TRUE(inArea(p));
    EXPECT_EQ((reinterpret_cast<uintptr_t>(p) + 64) % kovamem::memGuarded.page, 0u);
    kt::poke(p + size + 2, 0x01);  // the last byte of rounding
    EXPECT_EQ(KovaMemFree(p), 0);
    const std::string log = readLog();
    EXPECT_NE(log.find(" CRIT: KovaMemFreeNode: Ptr " + kt::hex(p) + " from Pool 0 and Block 0 might be corrupted\n"),
              std::string::npos)
        << log;
    EXPECT_EQ(kovamem::memPool(0).corruptCount, 1);
    KovaMemCleanMemBlocks();  // the standing block comes back with its own slot
    EXPECT_EQ(kovamem::memPool(0).freeCount, 16);
}

TEST_F(Guarded, AGuardedBlockIsAPoolBlockToEveryOtherPart) {
    if (skipped()) GTEST_SKIP() << "classic accepts nothing new";
    kt::start(kt::Cfg{{3, 8}, {5, 8}});
    KovaMemUpdateLogStackFlag(1);
    KovaMemSetGuardedSampling(1, 3);
    std::vector<uint8_t *> b;
    for (int i = 0; i < 5; ++i) b.push_back(static_cast<uint8_t *>(KovaMemAlloc(50)));
    // Three slots: the first three guarded, the rest in their pool.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(inArea(b[i]), i < 3) << i;
    EXPECT_EQ(kovamem::memPool(0).busyCount, 5);
    EXPECT_EQ(kovamem::memPool(0).reqBytes, 250u);
    EXPECT_EQ(kovamem::memGuarded.missed, 2u);
    EXPECT_EQ(kt::validity(), "valid");
    // The lookup agrees with the busy-list walk; the block that stands for
    // a guarded one is not busy at its own slot.
    MemFindResult f{}, w{};
    EXPECT_EQ(memFindBlock(b[1], &f), MEM_FIND_FOUND);
    EXPECT_EQ(memFindBlockWalk(b[1], &w), MEM_FIND_FOUND);
    EXPECT_EQ(f.hdr, w.hdr);
    EXPECT_EQ(f.prev, w.prev);
    const uint8_t *own = kovamem::memSlotData(kovamem::memPool(0), f.hdr->blockIndex);
    EXPECT_EQ(memFindBlock(own, &f), MEM_FIND_NOT_BUSY);
    EXPECT_EQ(memFindBlockWalk(own, &w), MEM_FIND_NOT_BUSY);
    EXPECT_EQ(memFindBlock(b[1] + 1, &f), MEM_FIND_NOT_BUSY);
    // Traced, reported, and in the snapshot.
    KovaMemResetFile();
    KovaMemPrintMemStatus();
    const std::string report = readLog();
    EXPECT_NE(report.find("DPtr:" + kt::hex(b[0]) + ","), std::string::npos);
    EXPECT_NE(report.find(" Guarded Sampling : 1/1, 3 slots, 3 busy, 0 waiting, 0 retired, 0 faults, area " +
                          kt::hex(reinterpret_cast<void *>(kovamem::memGuarded.base))),
              std::string::npos)
        << report;
    KovaMemStats st{};
    st.size = sizeof st;
    ASSERT_EQ(KovaMemGetStats(&st), 0);
    EXPECT_EQ(st.guardedBusy, 3u);
    EXPECT_EQ(st.guardedSlots, 3u);
    EXPECT_EQ(st.pools[0].busyCount, 5u);
    // A reallocation moves it (its end is fixed), the bytes with it.
    memset(b[0], 7, 50);
    uint8_t *moved = static_cast<uint8_t *>(KovaMemReAlloc(b[0], 40));
    ASSERT_NE(moved, b[0]);
    EXPECT_EQ(moved[39], 7);
    EXPECT_EQ(KovaMemReAlloc(b[1], 50), b[1]);  // the same size stays
    // A second release is told with the chain of the first.
    KovaMemResetFile();
    EXPECT_EQ(KovaMemFree(b[1]), 1);
    EXPECT_EQ(KovaMemFree(b[1]), MEM_FREE_NOT_BUSY);
    const std::string log = readLog();
    EXPECT_NE(log.find(" ERROR: KovaMemFree: Ptr " + kt::hex(b[1]) + " is already free"), std::string::npos) << log;
    EXPECT_NE(log.find(" INFO: KovaMemFree: Ptr " + kt::hex(b[1]) + " first released by:"), std::string::npos) << log;
    EXPECT_NE(log.find(" INFO: KovaMemFree: Ptr " + kt::hex(b[1]) + " allocated by:"), std::string::npos) << log;
    EXPECT_EQ(kt::validity(), "valid");
    // Released slots wait first in first out: the next guarded block takes
    // the slot released longest ago.
    KovaMemFree(b[2]);
    uint8_t *again = static_cast<uint8_t *>(KovaMemAlloc(50));
    EXPECT_EQ(kovamem::memGuardedSlotOf(reinterpret_cast<uintptr_t>(again)),
              kovamem::memGuardedSlotOf(reinterpret_cast<uintptr_t>(b[0])));
    for (void *x : {static_cast<void *>(moved), static_cast<void *>(b[3]), static_cast<void *>(b[4]),
                    static_cast<void *>(again)})
        EXPECT_EQ(KovaMemFree(x), 1);
    EXPECT_EQ(kovamem::memPool(0).busyCount, 0);
    EXPECT_EQ(memStackData.busyCount, 0);
}

TEST_F(Guarded, OneInRatePerThreadAndNothingTakenBeforeAsked) {
    if (kt::config_classic) GTEST_SKIP() << "accepts nothing new";
    struct sigaction before, after;
    sigaction(SIGSEGV, nullptr, &before);
    kt::start(kt::Cfg{{3, 64}});
    for (int i = 0; i < 100; ++i) KovaMemFree(KovaMemAlloc(24));
    sigaction(SIGSEGV, nullptr, &after);
    EXPECT_EQ(before.sa_handler, after.sa_handler);  // no disposition taken by the pools alone
    EXPECT_EQ(kovamem::memGuarded.base, 0u);
    KovaMemSetGuardedSampling(100, 8);
    for (int i = 0; i < 20000; ++i) KovaMemFree(KovaMemAlloc(24));
    // About 200 (distances uniform in 1..199: deviation about 8).
    EXPECT_TRUE(kovamem::memGuarded.allocs > 160 && kovamem::memGuarded.allocs < 240) << kovamem::memGuarded.allocs;
    KovaMemSetGuardedSampling(0, 0);
    const uint64_t was = kovamem::memGuarded.allocs;
    for (int i = 0; i < 2000; ++i) KovaMemFree(KovaMemAlloc(24));
    EXPECT_EQ(kovamem::memGuarded.allocs, was);
}

namespace {
sigjmp_buf gJump;
int gHostFaults;
void hostHandler(int) {
    ++gHostFaults;
    siglongjmp(gJump, 1);
}
}  // namespace

TEST_F(Guarded, FaultsElsewhereGoToTheHandlerItReplaced) {
    if (skipped()) GTEST_SKIP() << "classic accepts nothing new; sanitizers own SIGSEGV";
    struct sigaction host;
    memset(&host, 0, sizeof host);
    host.sa_handler = hostHandler;
    sigemptyset(&host.sa_mask);
    sigaction(SIGSEGV, &host, nullptr);
    startGuarded(2);
    uint8_t *page = static_cast<uint8_t *>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (sigsetjmp(gJump, 1) == 0) ktGuardedWrite(page, 0);
    EXPECT_EQ(gHostFaults, 1);
    EXPECT_EQ(readLog().find("KovaMemGuarded"), std::string::npos);
    munmap(page, 4096);
}

TEST_F(Guarded, WithoutRecoverTheProcessEndsWithTheSignalAfterItsReport) {
    if (skipped()) GTEST_SKIP() << "classic accepts nothing new; sanitizers own SIGSEGV";
    const pid_t child = fork();
    if (child == 0) {
        kt::start(kt::Cfg{{3, 16}});
        KovaMemSetGuardedSampling(1, 2);
        uint8_t *p = static_cast<uint8_t *>(ktGuardedAlloc(32));
        ktGuardedWrite(p, 32);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
    const std::string path = "/tmp/memmgr-" + std::to_string(child) + ".log";
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(path.c_str());
    EXPECT_NE(ss.str().find(" bytes past the end of block "), std::string::npos) << ss.str();
    EXPECT_NE(ss.str().find(" INFO: KovaMemGuarded: the fault goes on to the process (signal)\n"), std::string::npos);
}

TEST_F(Guarded, ThreadsAllocateAndReleaseGuardedBlocksWhileReportsRun) {
    if (kt::config_classic) GTEST_SKIP() << "accepts nothing new";
    kt::start(kt::Cfg{{3, 256}, {5, 256}});
    KovaMemUpdateLogStackFlag(1);
    KovaMemSetGuardedSampling(4, 16);
    auto worker = [](void *) -> void * {
        void *held[8] = {};
        for (int i = 0; i < 4000; ++i) {
            void *&h = held[i % 8];
            if (h != nullptr) {
                EXPECT_EQ(KovaMemFree(h), 1);
            }
            h = KovaMemAlloc(static_cast<uint32_t>(16 + (i * 37) % 240));
            memset(h, 0x33, 16);
            if (i % 97 == 0) h = KovaMemReAlloc(h, 200);
        }
        for (void *h : held) KovaMemFree(h);
        return nullptr;
    };
    pthread_t t[3];
    for (pthread_t &x : t) pthread_create(&x, nullptr, worker, nullptr);
    int reports = 0;
    while (reports < 20) {
        KovaMemPrintMemStatus();
        KovaMemStats st{};
        st.size = sizeof st;
        EXPECT_EQ(KovaMemGetStats(&st), 0);
        EXPECT_LE(st.guardedBusy, 16u);
        EXPECT_EQ(kt::validity(), "valid");
        ++reports;
    }
    for (pthread_t &x : t) pthread_join(x, nullptr);
    EXPECT_GT(kovamem::memGuarded.allocs, 100u);
    EXPECT_EQ(kovamem::memGuarded.busy, 0u);
    EXPECT_EQ(kovamem::memPool(0).busyCount + kovamem::memPool(1).busyCount, 0);
}
