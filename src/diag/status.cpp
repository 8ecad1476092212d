// Status report: per-pool lines, totals, percentages, counters, legend and,
// with tracing on, the trace of every live traced block. Everything from the
// pool lines to the last trace entry is read under all locks, so one
// report is one consistent snapshot.
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

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
// and written as one log entry. The 14 built pools keep every section below
// the log writer's cut; the lines of more pools (grown ones) go on in
// further entries that continue the text without a line of their own.
struct Section : kovamem::TextBuffer<MEM_LOG_ENTRY_SIZE> {
    void write() const { memLogPrint("\n%s", buf); }
    void write(kovamem::LogBatch &b) const { b.print("\n%s", buf); }
    void writeOn() const { memLogPrint("%s", buf); }
};

// Sums over the pools, 32-bit and wrapping like the figures they add.
struct Sums {
    uint32_t n, f, b, a, t, p, ps, c, fs;
};

// A percentage; a zero divisor shows 0. Classic build: in unsigned 32-bit
// arithmetic, so part * 100 wraps above 42949672 bytes, as described.
// Default build: the product in 64 bits, exact for every 32-bit figure.
uint32_t percent(uint32_t part, uint32_t whole) {
    if (whole == 0) return 0;
    if (kovamem::config_classic) return part * 100u / whole;
    return static_cast<uint32_t>(uint64_t{part} * 100u / whole);
}

// What the report shows of the manager, copied under the lock.
struct Figures {
    MemPool pools[kovamem::kMaxPools];
    uint16_t poolCount;
    uint32_t totalReserved, totalMgmt, totalData;
    uint32_t memMalloc, memRealloc, memFree, sysMalloc, sysRealloc, sysFree;
    kovamem::GuardedArea guarded;  // its figures (default build)
    uint32_t guardedRate;
    void take(const MemMgrDetails &m) {
        guarded = kovamem::memGuarded;
        guarded.retired = memLoad(kovamem::memGuarded.retired);
        guarded.faults = memLoad(kovamem::memGuarded.faults);
        guardedRate = memLoad(kovamem::memGuardedRate);
        poolCount = m.poolCount;
        memcpy(pools, m.pools, poolCount * sizeof(MemPool));
        totalReserved = m.totalReserved;
        totalMgmt = m.totalMgmt;
        totalData = m.totalData;
        memMalloc = m.memMallocCount;
        memRealloc = m.memReallocCount;
        memFree = m.memFreeCount;
        sysMalloc = memLoad(m.sysMallocCount);
        sysRealloc = memLoad(m.sysReallocCount);
        sysFree = memLoad(m.sysFreeCount);
    }
};

// The pool section and the summary section, composed from the figures.
template <class Out>
void poolSections(Section &s, const Figures &fig, Out &&write) {
    Sums sum{};
    s.clear();
    bool first = true;
    for (uint16_t k = 0; k < fig.poolCount; ++k) {
        if (s.len + 160 > sizeof s.buf) {  // room for the longest line
            if (first) write(s); else s.writeOn();
            first = false;
            s.clear();
        }
        const MemPool &p = fig.pools[k];
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
    if (first) write(s); else s.writeOn();

    const uint32_t required = percent(sum.a, sum.t);
    const uint32_t used = percent(sum.t, fig.totalData);
    const uint32_t peak = percent(sum.ps, fig.totalData);
    s.clear();
    s.add("%s", kDashLine);
    s.add("%7d|%6d|%6d|%6d(%10d|%10d)|%6d(%8d)|%5d|\n", fig.poolCount, sum.n, sum.f, sum.b, sum.a, sum.t, sum.p,
          sum.ps, sum.c);
    s.add("%s", kDashLine);
    s.add(" Total Free Available Memory Size  = %8d\n", sum.fs);
    s.add(" Total Required       Memory Size  = %8d (%3d Percent)\n", sum.a, required);
    s.add(" Total Currently Used Memory Size  = %8d (%3d Percent)\n", sum.t, used);
    s.add(" Total Peak Data      Memory Size  = %8d (%3d Percent)\n", sum.ps, peak);
    s.add("%s", kDashLine);
    s.add(" Number of Memory Pools  = %8d\n", fig.poolCount);
    s.add(" Total Memory Reserved   = %8d\n", fig.totalReserved);
    s.add(" Total Management Memory = %8d\n", fig.totalMgmt);
    s.add(" Total Data Memory       = %8d\n", fig.totalData);
    s.add("%s", kDashLine);
    s.add(" MEM Count - Malloc:%8d|Realloc:%8d|Free:%8d|Remain:%8d|\n", fig.memMalloc, fig.memRealloc, fig.memFree,
          fig.memMalloc - fig.memFree);
    s.add(" SYS Count - Malloc:%8d|Realloc:%8d|Free:%8d|Remain:%8d|\n", fig.sysMalloc, fig.sysRealloc, fig.sysFree,
          fig.sysMalloc - fig.sysFree);
    // Default build, once guarded sampling made its area: the blocks in it
    // are those of the trace dump whose DPtr lies in the area.
    const kovamem::GuardedArea &g = fig.guarded;
    if (!kovamem::config_classic && g.base != 0) {
        if (fig.guardedRate != 0)
            s.add(" Guarded Sampling : 1/%u,", fig.guardedRate);
        else
            s.add(" Guarded Sampling : off,");
        s.add(" %u slots, %u busy, %u waiting, %u retired, %u faults, area 0x%" PRIxPTR "-0x%" PRIxPTR "\n", g.slots,
              g.busy, g.waiting, g.retired, g.faults, g.base, g.base + g.bytes - 1);
    }
    s.add("%s%s%s", kDashLine, kLegend, kDashLine);
    s.add("%s%s", kEndBanner, kDashLine);
    write(s);
}

// Records free for a traced allocation: the free ones and (default build)
// those held by released blocks, which an allocation takes back when no
// free one is left.
uint16_t freeRecords(const MemStackData &d) { return static_cast<uint16_t>(d.freeCount + memHeld.count); }

void traceHeader(Section &s, uint32_t debugMemUsage, uint16_t freeCount, uint16_t busyCount) {
    s.clear();
    s.add("%s%s%s", kDashLine, kStackBeginBanner, kDashLine);
    s.add(" Debug Memory Usage  = %d\n", debugMemUsage);
    s.add(" Stack Free Count : %d, Stack Busy Count : %d\n", freeCount, busyCount);
    // Default build: with sampling, the traced blocks below are about one
    // in n of the live ones.
    const uint32_t n = kovamem::config_classic ? 1 : memLoad(kovamem::memTraceSampling);
    if (n > 1) s.add(" Trace Sampling : 1/%u (about one live block in %u is listed)\n", n, n);
    s.add("%s", kDashLine);
}

// One traced live block as the report shows it.
struct TracedBlock {
    uint16_t poolIndex, blockIndex;
    uint32_t reqSize, opaque, size, tag;
    uintptr_t data, hdr, next, rec;
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    void take(const MemStackRec *r, const MemBlockHdr *h) {
        poolIndex = h->poolIndex;
        blockIndex = h->blockIndex;
        reqSize = h->reqSize;
        opaque = h->opaque;
        size = r->size;
        tag = r->tag;
        data = reinterpret_cast<uintptr_t>(h->data);
        hdr = reinterpret_cast<uintptr_t>(h);
        next = reinterpret_cast<uintptr_t>(h->next);
        rec = reinterpret_cast<uintptr_t>(r);
        memcpy(trace, r->trace, sizeof trace);
    }
};

constexpr const char kInfoFormat[] = "INFO: P:%d, B:%d, S:%d, O:%d, DPtr:0x%" PRIxPTR ", DSPtr:0x%" PRIxPTR
                                     ", N:0x%" PRIxPTR ", STPtr:0x%" PRIxPTR "\n";

// The trace part written entry by entry while the lock is held: the form
// used when no scratch memory can be had for a copy, and the one the copy's
// output is checked against.
void traceSectionLocked(Section &s, const MemStackData &d) {
    traceHeader(s, d.debugMemUsage, freeRecords(d), d.busyCount);
    s.write();
    int budget = MEM_STACK_RECORDS;
    for (const MemStackRec *r = d.busyHead; r != nullptr && budget > 0; r = r->next, --budget) {
        const MemBlockHdr *h = r->hdr;
        if (h == nullptr) continue;
        TracedBlock b;
        b.take(r, h);
        memLogPrint(kInfoFormat, b.poolIndex, b.blockIndex, b.reqSize, b.opaque, b.data, b.hdr, b.next, b.rec);
        printStackDetails(b.trace, b.data, static_cast<int32_t>(b.size), b.tag);
    }
    memLogPrint(kDashLine);
    memLogPrint(kStackEndBanner);
    memLogPrint(kDashLine);
}

// Scratch memory for a report with tracing on: the copy of every traced
// block and the buffer of the log batch. Mapped for the report and unmapped
// after it, so no memory is held between reports and none comes from the
// C heap the pools share.
struct Scratch {
    TracedBlock blocks[MEM_STACK_RECORDS];
    char batch[64 * 1024];
};

Scratch *mapScratch() {
    if (memReportCopyOff) return nullptr;
    void *p = mmap(nullptr, sizeof(Scratch), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<Scratch *>(p);
}

}  // namespace

extern "C" {
bool memReportCopyOff;
}

// The report holds all locks only while it copies what it shows: the
// pool figures and counters, and with tracing on every traced live block;
// it checks the guards of every busy block meanwhile (default build), and
// tells what it found after its own entries.
// It formats and writes after releasing the lock, the trace entries through
// one open of the log file. The bytes in the log are those of writing each
// entry under the lock; only the time others wait for the lock changes.
extern "C" void KovaMemPrintMemStatus(void) {
    const MemMgrDetails &m = memMgrDetails;
    // Default build: a handler's report, its thread inside the library,
    // is made when a thread next gives back its last lock.
    if (!kovamem::config_classic && kovamem::memCalledInside()) return kovamem::memDeferReport();
    Section s;
    s.clear();
    s.add("%s%s%s", kDashLine, kBeginBanner, kDashLine);
    if (m.initialized == 0) {
        s.add("%s%s%s", kDashLine, kovamem::kNotInitBanner, kDashLine);
        s.write();
        return;
    }
    s.write();

    const MemStackData &d = *m.stackData;
    Scratch *scratch = memLoad(d.logStack) == 1 ? mapScratch() : nullptr;  // before the lock
    Figures fig;
    kovamem::GuardFindings guards;
    kovamem::memLockAll();
    kovamem::memSumCounts();
    kovamem::memScanGuards(&guards);
    fig.take(m);
    const bool traced = memLoad(d.logStack) == 1;
    if (traced && scratch == nullptr) {  // no copy: every entry under the lock
        poolSections(s, fig, [](const Section &sec) { sec.write(); });
        traceSectionLocked(s, d);
        kovamem::memUnlockAll();
        if (guards.count != 0) kovamem::memLogGuardFindings("KovaMemPrintMemStatus", guards);
        return;
    }
    const uint32_t debugMemUsage = d.debugMemUsage;
    const uint16_t freeCount = freeRecords(d), busyCount = d.busyCount;
    int n = 0;
    if (traced) {
        int budget = MEM_STACK_RECORDS;
        for (const MemStackRec *r = d.busyHead; r != nullptr && budget > 0; r = r->next, --budget)
            if (r->hdr != nullptr) scratch->blocks[n++].take(r, r->hdr);
    }
    kovamem::memUnlockAll();

    poolSections(s, fig, [](const Section &sec) { sec.write(); });
    if (traced) {
        kovamem::LogBatch batch;
        batch.begin(scratch->batch, sizeof scratch->batch);
        traceHeader(s, debugMemUsage, freeCount, busyCount);
        s.write(batch);
        kovamem::TraceText t;
        for (int i = 0; i < n; ++i) {
            const TracedBlock &b = scratch->blocks[i];
            batch.print(kInfoFormat, b.poolIndex, b.blockIndex, b.reqSize, b.opaque, b.data, b.hdr, b.next, b.rec);
            kovamem::memFormatTrace(t, b.trace, b.data, static_cast<int32_t>(b.size), b.tag);
            batch.print("STACK DETAILS: %s\n", t.buf);
        }
        batch.print(kDashLine);
        batch.print(kStackEndBanner);
        batch.print(kDashLine);
        batch.close();
    }
    if (scratch != nullptr) munmap(scratch, sizeof(Scratch));
    if (guards.count != 0) kovamem::memLogGuardFindings("KovaMemPrintMemStatus", guards);
}
