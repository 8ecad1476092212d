// Entries that name the culprits of a fault (default build): which guard of
// a block was found damaged, at its release or at a report, who allocated
// it and who released it; who released or reallocated an address that is
// no busy block; who allocated, who released and who met a block written
// after its release. Each chain is a STACK DETAILS entry, in the
// report's format, behind one line that says whose chain it is (or, with
// tracing by sampling, that the block was not sampled):
//
//      INFO: KovaMemFree: Ptr 0x<data> allocated by:
//     STACK DETAILS: A:<data> L:<size> T:0 c: ...
//
// Written after the manager lock is released; entries of other threads may
// come between, so every header line names its block. The module map is
// written before the first fault of a log that lacks it.
#include "../internal.h"

// The module map, before a fault's entries, when this log lacks one or a
// module came since it was written: every chain a fault names can be
// symbolized, traced or not. Never in a signal handler: these entries are
// written by the library's own operations, whose captures call into the
// loader too.
static void mapFirst() { KovaMemLogModules(); }

void kovamem::memLogChain(const char *op, uintptr_t ptr, const char *which, const MemTraceAddr *trace,
                          uint32_t size) {
    memLogPrint(" INFO: %s: Ptr 0x%" PRIxPTR " %s:\n", op, ptr, which);
    printStackDetails(trace, ptr, static_cast<int32_t>(size), 0);
}

// With tracing on by sampling, a chain the block has none of because its
// allocation was not sampled is said to be so, where the chain would be.
static void logNotSampled(const char *op, uintptr_t ptr, const char *which) {
    const uint32_t n = kovamem::memLoad(kovamem::memTraceSampling);
    if (n <= 1 || kovamem::memLoad(memStackData.logStack) != 1) return;
    memLogPrint(" INFO: %s: Ptr 0x%" PRIxPTR " %s: not sampled (one allocation in %u is traced)\n", op, ptr, which, n);
}

// A damaged guard as a report finds it, or (found) a release: which guard.
static void logDamagedGuard(const char *op, uintptr_t data, int pool, int block, uint32_t size, bool behind,
                            bool front, bool found) {
    const char *which = behind && front ? "behind and in front of it"
                        : front         ? "in front of it (an underrun)"
                                        : "behind it (an overrun)";
    memLogPrint(" CRIT: %s: Ptr 0x%" PRIxPTR " from Pool %d and Block %d (size %u) has a damaged guard %s%s\n", op, data,
                pool, block, size, which, found ? ", found at the report" : "");
}

void kovamem::memLogDamageChains(const char *op, const ReleaseNote &note, const MemTraceAddr *release) {
    mapFirst();
    if (note.front) logDamagedGuard(op, note.data, note.pool, note.block, note.size, false, true, false);
    if (note.traced)
        memLogChain(op, note.data, "allocated by", note.alloc, note.size);
    else
        logNotSampled(op, note.data, "allocated by");
    memLogChain(op, note.data, "released by", release, note.size);
    const kovamem::RecordKind kind = !note.front ? kovamem::kRecordOverrun
                                     : note.behind ? kovamem::kRecordBothGuards
                                                   : kovamem::kRecordUnderrun;
    kovamem::memRecord({kind, false, note.data, note.size, note.traced ? note.alloc : nullptr, release});
}

// A chain the chain store kept or lost, or none was traced.
static void logKept(const char *op, uintptr_t ptr, const char *which, kovamem::ChainState state,
                    const MemTraceAddr *trace) {
    if (state == kovamem::kChainKept)
        kovamem::memLogChain(op, ptr, which, trace, 0);
    else if (state == kovamem::kChainLost)
        memLogPrint(" INFO: %s: Ptr 0x%" PRIxPTR " %s: not kept (the store of %u chains is full)\n", op, ptr, which,
                    kovamem::memDepotCapacity);
    else if (strcmp(which, "released by") == 0)
        logNotSampled(op, ptr, which);
}

void kovamem::memLogFreedFindings(const FreedFindings &found, const MemTraceAddr *finder) {
    mapFirst();
    const uint32_t described = found.count < 2 ? found.count : 2;
    for (uint32_t i = 0; i < described; ++i) {
        const FreedFindings::Block &b = found.at[i];
        memLogPrint(" CRIT: KovaMemAlloc: Ptr 0x%" PRIxPTR " from Pool %d and Block %d was written after its release"
                    " at offset %u\n",
                    b.data, b.pool, b.block, b.offset);
        logKept("KovaMemAlloc", b.data, "allocated by", b.alloc, b.allocBy);
        logKept("KovaMemAlloc", b.data, "released by", b.release, b.releaseBy);
        memLogChain("KovaMemAlloc", b.data, "found by", finder, 0);
        memRecord({kRecordWriteAfterFree, false, b.data, 0, b.alloc == kChainKept ? b.allocBy : nullptr,
                   b.release == kChainKept ? b.releaseBy : nullptr});
    }
    if (found.count > described)
        memLogPrint(" CRIT: KovaMemAlloc: %u more blocks were written after their release and are quarantined\n",
                    found.count - described);
}

void kovamem::memLogBadRelease(const char *op, const void *ptr, const BadReleaseNote &note,
                               const MemTraceAddr *caller) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    mapFirst();
    switch (note.kind) {
        case kBadInside:
            memLogPrint(" ERROR: %s: Ptr 0x%" PRIxPTR " is inside block %d of pool %d at offset %d\n", op, a,
                        note.block, note.pool, note.offset);
            break;
        case kBadFree:
            memLogPrint(" ERROR: %s: Ptr 0x%" PRIxPTR " is already free (block %d of pool %d)\n", op, a, note.block,
                        note.pool);
            break;
        case kBadQuarantined:
            memLogPrint(" ERROR: %s: Ptr 0x%" PRIxPTR " is quarantined (block %d of pool %d)\n", op, a, note.block,
                        note.pool);
            break;
    }
    const bool release = strcmp(op, "KovaMemFree") == 0;
    memLogChain(op, a, release ? "released by" : "reallocated by", caller, 0);
    const RecordKind kind = note.kind == kBadFree ? (release ? kRecordDoubleFree : kRecordReallocFree)
                            : note.kind == kBadQuarantined ? (release ? kRecordFreeQuarantined : kRecordReallocQuarantined)
                                                           : (release ? kRecordFreeInterior : kRecordReallocInterior);
    memRecord({kind, false, a, 0, note.heldAlloc ? note.alloc : nullptr, caller});
    if (note.heldRelease)
        memLogChain(op, a, "first released by", note.release, 0);
    else if (note.kind == kBadFree && kovamem::memLoad(memFreeCheck) != 0)
        logNotSampled(op, a, "first released by");
    if (note.heldAlloc) memLogChain(op, a, "allocated by", note.alloc, 0);
}

void kovamem::memLogGuardFindings(const char *op, const GuardFindings &found) {
    mapFirst();
    const uint32_t described = found.count < 4 ? found.count : 4;
    for (uint32_t i = 0; i < described; ++i) {
        const GuardFindings::Block &b = found.at[i];
        logDamagedGuard(op, b.data, b.pool, b.block, b.size, b.behind, b.front, true);
        if (b.traced)
            memLogChain(op, b.data, "allocated by", b.alloc, b.size);
        else
            logNotSampled(op, b.data, "allocated by");
        const RecordKind kind = !b.front ? kRecordOverrun : b.behind ? kRecordBothGuards : kRecordUnderrun;
        memRecord({kind, true, b.data, b.size, b.traced ? b.alloc : nullptr, nullptr});
    }
    if (found.count > described)
        memLogPrint(" CRIT: %s: %u more busy blocks have damaged guards, found at the report\n", op,
                    found.count - described);
}
