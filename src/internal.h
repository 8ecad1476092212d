// Internal interface shared by the pool core and the diagnostics.
//
// The map. The parts have headers of their own, each with the comment that
// keeps it true:
//   base.h         inlining, word size, relaxed atomics;
//   text.h         log entry buffers, the signal-safe appender, batches;
//   core/layout.h  slot layout, pool geometry and records, serials, the
//                  address index, grown pools' regions;
//   core/guarded.h the guarded area;
//   core/locks.h   the lock implementation (pool locks, leaf locks);
//   core/magazine.h per-thread magazines of blocks, their exchanges with
//                  the pools and their stop;
//   diag/records.h fault records and their sinks.
// This header includes them all, and keeps the lock order (below) and what
// the pool core and the diagnostics share besides: the chain store, the
// findings told after the locks, the notes, the trace records.
//
// Locks, classic build. The manager lock (memMgrDetails.lock) guards every
// pool, header and counter of memMgrDetails, the trace-record table's lists
// and the quarantine. The trace-table lock (memStackData.lock) guards only a
// reset of that table, taken after the manager lock. Every "pool lock",
// "leaf lock" and "all locks" below is the manager lock itself.
//
// Locks, default build, in the order they are taken:
//   0. a thread's magazine mark (core/magazine.h): not a lock, but a thread
//      that has set it may take one pool lock (a refill or seal of its
//      magazine) and the leaf locks, never the manager lock; memLockAll
//      waits for every mark to clear after it took the manager lock and
//      before it takes the pool locks;
//   1. the manager lock: the growth of pools (a pool is made and published
//      under it), the growth budget, the guarded area's set-up, and the set
//      of pools: an operation that needs every pool takes it first, so that
//      no pool appears while it holds the others (memLockAll);
//   2. the pool locks (memPoolLocks[k], each on a cache line of its own), in
//      rising index order when more than one is held: pool k's live
//      MemPool record (memPool(k), see LivePool), its headers, back-links
//      and serials, memPoolHot[k] and the trace record of each of its busy
//      blocks. An allocation or release of
//      a pool block takes only its pool's lock. A pool lock is owned by
//      the thread that uses the pool alone, which takes it with plain
//      stores; the first other thread that takes it ends the ownership
//      under the lock's mutex and waits for the owner to leave (PoolLock).
//      That wait is for a thread inside the pool, which waits for nothing
//      that the waiter holds: a pool lock's holder takes only leaf locks.
//      The fork handler takes every pool lock through its mutex;
//   3. the leaf locks, taken with at most one pool lock held and never two
//      at once (but by the fork handler, which holds every lock, in this
//      order): the guarded lock (memGuardedLock: the guarded area's slot
//      table, waiting list and counts; its pages' protection changes under
//      it), the quarantine lock (memQuarantineLock: memMgrDetails.corruptList
//      and corruptCount) and the trace-table lock (memStackData.lock: the record lists,
//      the held list and a free block's held record).
// Apart from these, the fault records (diag/record.cpp) have two locks that
// are never held with any of the above: the module stage's, then the
// record lock; records are made after the fault's pool lock is given back.
// The fork handler takes both first, then every lock above.
//
// The status report, the snapshot, the cleanup, live-since, the mark, the
// peak reset, the trace-table reset and memValidate take all locks
// (memLockAll: manager lock, then every pool lock in index order), so each
// sees one consistent picture; every writer of the trace table, the
// quarantine and the slot table holds a pool lock, so these are at rest
// then too. No function calls a lock-taking public operation while holding
// a lock (a reallocation that moves takes its new block as an allocation
// does, with the old block's pool lock released, and retakes that lock to
// copy and release the old block; the classic build drops its lock around
// the allocation too). So, in the default build, a call that finds its
// thread holding or taking a lock (its count, memLocksHeld in
// core/locks.h, above 0) was made by a signal handler that interrupted it,
// and waits for no lock: it only tries pool locks, and its releases wait
// in a table until a thread gives back its last lock (core/deferred.cpp).
// The guarded-fault handler takes no lock: it reads the slot of the faulting address as it is and changes only that slot's
// state (recover), with relaxed atomics. The log writer takes no lock and
// calls nothing in the manager, so it may be called with any held.
//
// The pool counters of memMgrDetails (MEM Malloc, MEM Realloc, MEM Free) are
// kept per pool in the default build (memPoolHot: blocks taken, moves,
// damaged releases) and summed into memMgrDetails by every operation that
// takes all locks (memSumCounts, which also copies the live pool records
// into the published table), so that no allocation writes a line that
// another pool's allocation writes too.
//
// Outside every lock: the stack walk's code map and frame caches are
// lock-free (sequence counts); its module check calls dl_iterate_phdr (the
// loader's lock) only in the library's own captures, never in a capture a
// host may make from a signal handler. Every loader call of the library
// (the module check, KovaMemLogModules with its own lock, libunwind's
// start and walks) runs inside the fork guard: a fork waits until no other
// thread is inside one (prim/codemap.h), so a child never inherits the
// loader's lock or the module log's lock held. libunwind is first touched
// by the library's own first capture, never at load. Captures are made
// before a pool lock is taken or after it is released (the fault entries'
// chains included); the one exception is an allocation that finds tracing
// switched on while it waited for the lock. The counted fallback
// notes (diag/notes.cpp) take no lock: relaxed atomic counts.
//
// Read without the lock, with relaxed atomics, only to place prefetches
// before the lock is taken: a header's reqSize (release) and a pool's free-head hint (memPoolHot)
// (allocation). A chain's nextSame link (to pass over busy pools), the
// growth regions and the pool count are published with release order and
// read with acquire order (allocate, memPoolOfAddress, memLockAndFind). Their writers hold the manager lock
// and store them atomically too. Every decision is taken on what is read under a lock.
#ifndef KOVAMEM_INTERNAL_H
#define KOVAMEM_INTERNAL_H

#include "base.h"
#include "core/guarded.h"
#include "core/layout.h"
#include "core/locks.h"
#include "diag/records.h"
#include "text.h"

namespace kovamem {

// The three entries an operation writes when the manager is not initialised.
void memLogNotInitialized();
// Default build: sets aside a log another process of this pid left at
// memLogPath (diag/log.cpp); called when the path is named.
void memLogSetAside();

// The C heap the library itself uses: its fallback blocks, its tables, the
// blocks it hands on to free and realloc. The C library's own functions,
// except in the preload library, which defines malloc and the rest itself
// and points these at the C library's before anything is allocated.
struct HeapFns {
    void *(*malloc)(size_t);
    void *(*calloc)(size_t, size_t);
    void *(*realloc)(void *, size_t);
    void (*free)(void *);
    int (*memalign)(void **, size_t, size_t);
};
extern HeapFns memHeap;

// The C-heap counters are raised outside every lock (the fallback paths
// take none), so they are raised atomically; a wrap of the low
// word raises its high word (SysHigh), for the 64-bit snapshot.
void memCountWrapped(uint32_t &counter);
MEM_ALWAYS_INLINE void memCountUp(uint32_t &counter) {
    if (__builtin_expect(__atomic_fetch_add(&counter, 1u, __ATOMIC_RELAXED) == 0xFFFFFFFFu, 0)) memCountWrapped(counter);
}

// The executable's file name (without its directory), "unknown" when
// /proc/self/exe cannot be read; cut to cap.
void memProgramName(char *out, size_t cap);

// The third argument of SYS_StackTrace in the captures the library's own
// operations make (hosts pass 1; the argument is otherwise unused). Such a
// capture never runs in a signal handler (the operation takes the manager
// lock), so it may call into the loader: it first learns the modules that
// came or went since the last capture. A host's own SYS_StackTrace, which
// may run in a handler, never calls into the loader or the C heap.
constexpr uint32_t kCaptureChecksModules = 0x6B6D6368u;

// Default build: the chain store (diag/depot.cpp), under the trace-table
// lock: chains kept for released blocks until they are handed out again.
// memChainIds[k]: two ids per block of pool k (allocation, release), under
// pool k's lock, valid for a block released filled (serial kFreeFilled);
// NULL until pool k first keeps one. memDepotCapacity: at most kDepotChains,
// lowered by tests.
constexpr uint32_t kDepotChains = 8192;
constexpr uint32_t kDepotFull = 0xFFFFFFFFu;  // the id of a chain the full store could not keep
enum ChainState : uint8_t { kChainNone, kChainKept, kChainLost };
extern uint32_t *memChainIds[kMaxPools];
extern uint32_t memDepotCapacity;
// The id of trace in the store (added when new), kDepotFull when it is full.
uint32_t memDepotPut(const MemTraceAddr *trace);
// The chain of id into out: kept, none (id 0) or lost (the store was full).
ChainState memDepotGet(uint32_t id, MemTraceAddr *out);
uint32_t memDepotCount();
// Whether every stored chain is in the bucket of its hash, once; else
// false with the first chain found astray (0: a chain no bucket reaches).
bool memDepotConsistent(uint32_t *badId);
// Makes pool k's ids (pool lock held); false when no memory could be had.
bool memChainIdsFor(unsigned k);

// Default build: blocks an allocation found written after their release
// (and quarantined instead of handing them out), described for the entries
// its caller writes once the lock is released: the first two in full, the
// others counted.
struct FreedFindings {
    uint32_t count;
    struct Block {
        uintptr_t data;
        uint16_t pool, block;
        uint32_t offset;       // first byte found changed
        ChainState alloc, release;  // the chains below: kept, or none (not traced), or lost
        MemTraceAddr allocBy[MEM_TRACE_ENTRIES];
        MemTraceAddr releaseBy[MEM_TRACE_ENTRIES];
    } at[2];
};

// Default build: what the release of a block with a damaged guard keeps for
// the entries written after the lock: the block, which guard, and the
// chain that allocated it (traced: the block had a trace record).
struct ReleaseNote {
    uintptr_t data;
    uint32_t size;
    uint16_t pool, block;
    bool front;   // its front guard was damaged (an underrun)
    bool behind;  // its guard word was damaged (an overrun)
    bool traced;
    MemTraceAddr alloc[MEM_TRACE_ENTRIES];
};

// Default build: 1 while releases fill blocks with kFreedByte (see
// KovaMemSetFreeCheck). Relaxed atomic: a release reads it once under the
// lock; a change applies from the next release.
extern uint8_t memFreeCheck;

// Default build, for a reallocation that moves a block: its new block, taken
// as KovaMemAlloc takes one, under each pool's own lock and with no other
// lock held, with the chain the caller captured (pre; NULL: not traced),
// its guard written, and never guarded nor from the C heap (NULL: no pool
// could serve; the full pools are noted). Blocks found written after their
// release are left in *found for the caller to tell.
void *memAllocMoved(uint32_t size, const MemTraceAddr *pre, bool sampled, FreedFindings *found);

// Tracing by sampling (default build; KovaMemSetTraceSampling): while
// tracing is on, one allocation in memTraceSampling gets a trace record.
// Each thread draws the distance to its next traced allocation uniformly
// from 1 .. 2n - 1 (mean n) with a generator of its own, so that neither
// the start of a thread nor a periodic pattern of allocations decides
// which call sites are seen. 1 (the default): every allocation. Relaxed
// atomic; the classic build traces every allocation.
extern uint32_t memTraceSampling;
bool memSampleSlow(uint32_t n);
// Whether the allocation being made is one of the sampled ones; called
// only while tracing is on.
MEM_ALWAYS_INLINE bool memSampleThis() {
    if (config_classic) return true;
    const uint32_t n = memLoad(memTraceSampling);
    return n <= 1 || memSampleSlow(n);
}
// Default build: moves the blocks at the head of p's free list whose bytes
// were changed since their release to the quarantine, describing them in
// *found. Called with p's lock held when the head's serial is
// kFreeFilled; the head left (if any) is fit to hand out.
void memScreenFreeHead(MemPool *p, FreedFindings *found);
// Default build, p's lock held: free block h of p, on no list, whose bytes
// were changed from offset at since its release, to the quarantine,
// described in *found.
void memQuarantineFreed(MemPool *p, MemBlockHdr *h, int32_t at, FreedFindings *found);

// Entries that name the culprits of a fault (diag/faults.cpp), each chain
// as a STACK DETAILS entry behind an " INFO: <op>: Ptr 0x<p> <which>:" line.
// Written without any lock held.
void memLogChain(const char *op, uintptr_t ptr, const char *which, const MemTraceAddr *trace, uint32_t size);
void memLogDamageChains(const char *op, const ReleaseNote &note, const MemTraceAddr *release);
void memLogFreedFindings(const FreedFindings &found, const MemTraceAddr *finder);

// What an invalid release or reallocation of a pool address met (default
// build).
enum BadRelease { kBadInside, kBadFree, kBadQuarantined };
struct BadReleaseNote {
    BadRelease kind;
    int32_t pool, block, offset;
    bool heldRelease;  // a free block whose record keeps the chain that released it
    bool heldAlloc;    // the chain that allocated the block is known (a live block's record, the chain store, a guarded slot)
    MemTraceAddr release[MEM_TRACE_ENTRIES];
    MemTraceAddr alloc[MEM_TRACE_ENTRIES];
};
// op: "KovaMemFree" or "KovaMemReAlloc", whose entries name the caller's
// chain "released by" or "reallocated by".
void memLogBadRelease(const char *op, const void *ptr, const BadReleaseNote &note, const MemTraceAddr *caller);

// Default build: the C-heap fallback and full-pool notes, written at the
// 1st, 2nd, 4th, 8th ... occurrence of the same size (or pool), each with
// its running count (diag/notes.cpp).
// kNoteHandlerAlloc: an allocation from a signal handler that found no
// pool it could take a block of without waiting, and returned NULL
// (core/locks.h).
enum NoteKind { kNoteSysAlloc, kNoteMemFull, kNoteSysRealloc, kNotePoolFull, kNoteHandlerAlloc };
// The C-heap reallocation note names its block: written as the others, by size.
void memNoteSysRealloc(uintptr_t ptr, uint32_t size);
void memNoteFallback(NoteKind kind, uint32_t key);

// The lookup of slot j of pool k: MEM_FIND_FOUND with the result filled when
// the block is busy, else MEM_FIND_NOT_BUSY. The caller holds pool k's lock.
// prev: the header before it on the busy list (classic build); NULL in the
// default build, which keeps no busy list.
MEM_ALWAYS_INLINE int memFindSlot(int k, int32_t j, MemFindResult *out) {
    const PoolGeom &g = memPoolGeom[k];
    uint16_t back = 0;
    if (config_classic) {
        back = g.busyPrev[j];
        if (back == kNotBusy) return MEM_FIND_NOT_BUSY;
    } else {
        if (memGetState(static_cast<unsigned>(k), static_cast<uint32_t>(j)) != kBlockLive) return MEM_FIND_NOT_BUSY;
        // A block that stands for a guarded one is busy at the guarded
        // address, not at its own slot's.
        if (__builtin_expect(memInGuarded(reinterpret_cast<uintptr_t>(g.hdrs[j].data)), 0)) return MEM_FIND_NOT_BUSY;
    }
    out->pool = &memPool(static_cast<unsigned>(k));
    out->hdr = &g.hdrs[j];
    out->prev = !config_classic || back - 1 == j ? nullptr : &g.hdrs[back - 1];
    return MEM_FIND_FOUND;
}

// Default build: busy blocks whose guards a report, a snapshot or
// memValidate found damaged (diag/guardscan.cpp), to be told once the
// locks are released: the first four in full, the others counted. Each
// busy block is told once, at the first report that finds it: the last
// kGuardToldKept blocks told are remembered by pool, block and allocation
// serial. The block stays busy (its owner still uses it); its release
// quarantines it as it does any damaged block.
constexpr unsigned kGuardToldKept = 64;
struct GuardFindings {
    uint32_t count;
    struct Block {
        uintptr_t data;
        uint16_t pool, block;
        uint32_t size;
        bool behind, front;  // which guards are damaged
        bool traced;
        MemTraceAddr alloc[MEM_TRACE_ENTRIES];
    } at[4];
};
// All locks held: checks both guards of every busy pool block.
void memScanGuards(GuardFindings *found);
// No lock held: the entries of what memScanGuards found, by op.
void memLogGuardFindings(const char *op, const GuardFindings &found);

}  // namespace kovamem

extern "C" {

// ---- initialisation ----
void memInitStackData(void);

// ---- lookup ----

int memFindBlock(const void *addr, MemFindResult *out);
// The lookup as a walk over each pool's busy blocks comparing their data
// addresses (the busy list from its oldest block, classic; the live
// headers, default): the plain form that memFindBlock must always agree
// with, prev included. Kept for the tests, which compare the two on random
// operation sequences.
int memFindBlockWalk(const void *addr, MemFindResult *out);

// ---- log ----
extern char memLogPath[31];
extern uint32_t memLogMaxSize;
extern uint32_t memLogFull;
// Raised by each KovaMemResetFile that emptied the log: what the log held
// before (the module map) must be written again.
extern uint32_t memLogResets;

void memLogPrint(const char *format, ...) MEM_PRINTF(1, 2);
// A note that may be left out: written as memLogPrint writes, but only while
// the file is below three quarters of its cap, so that notes never take the
// room the reports and fault entries need. No cap marker is written for it.
// 1 when it was written.
int memLogNote(const char *format, ...) MEM_PRINTF(1, 2);
// One entry of n bytes of text as it is, under the cap: system calls only,
// so a signal handler may write it.
void memLogText(const char *text, size_t n);

// ---- stack traces ----
int32_t memWalkStack(MemTraceAddr *buf, int32_t depth, uint32_t how);

// Set by tests on 32-bit MIPS: the walk resolves every frame by its scan,
// without the frame cache, so that both ways can be compared on real code.
extern bool memFrameCacheOff;

// On other targets: true when captures go through libunwind's cached walk,
// chosen once at load (libunwind found at build time, no ThreadSanitizer in
// the library or the process). Tests clear it to run the compiler
// runtime's walk.
extern bool memUnwindCached;

// ---- trace records ----
int memMoveStackDataDLink(int dir, MemStackRec *rec, MemStackData *stackData);
void memDetachStackRec(MemBlockHdr *hdr, MemStackRec *rec);

// Default build, with the write-after-release check and tracing on: a
// released block keeps its record, rewritten with the chain of the release,
// on the held list (oldest first) until the block is taken again, found
// written, or the record is needed: an allocation that finds no free record
// takes the oldest held one back, so held records never leave a live block
// untraced. Guarded by the trace-table lock (the manager lock, classic);
// emptied by a reset of the table. A free block's stackRec (its held
// record) is written under that lock too, since an allocation from another
// pool may take the record back: read it with memLoad outside it.
struct MemHeldRecs {
    MemStackRec *head, *tail;
    uint16_t count;
};
extern MemHeldRecs memHeld;
// Each of these takes the trace-table lock (default build); the caller
// holds hdr's pool lock.
void memHoldStackRec(MemBlockHdr *hdr, MemStackRec *rec, const MemTraceAddr *release);

// Whether the records were ever chained into the free list. Until the first
// traced allocation they are not (the table's pages stay untouched): the
// counts say 3000 free and freeHead names record 0, whose links are still
// NULL. memChainStackTable chains them all, free, in array order; the
// caller holds the trace-table lock (classic: the manager lock), or no other
// thread uses the library yet.
extern bool memStackChained;
void memChainStackTable(void);
// Gives hdr's held record (if it still has one) back to the free list; takes
// the trace-table lock.
void memUnholdStackRec(MemBlockHdr *hdr);
// The oldest held record back to the free list; trace-table lock held.
void memReclaimHeldRec(void);

// ---- memory checkers ----
// Set by tests that release non-busy pool addresses on purpose: such a
// release is then not reported to memcheck or ASan (it still returns 255).
extern bool memShadowReportsBadRelease;

// ---- status report ----
// Set by tests: the report writes every entry under the lock, as it does
// when no scratch memory can be mapped for its copy of the traced blocks.
extern bool memReportCopyOff;

// ---- debug commands ----
extern uint8_t memDebugMode;
uintptr_t memParseHexAddr(const char *text);

// ---- whole-structure check ----
// Checks every pool's lists and counts and the trace table's lists and
// links; takes all locks when the manager is initialised. Returns 1
// when consistent, else 0 with a description of the first fault in why.
// Default build: busy blocks with a damaged guard are told in the log as
// a report tells them; they are faults of the host, not of the lists.
int memValidate(char *why, size_t whyLen);

}  // extern "C"

// Fills a trace with the end marker, then records the current call chain at
// depth min(gStackDepth, MEM_TRACE_ENTRIES). Always inlined: the call of
// SYS_StackTrace must sit in the body of the public operation serving the
// request, so that entry 0 lies inside it and entry 1 is its caller.
static MEM_ALWAYS_INLINE void memCaptureTrace(MemTraceAddr *trace) {
    for (int i = 0; i < MEM_TRACE_ENTRIES; ++i) trace[i] = MEM_TRACE_END;
    int32_t depth = kovamem::memLoad(gStackDepth);
    if (depth > MEM_TRACE_ENTRIES) depth = MEM_TRACE_ENTRIES;
    (void)SYS_StackTrace(trace, depth, kovamem::kCaptureChecksModules);
}

// Attaches a trace record to h, just taken from a free list, while tracing
// is on and the allocation is a sampled one. Caller holds h's pool lock;
// the record is taken under the trace-table lock, and is h's alone after.
// The call chain was captured before the lock was taken, into pre (so that
// other threads do not wait for the walk), unless tracing was off then: it
// is captured now. Always inlined
// for that capture.
static MEM_ALWAYS_INLINE void memAttachStackRec(MemBlockHdr *h, uint32_t size, const MemTraceAddr *pre,
                                                bool sampled = true) {
    MemStackData *sd = memMgrDetails.stackData;
    if (kovamem::memLoad(sd->logStack) != 1 || !sampled) return;
    kovamem::memLockTrace();
    if (__builtin_expect(!memStackChained, 0)) memChainStackTable();
    // Held records are taken back before the free list would run empty, so
    // that keeping them never makes the list moves note an empty list.
    if (memHeld.head != nullptr && (sd->freeHead == nullptr || sd->freeHead->next == nullptr)) memReclaimHeldRec();
    MemStackRec *rec = sd->freeHead;
    const int moved = memMoveStackDataDLink(MEM_STACK_TO_BUSY, rec, sd);
    kovamem::memUnlockTrace();
    if (moved != 1) return;
    h->stackRec = rec;
    rec->hdr = h;
    rec->size = size;
    rec->tag = 0;
    if (pre != nullptr)
        memcpy(rec->trace, pre, sizeof rec->trace);
    else
        memCaptureTrace(rec->trace);
}

#endif  // KOVAMEM_INTERNAL_H

