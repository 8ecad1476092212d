// Helpers shared by the tests: the log file of this process, pool set-up,
// and the whole-structure check after each scenario.
#ifndef KOVAMEM_TEST_SUPPORT_H
#define KOVAMEM_TEST_SUPPORT_H

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "internal.h"

namespace kt {

inline std::string logPath() { return "/tmp/memmgr-" + std::to_string(getpid()) + ".log"; }

inline std::string readLog() {
    std::string out;
    if (FILE *f = fopen(logPath().c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        fclose(f);
    }
    return out;
}

inline size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + needle.size())) ++n;
    return n;
}

// A configuration from (size-class index, block count) pairs.
struct Cfg {
    int32_t v[MEM_POOL_SLOTS] = {};
    Cfg(std::initializer_list<std::pair<int, int32_t>> entries) {
        for (auto &e : entries) v[e.first] = e.second;
    }
};

// Starts this process's log afresh (a file left by an earlier process with
// the same id would spoil exact comparisons) and initialises the manager.
inline void init(const Cfg &cfg) {
    unlink(logPath().c_str());
    KovaMemInit(cfg.v);
}

// Initialises and empties the log, so a test sees only its own entries.
inline void start(const Cfg &cfg) {
    init(cfg);
    KovaMemResetFile();
}

// The header of a busy pool block, or NULL.
inline MemBlockHdr *hdrOf(const void *data) {
    MemFindResult r{};
    return memFindBlock(data, &r) == MEM_FIND_FOUND ? r.hdr : nullptr;
}

// A pool's figures on one line, for compact comparisons.
inline std::string pool(int k) {
    const MemPool &p = memPoolData[k];
    char b[96];
    snprintf(b, sizeof b, "N%d F%d B%d C%d A%u P%d", p.blockCount, p.freeCount, p.busyCount, p.corruptCount,
             p.reqBytes, p.peakCount);
    return b;
}

// The trace table's counts on one line.
inline std::string table() {
    return "free " + std::to_string(memStackData.freeCount) + " busy " + std::to_string(memStackData.busyCount);
}

// The function a code address lies in, by the dynamic symbol table (the
// test binaries are linked with -rdynamic).
std::string functionOf(MemTraceAddr a);

inline std::string hex(uintptr_t v) {
    char b[32];
    snprintf(b, sizeof b, "0x%" PRIxPTR, v);
    return b;
}
inline std::string hex(const void *p) { return hex(reinterpret_cast<uintptr_t>(p)); }

inline std::string validity() {
    char why[256];
    return memValidate(why, sizeof why) == 1 ? std::string("valid") : std::string(why);
}

inline uint32_t wordAt(const void *p) {
    uint32_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

// Every scenario ends with the structure intact.
class Scenario : public ::testing::Test {
protected:
    void SetUp() override { unlink(logPath().c_str()); }
    void TearDown() override { EXPECT_EQ(validity(), "valid"); }
};

}  // namespace kt

#endif
