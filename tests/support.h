// Helpers shared by the tests: this process's log, pool set-up, compact
// figures, and the whole-structure check that ends every scenario.
#ifndef KOVAMEM_TEST_SUPPORT_H
#define KOVAMEM_TEST_SUPPORT_H

#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "internal.h"

namespace kt {

// 32-bit MIPS walks frames by their prologues and stops at signal frames;
// other targets walk the unwind tables.
#if defined(__mips__)
constexpr bool kMips = true;
#else
constexpr bool kMips = false;
#endif
#if defined(__x86_64__)
constexpr bool kX86_64 = true;
#else
constexpr bool kX86_64 = false;
#endif

// The manager record with its pool counters brought up to date: the
// default build keeps them per pool and sums them into the record when a
// report, a snapshot or a check takes all locks.
inline const MemMgrDetails &counted() {
    kovamem::memLockAll();
    kovamem::memSumCounts();
    kovamem::memUnlockAll();
    return memMgrDetails;
}

inline std::string logPath() { return "/tmp/memmgr-" + std::to_string(getpid()) + ".log"; }

inline std::string readFile(const std::string &path) {
    std::ostringstream s;
    s << std::ifstream(path, std::ios::binary).rdbuf();
    return s.str();
}
// The names in a directory but "." and "..", sorted.
inline std::vector<std::string> filesIn(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string readLog() {
    std::stringstream s;
    s << std::ifstream(logPath(), std::ios::binary).rdbuf();
    return s.str();
}

inline size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
    return n;
}

// A configuration from (size-class index, block count) pairs.
struct Cfg {
    int32_t v[MEM_POOL_SLOTS] = {};
    Cfg(std::initializer_list<std::pair<int, int32_t>> entries) {
        for (auto &e : entries) v[e.first] = e.second;
    }
};

// Initialises on a fresh log (a file left by an earlier process with the
// same id would spoil exact comparisons); start() also empties it after.
inline void init(const Cfg &cfg) {
    unlink(logPath().c_str());
    KovaMemInit(cfg.v);
}
inline void start(const Cfg &cfg) {
    init(cfg);
    KovaMemResetFile();
}

using kovamem::config_classic;

// Slot strides, written out per build rather than computed: S + 4 classic,
// S + 4 rounded up to the slot alignment by default.
constexpr uint32_t stride(uint32_t blockSize) {
    return config_classic ? blockSize + 4
           : kovamem::config_slot_align == 8 ? blockSize + 8
                                              : (blockSize + 4 + 15) / 16 * 16;
}

inline MemBlockHdr *hdrOf(const void *data) {
    MemFindResult r{};
    return memFindBlock(data, &r) == MEM_FIND_FOUND ? r.hdr : nullptr;
}

// A pool's figures, and the trace table's counts, on one line.
// Pool k's figures as a report sees them: every thread's magazines emptied
// into the pools first.
inline std::string pool(int k) {
    if (memMgrDetails.initialized != 0) {
        kovamem::memLockAll();
        kovamem::memUnlockAll();
    }
    const MemPool &p = kovamem::memPool(k);
    char b[96];
    snprintf(b, sizeof b, "N%d F%d B%d C%d A%u P%d", p.blockCount, p.freeCount, p.busyCount, p.corruptCount,
             p.reqBytes, p.peakCount);
    return b;
}
inline std::string table() {
    return "free " + std::to_string(memStackData.freeCount) + " busy " + std::to_string(memStackData.busyCount);
}

inline std::string hex(const void *p) {
    char b[32];
    snprintf(b, sizeof b, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return b;
}

// The log without its module map's lines, which the first chain of a
// fault brings along (default build).
inline std::string withoutMap(const std::string &log) {
    std::string out;
    for (size_t at = 0; at < log.size();) {
        size_t end = log.find('\n', at);
        end = end == std::string::npos ? log.size() : end + 1;
        if (log.compare(at, 26, " INFO: KovaMemLogModules: ") != 0) out += log.substr(at, end - at);
        at = end;
    }
    return out;
}

// The frame lines of each STACK DETAILS entry, which vary from run to run,
// as one mark: "STACK DETAILS: A:... L:... T:...<chain>"; the module map
// left out.
inline std::string chainsMarked(const std::string &whole) {
    const std::string log = withoutMap(whole);
    const std::string stars = std::string(64, '*') + "\n";
    std::string out;
    size_t at = 0;
    for (;;) {
        const size_t head = log.find("STACK DETAILS: ", at);
        if (head == std::string::npos) break;
        const size_t tag = log.find("T:", head);
        const size_t end = log.find(stars, head);
        if (tag == std::string::npos || end == std::string::npos) break;
        out += log.substr(at, tag + 2 + 8 - at) + "<chain>\n";
        at = end + stars.size();
    }
    return out + log.substr(at);
}

// The log with its chains marked, for comparison with expected entries.
inline std::string readLogMarked() { return chainsMarked(readLog()); }

// A chain entry of the default build behind a fault, chains marked.
inline std::string chainEntry(const char *op, const void *p, const char *which, uint32_t len) {
    char b[160];
    snprintf(b, sizeof b, " INFO: %s: Ptr %s %s:\nSTACK DETAILS: A:%6" PRIXPTR " L:%6d T:%8X<chain>\n\n", op,
             hex(p).c_str(), which, reinterpret_cast<uintptr_t>(p), static_cast<int>(len), 0u);
    return b;
}

// A fallback note as written at its count-th occurrence: the described
// entry, with " (count N)" in the default build.
inline std::string noted(const std::string &described, unsigned countSoFar) {
    return described + (config_classic ? "" : " (count " + std::to_string(countSoFar) + ")") + "\n";
}

// A guard word, read past memcheck's and ASan's checks.
inline uint32_t wordAt(const void *p) { return kovamem::memGuardWord(static_cast<const uint8_t *>(p)); }

// Damages one byte behind a block on purpose (xor with mask), past both
// memory checkers, which would otherwise report the overrun at once.
MEM_NO_ASAN inline void poke(void *at, uint8_t mask) {
#if KOVAMEM_VALGRIND
    if (kovamem::memUnderValgrind) VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, 1);
#endif
    *static_cast<volatile uint8_t *>(at) ^= mask;
#if KOVAMEM_VALGRIND
    if (kovamem::memUnderValgrind) VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, 1);
#endif
}

// The tests release non-busy pool addresses on purpose (a second release,
// an address inside a block) to check the 255 result; memory checkers are
// not told of those.
inline const bool kQuietBadReleases = (memShadowReportsBadRelease = false, true);

inline std::string validity() {
    char why[256];
    return memValidate(why, sizeof why) == 1 ? std::string("valid") : std::string(why);
}

class Scenario : public ::testing::Test {
protected:
    void SetUp() override { unlink(logPath().c_str()); }
    void TearDown() override {
        EXPECT_EQ(validity(), "valid");
        unlink(logPath().c_str());
    }
};

// ---- call chains (chain.cpp), compiled like the library ----
extern "C" {
int32_t ktChainF(MemTraceAddr *buf, int32_t depth);  // F -> G -> H, H captures
int32_t ktChainH(MemTraceAddr *buf, int32_t depth);
void ktCaptureDeep(int frames, MemTraceAddr *trace);  // captures as an allocation does
void *ktAllocFrom(uint32_t size);                     // calls KovaMemAlloc
void ktOnSignal(int);  // a signal handler: captures into ktSignalTrace, then KovaMemAlloc(0)
extern MemTraceAddr ktSignalTrace[MEM_TRACE_ENTRIES];
extern int32_t ktSignalDepth;
}
// The function a code address lies in (test binaries use -rdynamic).
std::string functionOf(MemTraceAddr a);

}  // namespace kt

#endif
