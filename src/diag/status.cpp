// Status report: per-pool lines, totals, percentages, counters, legend and,
// with tracing on, the trace of every live traced block. Everything from the
// pool lines to the last trace entry is read under the manager lock, so one
// report is one consistent snapshot.
#include <stdio.h>
#include <string.h>

#include "../internal.h"

using kovamem::kDashLine;
using kovamem::memLoad;

namespace {

constexpr const char kBeginBanner[] =
    "---------------------- Memory Manager Status -> Begin -------------------------\n";
constexpr const char kEndBanner[] =
    "---------------------- Memory Manager Status -> End ---------------------------\n";
constexpr const char kStackBeginBanner[] =
    "---------------------- Memory Manager Stack -> Begin --------------------------\n";
constexpr const char kStackEndBanner[] =
    "---------------------- Memory Manager Stack -> End ----------------------------\n";
constexpr const char kLegend[] =
    " S: Block Size, N: No. of Blocks, P: Peak Usage, F: Free Blocks, B: Busy Blocks\n"
    " A: Actual Memory Req. Size, T: Total Memory Allocated Size, C: Corrupt Blocks\n"
    " FA: First Block Address, LA: Last Block Address\n";

// One section of the report: a 2048-byte buffer cleared before each section
// and written as one log entry. At most 14 pools keep every section below
// the log writer's cut.
struct Section : kovamem::TextBuffer<MEM_LOG_ENTRY_SIZE> {
    void write() const { memLogPrint("\n%s", buf); }
};

// Sums over the pools, 32-bit and wrapping like the figures they add.
struct Sums {
    uint32_t n, f, b, a, t, p, ps, c, fs;
};

// A percentage in unsigned 32-bit arithmetic; a zero divisor shows 0.
uint32_t percent(uint32_t part, uint32_t whole) { return whole == 0 ? 0 : part * 100u / whole; }

void traceSection(Section &s, const MemStackData &d) {
    s.clear();
    s.add("%s%s%s", kDashLine, kStackBeginBanner, kDashLine);
    s.add(" Debug Memory Usage  = %d\n", d.debugMemUsage);
    s.add(" Stack Free Count : %d, Stack Busy Count : %d\n", d.freeCount, d.busyCount);
    s.add("%s", kDashLine);
    s.write();

    int budget = MEM_STACK_RECORDS;
    for (const MemStackRec *r = d.busyHead; r != nullptr && budget > 0; r = r->next, --budget) {
        const MemBlockHdr *h = r->hdr;
        if (h == nullptr) continue;
        memLogPrint("INFO: P:%d, B:%d, S:%d, O:%d, DPtr:0x%" PRIxPTR ", DSPtr:0x%" PRIxPTR ", N:0x%" PRIxPTR
                    ", STPtr:0x%" PRIxPTR "\n",
                    h->poolIndex, h->blockIndex, h->reqSize, h->opaque, reinterpret_cast<uintptr_t>(h->data),
                    reinterpret_cast<uintptr_t>(h), reinterpret_cast<uintptr_t>(h->next),
                    reinterpret_cast<uintptr_t>(r));
        printStackDetails(r->trace, reinterpret_cast<uintptr_t>(h->data), static_cast<int32_t>(r->size), r->tag);
    }
    memLogPrint(kDashLine);
    memLogPrint(kStackEndBanner);
    memLogPrint(kDashLine);
}

}  // namespace

extern "C" void KovaMemPrintMemStatus(void) {
    const MemMgrDetails &m = memMgrDetails;
    Section s;
    s.clear();
    s.add("%s%s%s", kDashLine, kBeginBanner, kDashLine);
    if (m.initialized == 0) {
        s.add("%s%s%s", kDashLine, kovamem::kNotInitBanner, kDashLine);
        s.write();
        return;
    }
    s.write();

    memLock(m.lock);
    Sums sum{};
    s.clear();
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        const MemPool &p = m.pools[k];
        const uint32_t t = p.busyCount * p.blockSize;
        const uint32_t ps = p.peakCount * p.blockSize;
        s.add("S:%5d|N:%4d|F:%4d|B:%4d(A:%8d|T:%8d)|P:%4d(%8d)|C:%3d|FA:0x%" PRIxPTR "|LA:0x%" PRIxPTR "\n",
              p.blockSize, p.blockCount, p.freeCount, p.busyCount, p.reqBytes, t, p.peakCount, ps, p.corruptCount,
              p.firstBlock, p.lastBlock);
        sum.n += p.blockCount;
        sum.f += p.freeCount;
        sum.fs += p.freeCount * p.blockSize;
        sum.b += p.busyCount;
        sum.a += p.reqBytes;
        sum.t += t;
        sum.p += p.peakCount;
        sum.ps += ps;
        sum.c += p.corruptCount;
    }
    s.write();

    const uint32_t required = percent(sum.a, sum.t);
    const uint32_t used = percent(sum.t, m.totalData);
    const uint32_t peak = percent(sum.ps, m.totalData);
    const uint32_t sysMalloc = memLoad(m.sysMallocCount);
    const uint32_t sysFree = memLoad(m.sysFreeCount);

    s.clear();
    s.add("%s", kDashLine);
    s.add("%7d|%6d|%6d|%6d(%10d|%10d)|%6d(%8d)|%5d|\n", m.poolCount, sum.n, sum.f, sum.b, sum.a, sum.t, sum.p,
          sum.ps, sum.c);
    s.add("%s", kDashLine);
    s.add(" Total Free Available Memory Size  = %8d\n", sum.fs);
    s.add(" Total Required       Memory Size  = %8d (%3d Percent)\n", sum.a, required);
    s.add(" Total Currently Used Memory Size  = %8d (%3d Percent)\n", sum.t, used);
    s.add(" Total Peak Data      Memory Size  = %8d (%3d Percent)\n", sum.ps, peak);
    s.add("%s", kDashLine);
    s.add(" Number of Memory Pools  = %8d\n", m.poolCount);
    s.add(" Total Memory Reserved   = %8d\n", m.totalReserved);
    s.add(" Total Management Memory = %8d\n", m.totalMgmt);
    s.add(" Total Data Memory       = %8d\n", m.totalData);
    s.add("%s", kDashLine);
    s.add(" MEM Count - Malloc:%8d|Realloc:%8d|Free:%8d|Remain:%8d|\n", m.memMallocCount, m.memReallocCount,
          m.memFreeCount, m.memMallocCount - m.memFreeCount);
    s.add(" SYS Count - Malloc:%8d|Realloc:%8d|Free:%8d|Remain:%8d|\n", sysMalloc, memLoad(m.sysReallocCount),
          sysFree, sysMalloc - sysFree);
    s.add("%s%s%s", kDashLine, kLegend, kDashLine);
    s.add("%s%s", kEndBanner, kDashLine);
    s.write();

    const MemStackData &d = *m.stackData;
    if (memLoad(d.logStack) == 1) traceSection(s, d);
    memUnlock(m.lock);
}
