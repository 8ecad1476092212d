// Internal interface shared by the pool core and the diagnostics.
//
// Slot layout. Pool k owns one contiguous area of N slots of D bytes (the
// stride) and a separate array of N headers; header j describes slot j:
//
//     area + j*D                                            area + (j+1)*D
//     | data: S bytes for the caller         | spare 4 | pad | front 4 |
//     ^ hdr.data               guard at data + reqSize when reqSize <= S-4,
//                              otherwise at data + S (the spare word)
//
// D is S + 4 in the classic build (no pad, no front word); in the default
// build it is S + 4 rounded up to config_slot_align (8 or 16), and the area
// starts on that alignment, so every data address is aligned for doubles
// and 64-bit integers. Every S is a multiple of 8, so the default build's
// slot has at least four bytes beyond the spare word: its last four hold
// the front guard of the block that follows, the word just before that
// block's data (written when slot j is made, config_front_guard), so that
// a write before a block's start (an underrun) is found as an overrun is.
// A pool's first block has no front guard: the word before it is not the
// pool's. A free
// block, and a quarantined block once cleaned, has its guard at data + S;
// a block released while the write-after-release check is on holds
// kFreedByte in its S data bytes until it is taken again.
// In the default build the area and the header allocation are anonymous
// mappings of their own, left untouched until blocks are handed out (see
// "Never-used blocks" below).
// Headers never live inside the area, so an overrun damages the guard and
// the next slot's bytes, never a list link. One allocation per pool holds
// the N headers, then (default build) N 32-bit allocation serials (for a
// free slot: whether its bytes were filled at its release), then N 16-bit
// back-links of the busy list (see PoolGeom).
//
// Grown pools (default build, core/grow.cpp) have the same layout; their
// areas are carved from one reservation per built pool they grow, their
// header allocations are mappings of their own.
//
// A pool's range, the addresses that count as its own: classic, from the
// first to the last slot's data address (firstBlock..lastBlock); default,
// the whole area, so that no address inside a slot (the last one's inside,
// the padding) is ever taken for a C-heap block.
//
// Locks, classic build. The manager lock (memMgrDetails.lock) guards every
// pool, header and counter of memMgrDetails, the trace-record table's lists
// and the quarantine. The trace-table lock (memStackData.lock) guards only a
// reset of that table, taken after the manager lock. Every "pool lock",
// "leaf lock" and "all locks" below is the manager lock itself.
//
// Locks, default build, in the order they are taken:
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
// the allocation too). The guarded-fault handler takes no lock: it reads
// the slot of the faulting address as it is and changes only that slot's
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

#include <inttypes.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include "config.h"
#include "core/shadow.h"
#include "kovamem.h"

struct dl_phdr_info;

#define MEM_ALWAYS_INLINE inline __attribute__((always_inline))
#define MEM_PRINTF(f, a) __attribute__((format(printf, f, a)))

// What the lookup of an address finds: the block's pool, its header and the
// header before it on the busy list.
typedef struct MemFindResult {
    MemPool *pool;
    MemBlockHdr *hdr;
    MemBlockHdr *prev;  // header before hdr on the busy list, NULL at head
} MemFindResult;

namespace kovamem {

constexpr bool config_word32 = sizeof(void *) == 4;

// Management bytes as counted on the 32-bit target, on every target.
constexpr uint32_t kMgmtManager = 60;
constexpr uint32_t kMgmtPerPool = 52;
constexpr uint32_t kMgmtPerHeader = 24;
constexpr uint32_t kGuardBytes = 4;
constexpr uint32_t kMaxBlockCount = 65535;
// 3000 records of 60 bytes and one 28-byte mutex holder, on the 32-bit target.
constexpr uint32_t kDebugMemUsage = 180028;

// Bytes from one slot's data address to the next one's.
constexpr uint32_t memSlotStride(uint32_t blockSize) {
    return config_classic ? blockSize + kGuardBytes
                          : (blockSize + kGuardBytes + config_slot_align - 1) & ~(config_slot_align - 1);
}
// Management bytes per block: the header, the guard word and the padding.
constexpr uint32_t memMgmtPerBlock(uint32_t blockSize) { return kMgmtPerHeader + memSlotStride(blockSize) - blockSize; }
// Offset of the guard word from the data address for a request of req bytes
// (0: a free block): right behind the caller's bytes when there is room for
// it within the block, else in the spare word at data + S.
constexpr uint32_t memGuardOffset(uint32_t req, uint32_t blockSize) {
    return (req != 0 && req <= blockSize - kGuardBytes) ? req : blockSize;
}

// Rule and banner lines shared by the report, the cleanup and the commands.
constexpr const char kDashLine[] =
    "-------------------------------------------------------------------------------\n";
constexpr const char kNotInitBanner[] =
    "---------------------- Memory Manager is Not Initialized ----------------------\n";

// The three entries an operation writes when the manager is not initialised.
void memLogNotInitialized();
// Default build: sets aside a log another process of this pid left at
// memLogPath (diag/log.cpp); called when the path is named.
void memLogSetAside();

// Relaxed atomic access to words that several threads read and write
// without a lock; the values are flags and settings, never used to publish
// other data.
template <class T> MEM_ALWAYS_INLINE T memLoad(const T &v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
template <class T> MEM_ALWAYS_INLINE void memStore(T &v, T x) { __atomic_store_n(&v, x, __ATOMIC_RELAXED); }

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

// Formats at buf + *len and advances *len; text that does not fit in cap
// bytes (with its terminating NUL) is cut, and a full buffer stays as it is.
void memTextAppendV(char *buf, size_t cap, size_t *len, const char *format, va_list ap);

// A fixed text buffer that log entries are composed in.
template <size_t N>
struct TextBuffer {
    char buf[N];
    size_t len;
    void clear() {
        memset(buf, 0, N);
        len = 0;
    }
    MEM_PRINTF(2, 3) void add(const char *format, ...) {
        va_list ap;
        va_start(ap, format);
        memTextAppendV(buf, N, &len, format, ap);
        va_end(ap);
    }
    // The formatting below calls nothing of the C library but memset and
    // memcpy, so that it may run in a signal handler; each gives what
    // add's "%s", "%*X" / "%0*X" (upper) or "%*x" and "%*d" give.
    void put(const char *text) {
        for (; *text != '\0' && len + 1 < N; ++text) buf[len++] = *text;
        buf[len] = '\0';
    }
    void hex(uintptr_t v, int width, bool zero, bool upper) {
        char d[2 * sizeof(uintptr_t)];
        int n = 0;
        do {
            d[n++] = (upper ? "0123456789ABCDEF" : "0123456789abcdef")[v & 15u];
            v >>= 4;
        } while (v != 0);
        pad(width - n, zero ? '0' : ' ');
        while (n > 0 && len + 1 < N) buf[len++] = d[--n];
        buf[len] = '\0';
    }
    void dec(int64_t v, int width) {
        char d[24];
        int n = 0;
        uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        do {
            d[n++] = static_cast<char>('0' + u % 10u);
            u /= 10u;
        } while (u != 0);
        if (v < 0) d[n++] = '-';
        pad(width - n, ' ');
        while (n > 0 && len + 1 < N) buf[len++] = d[--n];
        buf[len] = '\0';
    }

   private:
    void pad(int count, char c) {
        for (; count > 0 && len + 1 < N; --count) buf[len++] = c;
    }
};

// Facts about pool k fixed by memMgrInit, kept beside the exported table so
// that MemPool keeps its documented layout.
//
// busyPrev is the back-link of the busy list, one 16-bit slot index per
// block, allocated behind the pool's header array: for a busy block j it is
// one more than the index of the header before it on the busy list, or
// j + 1 when j heads the list; for a free, quarantined or never-used block
// it is kNotBusy, 0, so that a zero-filled array, never touched, says "not
// busy". A pool has at most 65535 blocks, so j + 1 fits. With it the lookup
// of an address is constant time: pool by range, slot by arithmetic, busy
// and previous header from the link.
constexpr uint16_t kNotBusy = 0;

// Pools: the table holds the pools KovaMemInit built (memPoolsBuilt of
// them, block sizes rising) and then, default build, the pools grown since
// (see core/grow.cpp), up to kMaxPools in all. A grown pool has the block
// size of the built pool it grows ("its original"); each original and its
// grown pools form a chain through nextSame in the order they were made.
constexpr uint16_t kMaxPools = 256;
constexpr uint16_t kNoPool = 0xFFFF;
extern uint16_t memPoolsBuilt;

struct PoolGeom {
    uintptr_t start;     // first address of the pool's range
    uintptr_t end;       // last address of the range, inclusive
    uint32_t stride;     // memSlotStride(blockSize)
    uint64_t recip;      // floor(2^32 / stride) + 1: slot index by multiplication
    MemBlockHdr *hdrs;   // the header array: hdrs[j] describes slot j
    uint16_t *busyPrev;  // back-links of the busy list, see above
    uint64_t *serial;    // the allocation serial of slot j's latest
                         // allocation, see below
    uint16_t original;   // the built pool whose chain this pool is on
    uint16_t nextSame;   // the next pool of that chain, or kNoPool; set
                         // under the manager lock with release order, read
                         // without it with acquire order
};

// What each allocation or release of pool k writes besides the pool
// itself, kept together so that it is one cache line more, not several:
// the free-head hint (see below), and the figures of the statistics
// snapshot: blocks taken and returned intact (64-bit: they never wrap) and
// the highest busy count since the last KovaMemResetPeaks (the pool's
// peakCount is the lifetime one, the report's P). A release writes none of
// it: the blocks returned intact are those taken, less the busy ones and
// those a release quarantined (counted here, rarely). Apart from PoolGeom,
// which threads read without the lock.
//
// made: the blocks whose header, guard and back-link were made, always
// slots 0..made-1 (see "Never-used blocks" below). Default build: reallocs
// counts the moves of the pool's blocks (MEM Realloc is their sum). Under
// the pool's lock; a cache line per pool, so that two threads on two pools
// never write one line.
struct alignas(64) PoolHot {
    uint8_t *next;
    uint32_t windowPeak;
    uint32_t damaged;  // releases that found the guard damaged
    uint64_t allocs;
    uint64_t reallocs;
    uint32_t made;
};

// The live pool records (default build). memMgrDetails.pools (memPoolData)
// is a table of MemPool records, 52 bytes each on the 32-bit target and 88
// on a 64-bit host, so neighbouring pools share cache lines, and two
// threads on neighbouring pools would pass those lines between them at
// every allocation and release. The records the pools work on are
// therefore kept one per line pair, here (memPool(k)), under each pool's
// lock; the published table is a copy of them made whenever all locks are
// held (memSumCounts: every report, snapshot, check, cleanup ...) and when
// a pool is made. The classic build works on the published table itself.
struct alignas(128) LivePool {
    MemPool rec;
};
extern LivePool memLivePools[kMaxPools];
MEM_ALWAYS_INLINE MemPool &memPool(unsigned k) {
    return config_classic ? memMgrDetails.pools[k] : memLivePools[k].rec;
}
MEM_ALWAYS_INLINE unsigned memPoolIndex(const MemPool *p) {
    return config_classic ? static_cast<unsigned>(p - memMgrDetails.pools)
                          : static_cast<unsigned>(reinterpret_cast<const LivePool *>(p) - memLivePools);
}
// Default build: copies live record k to the published table; the manager
// lock held (or no other thread yet).
void memPublishPool(unsigned k);

// Never-used blocks (default build). Initialisation reserves a pool's area
// and header array as untouched zero-filled pages and writes no block: slot
// j's header, its guard at data + S and its back-link are made when j is
// first handed out. Blocks are made in index order and handed out before
// any released block, so the order is the first-in first-out order of a
// free list that starts with every block in index order: the free list
// proper holds the released blocks only, and F counts both kinds. A
// never-used block (j >= made) is free with its guard in place to every
// check; its header reads as zeros. The classic build makes every block at
// initialisation (made = N), as described.
MEM_ALWAYS_INLINE bool memPoolHasFresh(const MemPool &p, const PoolHot &h) { return h.made < p.blockCount; }
extern PoolHot memPoolHot[kMaxPools];

// Each allocation, pool or C heap, raises the allocation serial: the pool
// allocations (MEM Malloc, under the lock, widened by memHot.poolHigh) plus
// the C-heap ones (SYS Malloc, raised without the lock, widened by
// memHot.sysHigh), read by memSerialNow. Both
// parts only rise, so a block allocated after a mark has a larger serial.
// A pool allocation stores it in its slot's serial. A block
// that is busy with the same serial as before is the same allocation,
// whatever its address: so a reallocation that must drop the lock (a move
// to the C heap) knows on retaking it whether another thread released the
// block meanwhile, and KovaMemPrintLiveSince tells the blocks allocated
// after a mark from older ones at a reused address. A free or quarantined
// slot's serial is kFreeFilled when its release filled its bytes with
// kFreedByte (the write-after-release check); otherwise a release leaves
// it as it was (an allocation's serial is never below 2) or, in the
// quarantine and after it, 0. Written and read under the pool's lock.
//
// Default build: no counter is shared by all pools, so a serial is the
// mark epoch (memHot.markEpoch, raised by each KovaMemMark) in its high 24
// bits and one more than the pool's blocks taken (memPoolHot[k].allocs) in
// its low 40: it rises along each pool's busy list, and a block allocated
// after a mark, in whatever pool, has a later epoch, so a larger serial
// than the mark (memSerialNow, taken in the epoch the mark ends). The
// C-heap allocations do not count.
constexpr uint64_t kFreeFilled = 1;
constexpr unsigned kSerialLowBits = 40;
constexpr uint64_t kSerialLowMask = (uint64_t{1} << kSerialLowBits) - 1;

// The 64-bit C-heap counters: memMgrDetails keeps the low 32 bits (raised
// atomically outside the lock by memCountUp), these the wraps.
struct SysHigh {
    uint32_t malloc, realloc, free;
};
// Manager-wide figures, read by every allocation and rarely written: the
// wraps of the pool and C-heap allocation counts, the reallocations (classic
// build, under the manager lock), the peak window of KovaMemResetPeaks (its
// number and start, seconds since 1970) and the mark epoch (default build),
// written with all locks held.
struct alignas(64) HotCounts {
    uint32_t poolHigh;  // wraps of MEM Malloc
    uint64_t reallocs;
    uint64_t peakEpochStart;
    uint32_t peakEpoch;
    uint32_t markEpoch;
    SysHigh sysHigh;
};
extern HotCounts memHot;
// The current serial: no busy block's is larger. The caller holds all locks.
uint64_t memSerialNow();
// Default build: the serial of the allocation pool k makes now, its lock
// held and st.allocs already raised for it.
MEM_ALWAYS_INLINE uint64_t memPoolSerial(const struct PoolHot &st) {
    uint64_t low = (st.allocs + 1) & kSerialLowMask;
    if (__builtin_expect(low < 2, 0)) low = 2;  // after 2^40 blocks of one pool: never kFreeFilled
    return (static_cast<uint64_t>(memHot.markEpoch) << kSerialLowBits) | low;
}

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
    MemTraceAddr release[MEM_TRACE_ENTRIES];
};
// op: "KovaMemFree" or "KovaMemReAlloc", whose entries name the caller's
// chain "released by" or "reallocated by".
void memLogBadRelease(const char *op, const void *ptr, const BadReleaseNote &note, const MemTraceAddr *caller);

// Default build: the C-heap fallback and full-pool notes, written at the
// 1st, 2nd, 4th, 8th ... occurrence of the same size (or pool), each with
// its running count (diag/notes.cpp).
enum NoteKind { kNoteSysAlloc, kNoteMemFull, kNoteSysRealloc, kNotePoolFull };
// The C-heap reallocation note names its block: written as the others, by size.
void memNoteSysRealloc(uintptr_t ptr, uint32_t size);
void memNoteFallback(NoteKind kind, uint32_t key);
extern PoolGeom memPoolGeom[kMaxPools];

// memPoolHot[k].next: the data address of the block at the head of pool k's
// free list: a hint, read without the lock, that lets an allocation start
// fetching the line its guard word goes into before it waits for the lock.
// A stale hint costs a useless prefetch, never a wrong result. Default
// build: null exactly when the pool is empty, so that an allocation passes
// over an empty pool without its lock. Written and read only with relaxed
// atomics.

// The pools' ranges in rising order of their start, for the search by
// address (entries beyond the pools start at the highest address and end at
// 0, so they never match), and for each size class the first pool whose
// blocks hold it (poolCount when none does). Both are fixed by memMgrInit.
struct AddressIndex {
    uintptr_t start[16];
    uintptr_t end[16];
    uint8_t pool[16];
};
extern AddressIndex memByAddress;
extern uint8_t memFirstPoolOfClass[MEM_POOL_SLOTS];

// The size class of a request of 1..65536 bytes: the index of the smallest
// entry of memPoolSizes that holds it.
MEM_ALWAYS_INLINE int memSizeClass(uint32_t size) {
    if (size <= 8) return 0;
    if (size <= 8192) return 29 - __builtin_clz(size - 1);  // 9..16 -> 1, ... 4097..8192 -> 10
    return size <= 16400 ? 11 : size <= 40000 ? 12 : 13;
}

// Default build: the reservations that grown pools are carved from, one
// per original that has grown (core/grow.cpp). Pool i of a region starts
// at base + (i << shift); its range is its area, the rest of its chunk is
// no pool's. A region's fields are written before regionCount (and a pool
// before count) is raised with release order, and never change after, so
// that a lookup without the lock sees either the pool or no pool.
struct GrowRegion {
    uintptr_t base;
    uintptr_t bytes;    // the reservation
    uint32_t shift;     // log2 of the chunk each pool is given
    uint32_t count;     // pools carved so far
    uint32_t capacity;  // chunks in the reservation
    uint16_t blocks;    // blocks per pool
    uint16_t original;
    uint16_t pools[kMaxPools];  // the pool index of chunk i
};
struct Growth {
    uint64_t budget;       // bytes the grown pools may take; under the lock (set before
                           // initialisation without it)
    uint32_t on;           // budget != 0, a relaxed atomic read without the lock (no
                           // 64-bit atomics on 32-bit targets)
    uint64_t used;         // bytes they take (areas and header arrays); under the lock
    uint32_t regionCount;  // published with release order
    uint16_t regionOf[MEM_POOL_SLOTS];  // 1 + region of original o, 0: none yet
    uint16_t lastOf[MEM_POOL_SLOTS];    // the last pool of o's chain
    uint32_t refused;      // originals whose growth was refused (told once)
    GrowRegion regions[MEM_POOL_SLOTS];
};
extern Growth memGrowth;
int memGrownPoolOf(uintptr_t a);

// The pool whose range holds address a, or -1; no lock needed: the built
// pools' ranges are fixed at initialisation, grown ones are published
// before any of their blocks is handed out. A binary search of four fixed
// steps over the 16 sorted entries counts the built ranges that start at
// or below a; an address in none of them is looked for in the at most 14
// growth regions.
MEM_ALWAYS_INLINE int memPoolOfAddress(uintptr_t a) {
    const AddressIndex &x = memByAddress;
    unsigned i = 0;
    for (unsigned step = 8; step > 0; step >>= 1)
        if (x.start[i + step - 1] <= a) i += step;
    if (i == 0 || a > x.end[i - 1]) {
        if (config_classic || __atomic_load_n(&memGrowth.regionCount, __ATOMIC_ACQUIRE) == 0) return -1;
        return memGrownPoolOf(a);
    }
    return x.pool[i - 1];
}

// Guarded sampling (default build, core/guarded.cpp; KovaMemSetGuardedSampling).
// The guarded area is one reservation of 2 x slots pages: slot i is the
// page at base + 2i pages, followed by an inaccessible page. One pool-sized
// allocation in rate (per thread, at random distances) takes a block of its
// pool as usual and is then placed in a free slot instead of that block's
// slot: its data ends at the inaccessible page (rounded down to
// config_slot_align), or, for every other guarded block in a slot but the
// first, starts at its page's start, right behind the inaccessible page of
// the slot before (an underrun faults); the bytes from its end to its
// page's end hold the guard word's bytes over and over. A fault in slot
// i's inaccessible page is an overrun of slot i's block or an underrun of
// slot i + 1's block placed at its start: the nearer of the two. The pool block stands for it: it is busy,
// counted, traced and reported as any block, with hdr->data the guarded
// address; its own slot is left untouched. On release the slot's page is made
// inaccessible and the slot waits, first in first out, before reuse; the
// pool block goes back to its free list with hdr->data its own slot again.
// A stale access or an overrun faults, and the fault handler
// (diag/guardfault.cpp) names the block from the slot table.
//
// Slot states. Under the guarded lock, read without it (relaxed) only by the
// fault handler, which never takes a lock.
enum GuardedState : uint32_t {
    kSlotUnused = 0,  // never used (and its page inaccessible)
    kSlotBusy,        // holds a busy block
    kSlotWaiting,     // released: inaccessible, on the waiting list
    kSlotRetired,     // a fault was let pass ("recover"): accessible, never reused
};
struct GuardedSlot {
    uint32_t state;
    uint16_t pool, block;  // the pool block that stands for it (its last one once released)
    uintptr_t data;        // the block's data address, from its allocation on
    uint32_t size;         // the bytes asked for
    uint32_t next;         // 1 + the next slot on the waiting list, 0: none
    uint32_t busyRetired;  // retired while busy: its release leaves it retired
    uint32_t released;     // the release chain below is the block's
    MemTraceAddr alloc[MEM_TRACE_ENTRIES];
    MemTraceAddr release[MEM_TRACE_ENTRIES];
};
// Whether slot s holds a live block (busy, or retired while busy), or a
// released one (waiting, or retired after its release); a slot never used
// is neither. st: its state as the caller read it.
MEM_ALWAYS_INLINE bool memGuardedLive(const GuardedSlot &s, uint32_t st) {
    return st == kSlotBusy || (st == kSlotRetired && s.busyRetired != 0);
}
MEM_ALWAYS_INLINE bool memGuardedReleased(const GuardedSlot &s, uint32_t st) {
    return st == kSlotWaiting || (st == kSlotRetired && s.busyRetired == 0);
}
struct GuardedArea {
    uintptr_t base;      // the reservation, 0 until set up; never changes after
    uintptr_t bytes;     // 2 x slots x page
    uint32_t page;       // the page size
    uint32_t slots;
    uint32_t made;       // slots 0 .. made-1 have been used
    uint32_t waitHead, waitTail;  // 1 + slot, 0: empty
    uint32_t busy, waiting, retired;
    uint32_t faults;     // faults reported (relaxed atomic: the handler counts)
    uint32_t missed;     // sampled allocations no slot was free for
    uint64_t allocs;     // guarded allocations
    GuardedSlot *slot;   // the slot table, a mapping of its own
};
extern GuardedArea memGuarded;
// One allocation in memGuardedRate is guarded, 0: off. Relaxed atomic.
extern uint32_t memGuardedRate;
// Whether a lies in the guarded area. No lock: base and bytes are set once,
// before any guarded block is handed out.
MEM_ALWAYS_INLINE bool memInGuarded(uintptr_t a) {
    return !config_classic && a - memLoad(memGuarded.base) < memLoad(memGuarded.bytes);
}
// This thread's allocations left until its next guarded one, and the rate
// that distance was drawn for (a new rate draws anew).
extern __thread uint32_t memGuardLeft __attribute__((tls_model("initial-exec")));
extern __thread uint32_t memGuardRateSeen __attribute__((tls_model("initial-exec")));
bool memGuardSampleSlow(uint32_t n);
// Whether this allocation of size bytes (align 0: the blocks' own) is to be
// guarded; a per-thread countdown, so one load and a branch while off and a
// decrement while on.
MEM_ALWAYS_INLINE bool memGuardThis(uint32_t size, uint32_t align) {
    if (config_classic) return false;
    const uint32_t n = memLoad(memGuardedRate);
    if (__builtin_expect(n == 0, 1) || align != 0 || size > memGuarded.page) return false;
    const uint32_t left = memGuardLeft;
    if (__builtin_expect(left > 1 && memGuardRateSeen == n, 1)) {
        memGuardLeft = left - 1;
        return false;
    }
    return memGuardSampleSlow(n);
}
// Pool lock held. Places the block h (just taken, busy, size bytes) in a
// free slot with chain alloc and returns its guarded data address, or NULL
// when no slot is free (h keeps its own slot).
uint8_t *memGuardedTake(MemBlockHdr *h, uint32_t size, const MemTraceAddr *alloc);
// Pool lock held. Ends guarded block h's slot (release: the chain that
// released it, or NULL): checks the bytes of rounding, makes the page
// inaccessible and puts the slot on the waiting list; the caller gives h
// its own slot's data address again. Returns whether the bytes behind the
// caller's were intact.
bool memGuardedGive(MemBlockHdr *h, const MemTraceAddr *release);
// Pool lock held (or none, for a slot never used). What a release of area address a that is no busy
// guarded block met: a released one (kBadFree, with the chain of its
// release), else an address inside or beside one (kBadInside; pool and
// block -1 in a slot never used).
void memGuardedDescribe(uintptr_t a, BadReleaseNote *note);
// The busy block whose guarded data address is a (MEM_FIND_FOUND, *out
// filled) or MEM_FIND_NOT_BUSY; the caller holds pool held's lock (-1: all
// locks), and a block of another pool is not found.
int memGuardedFind(uintptr_t a, MemFindResult *out, int held);
// The pool of the block slot of area address a holds or last held, -1 for
// a slot never used: the pool whose lock guards the slot's block.
int memGuardedPoolOf(uintptr_t a);
// The slot index holding address a of the area.
MEM_ALWAYS_INLINE uint32_t memGuardedSlotOf(uintptr_t a) {
    return static_cast<uint32_t>((a - memGuarded.base) / (2u * memGuarded.page));
}
// Sets the area up when sampling was asked for before KovaMemInit.
void memGuardedInit();
// Whether header h stands for a guarded block: its data is not its slot's.
MEM_ALWAYS_INLINE bool memIsGuardedHdr(const MemBlockHdr *h, const uint8_t *slot) {
    return !config_classic && __builtin_expect(h->data != slot, 0) && memInGuarded(reinterpret_cast<uintptr_t>(h->data));
}
// One step of a per-thread countdown to the next sampled allocation at a
// rate of one in n (diag/tracerec.cpp): left and rate are the thread's own
// (0: not drawn yet); distances are uniform in 1 .. 2n - 1 from this
// thread's generator, drawn anew when n changes. True: this one is sampled.
bool memSampleStep(uint32_t &left, uint32_t &rate, uint32_t n);
// The fault handler (diag/guardfault.cpp): installed with the area.
bool memGuardedInstallHandler();
// 1 while a fault on a guarded block is let pass ("recover"). Relaxed atomic.
extern uint32_t memGuardedRecover;

// The largest block size any pool has: the last built pool's.
MEM_ALWAYS_INLINE uint32_t memLargestBlock() { return memPool(memPoolsBuilt - 1u).blockSize; }

// Default build, manager lock held: makes a further pool on original o's
// chain when the growth budget allows, and returns its index, or -1 (the
// refusal told once per original).
int memGrowLocked(uint16_t o);

// Slot index of offset off from a pool's area when off is an exact multiple
// of the stride, else -1. For offsets below 2^32 the quotient comes from a
// multiplication: recip = floor(2^32 / stride) + 1 gives floor(off /
// stride) or one more, and one comparison settles which. Larger offsets
// (the last slots of the largest pool on a 64-bit host) divide.
MEM_ALWAYS_INLINE int32_t memExactSlot(uintptr_t off, const PoolGeom &g) {
    uintptr_t q;
    if (off <= 0xFFFFFFFFu) {
        q = static_cast<uintptr_t>((static_cast<uint64_t>(off) * g.recip) >> 32);
        if (q * g.stride > off) --q;
    } else {
        q = off / g.stride;
    }
    return q * g.stride == off ? static_cast<int32_t>(q) : -1;
}

// The slot of address a in pool k, whose range holds it, or -1 when a is no
// slot's data address. Needs no lock: it reads only what initialisation
// fixed.
MEM_ALWAYS_INLINE int32_t memSlotOf(int k, uintptr_t a) {
    return memExactSlot(a - reinterpret_cast<uintptr_t>(memPool(static_cast<unsigned>(k)).area), memPoolGeom[k]);
}

// The lookup of slot j of pool k: MEM_FIND_FOUND with the result filled when
// the block is busy, else MEM_FIND_NOT_BUSY. The caller holds pool k's lock.
MEM_ALWAYS_INLINE int memFindSlot(int k, int32_t j, MemFindResult *out) {
    const PoolGeom &g = memPoolGeom[k];
    const uint16_t back = g.busyPrev[j];
    if (back == kNotBusy) return MEM_FIND_NOT_BUSY;
    // A block that stands for a guarded one is busy at the guarded address,
    // not at its own slot's.
    if (!config_classic && __builtin_expect(memInGuarded(reinterpret_cast<uintptr_t>(g.hdrs[j].data)), 0))
        return MEM_FIND_NOT_BUSY;
    out->pool = &memPool(static_cast<unsigned>(k));
    out->hdr = &g.hdrs[j];
    out->prev = back - 1 == j ? nullptr : &g.hdrs[back - 1];
    return MEM_FIND_FOUND;
}

// The back-link that names header index i (see busyPrev).
MEM_ALWAYS_INLINE uint16_t memBackLink(uint16_t i) { return static_cast<uint16_t>(i + 1); }

// The back-link of h as it joins the busy list behind tail (NULL: h heads
// the list); the caller links the list's own pointers.
MEM_ALWAYS_INLINE void memLinkBusy(const MemBlockHdr *h, const MemBlockHdr *tail) {
    memPoolGeom[h->poolIndex].busyPrev[h->blockIndex] = memBackLink(tail != nullptr ? tail->blockIndex : h->blockIndex);
}

MEM_ALWAYS_INLINE uint8_t *memSlotData(const MemPool &p, uint16_t j) {
    return p.area + static_cast<size_t>(j) * memSlotStride(p.blockSize);
}

MEM_ALWAYS_INLINE bool memGuardIntact(const uint8_t *at) { return memGuardWord(at) == MEM_GUARD_WORD; }
// Whether the front guard of the block of slot data address slot (block j
// of its pool) is intact; true where there is none.
MEM_ALWAYS_INLINE bool memFrontIntact(const uint8_t *slot, uint16_t j) {
    return !config_front_guard || j == 0 || memGuardIntact(slot - kGuardBytes);
}
// Writes the front guard slot j gives the block after it (default build).
MEM_ALWAYS_INLINE void memPutFrontGuard(uint8_t *slot, uint32_t stride) {
    if (config_front_guard) memPutGuard(slot + stride - kGuardBytes);
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

// The text of one printed trace (without its "STACK DETAILS: " prefix): the
// longest, with the widest header and 10 address lines, is far shorter.
using TraceText = TextBuffer<2000>;
void memFormatTrace(TraceText &t, const MemTraceAddr *trace, uintptr_t address, int32_t length, uint32_t tag);

// Entries written through one open of the log file, composed in a caller's
// buffer of at least MEM_LOG_ENTRY_SIZE bytes and appended when it fills.
// Each entry meets the same cap test as one of memLogPrint, on the size the
// file has once the entries before it are written; the entries of one
// buffer reach the file together. Used by the status report, whose hundreds
// of entries would otherwise each open and close the file.
struct LogBatch {
    char *buf;
    size_t cap;
    size_t len;
    int fd;
    uint32_t size;  // the file's size before buf's entries
    void begin(char *buffer, size_t bytes);
    void print(const char *format, ...) MEM_PRINTF(2, 3);
    void flush();
    void close();
};

}  // namespace kovamem

extern "C" {

// ---- state and locks ----
extern MemStackData memStackData;
extern MemStackRec memStackRecords[MEM_STACK_RECORDS];

MemMutex *memCreateMutex(void);
// -1 for a NULL holder or a failed call, else 0. Inline: every pool
// operation takes and releases the manager lock once.
inline int memLock(MemMutex *m) { return (m == nullptr || pthread_mutex_lock(m->mutex) != 0) ? -1 : 0; }
inline int memUnlock(MemMutex *m) { return (m == nullptr || pthread_mutex_unlock(m->mutex) != 0) ? -1 : 0; }
}  // extern "C"

namespace kovamem {

// The pool locks and the two leaf locks of the default build (see "Locks"
// at the top): static, so that they need no set-up and no page is touched
// until one is used. In the classic build a pool lock is the manager lock
// and the leaf locks are not taken.
//
// A pool lock is held for a few dozen instructions, so a thread that finds
// its mutex taken spins briefly before it sleeps where the C library offers
// that (glibc's adaptive mutex: two threads on one pool ran 1.3 to 1.7
// times faster than with a plain one in two of three interleaved rounds,
// the same in the third; bench/README.md). musl's plain mutex spins by
// itself.
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
#define KOVAMEM_POOL_MUTEX_INITIALIZER PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
#else
#define KOVAMEM_POOL_MUTEX_INITIALIZER PTHREAD_MUTEX_INITIALIZER
#endif

// A pool lock owned by the first thread that takes it (config_owned_locks,
// core/poollock.cpp). The owner takes and releases it with plain stores
// and no atomic read-modify-write: it marks itself inside, in a mark of
// its own, and is in when the lock is still its own after that mark. Any
// other thread takes the mutex, ends the ownership (owner = kLockShared),
// makes every running thread pass a full memory barrier
// (prim/membarrier.h) and waits until the owner's mark is clear; every
// thread then takes the mutex, the former owner too, until one thread has
// taken it kLockReownAfter times in a row and owns it again. The owner's
// mark and its reading of owner are ordered by that barrier, the other
// thread's store and its reading of the mark by the system call, so either
// the owner sees the lock shared or the other thread sees the owner
// inside. The marks are each thread's own (ThreadMarks) so that a former
// owner that read owner just before it changed, and marks itself inside
// late, only ever writes its own mark, never the next owner's. A host that
// uses a pool from one thread (most of them, and every pool of a
// single-threaded one) never pays for an atomic instruction on it; each
// change of thread costs one system call. Where the barrier is missing,
// every pool is shared at its first use.
constexpr uintptr_t kLockUnowned = 0;
constexpr uintptr_t kLockShared = 1;
struct alignas(64) PoolLock {
    pthread_mutex_t mutex = KOVAMEM_POOL_MUTEX_INITIALIZER;
    uintptr_t owner = kLockUnowned;  // kLockUnowned, kLockShared or the owner's ThreadMarks
    // Under the mutex: the thread that took it last and how many times in a
    // row it did, for the return to an owner.
    uintptr_t lastBy = 0;
    uint32_t streak = 0;
};
// A shared pool lock taken this many times in a row through its mutex by
// one thread becomes that thread's: a pool used by one thread at a time,
// for long stretches, pays one system call per change of thread instead of
// two atomic instructions per lock.
constexpr uint32_t kLockReownAfter = 4096;
extern PoolLock memPoolLocks[kMaxPools];
extern pthread_mutex_t memQuarantineLock;
extern pthread_mutex_t memGuardedLock;

// A thread's marks, one byte per pool, written by that thread alone: 1
// while it is in, or entering, the pool as its owner. A thread takes a slot
// at its first pool lock that is not the owner's way (the barrier being
// there) and gives it back when it ends (a thread-specific key's
// destructor), clear; the slots outlive their threads, so a thread that
// ends a dead owner's ownership reads a clear mark, and the next thread of
// a slot inherits what the last one owned. Beyond kMaxOwners threads at
// once, the others take every pool lock through its mutex. The table is
// not touched before a thread takes a slot, and then only that slot's 256
// bytes.
constexpr unsigned kMaxOwners = 256;
struct alignas(64) ThreadMarks {
    uint8_t inside[kMaxPools];
};
extern ThreadMarks memThreadMarks[kMaxOwners];
// The calling thread's marks, NULL until its first claim (or when none
// were left).
extern __thread ThreadMarks *memOwnMarks __attribute__((tls_model("initial-exec")));
// The calling thread as a pool lock's owner names it (0: it has no marks).
MEM_ALWAYS_INLINE uintptr_t memThreadId() { return reinterpret_cast<uintptr_t>(memOwnMarks); }

// The owner's way in: marked inside, then in when lock k is still its own.
// ThreadSanitizer does not know the barrier, so there the mark is a full
// fence of its own and the reading a sequentially consistent one (the
// order the barrier gives, made visible to it).
MEM_ALWAYS_INLINE bool memEnterAsOwner(PoolLock &l, ThreadMarks *t, unsigned k) {
    if (config_tsan) {
        (void)__atomic_exchange_n(&t->inside[k], uint8_t{1}, __ATOMIC_SEQ_CST);
    } else {
        memStore(t->inside[k], uint8_t{1});
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
    }
    if (__builtin_expect(__atomic_load_n(&l.owner, config_tsan ? __ATOMIC_SEQ_CST : __ATOMIC_RELAXED) ==
                             reinterpret_cast<uintptr_t>(t),
                         1))
        return true;
    __atomic_store_n(&t->inside[k], uint8_t{0}, __ATOMIC_RELEASE);
    return false;
}
// The ways in that are not the owner's: the first claim, and the mutex.
void memTakePoolLockSlow(unsigned k);
// With lock k's mutex held by thread me: an owner left from before gives
// way; a long enough run of me's own makes me the owner.
void memPoolMutexSlow(unsigned k, uintptr_t me);
MEM_ALWAYS_INLINE void memAfterPoolMutex(PoolLock &l, unsigned k, uintptr_t me) {
    if (__builtin_expect(memLoad(l.owner) == kLockShared && l.lastBy == me && ++l.streak < kLockReownAfter, 1)) return;
    memPoolMutexSlow(k, me);
}

MEM_ALWAYS_INLINE void memTakePoolLock(unsigned k) {
    PoolLock &l = memPoolLocks[k];
    if (config_owned_locks) {
        ThreadMarks *const t = memOwnMarks;
        const uintptr_t owner = memLoad(l.owner);
        // The mark set already: a signal handler that interrupted the owner
        // in the pool, which waits as it would for a mutex the interrupted
        // code holds.
        if (__builtin_expect(owner == reinterpret_cast<uintptr_t>(t) && t != nullptr && memLoad(t->inside[k]) == 0, 1)) {
            if (__builtin_expect(memEnterAsOwner(l, t, k), 1)) return;
        } else if (owner == kLockShared && t != nullptr) {
            (void)pthread_mutex_lock(&l.mutex);
            memAfterPoolMutex(l, k, reinterpret_cast<uintptr_t>(t));
            return;
        }
        memTakePoolLockSlow(k);
        return;
    }
    (void)pthread_mutex_lock(&l.mutex);
}
MEM_ALWAYS_INLINE void memGivePoolLock(unsigned k) {
    if (config_owned_locks) {
        // The holder's own mark is set exactly when it came in as the owner.
        ThreadMarks *const t = memOwnMarks;
        if (t != nullptr && memLoad(t->inside[k]) != 0) {
            __atomic_store_n(&t->inside[k], uint8_t{0}, __ATOMIC_RELEASE);
            return;
        }
    }
    (void)pthread_mutex_unlock(&memPoolLocks[k].mutex);
}
// Tests: whether pool k's lock is held by anyone.
bool memPoolLockHeld(unsigned k);

MEM_ALWAYS_INLINE void memLockPool(unsigned k) {
    if (config_classic)
        (void)memLock(memMgrDetails.lock);
    else
        memTakePoolLock(k);
}
MEM_ALWAYS_INLINE void memUnlockPool(unsigned k) {
    if (config_classic)
        (void)memUnlock(memMgrDetails.lock);
    else
        memGivePoolLock(k);
}
MEM_ALWAYS_INLINE void memLockLeaf(pthread_mutex_t &l) {
    if (!config_classic) (void)pthread_mutex_lock(&l);
}
MEM_ALWAYS_INLINE void memUnlockLeaf(pthread_mutex_t &l) {
    if (!config_classic) (void)pthread_mutex_unlock(&l);
}
// The trace-table lock as a leaf (default build only).
MEM_ALWAYS_INLINE void memLockTrace() {
    if (!config_classic) (void)memLock(memStackData.lock);
}
MEM_ALWAYS_INLINE void memUnlockTrace() {
    if (!config_classic) (void)memUnlock(memStackData.lock);
}
// Every lock an operation on all pools needs: the manager lock, then each
// pool's in index order (default build); the manager lock (classic).
// throughMutexes (fork's prepare handler): every pool lock through its
// mutex, so that the child finds no mutex held by a thread it does not
// have (memUnlockAll gives them back).
void memLockAll(bool throughMutexes = false);
void memUnlockAll();
// Default build, all locks held: the pool counters of memMgrDetails from
// the per-pool figures, and the published pool table from the live records.
void memSumCounts();

// The lookup of addr with the lock that guards it held: its pool's (for an
// address of the guarded area, the pool of the block its slot holds); the
// manager lock in the classic build. *held is what memUnlockFound releases
// (-1: nothing, the address is no pool's).
int memLockAndFind(const void *addr, MemFindResult *out, int *held);
MEM_ALWAYS_INLINE void memUnlockFound(int held) {
    if (held >= 0) memUnlockPool(static_cast<unsigned>(held));
}
// memFindBlock for a caller that holds pool held's lock (-1: all locks, or
// no other thread): a guarded block of another pool is not found.
int memFindBlockHeld(const void *addr, MemFindResult *out, int held);

// ---- fault records (diag/record.cpp, diag/sinks.cpp) ----
// What a record names: one kind per fault entry, then the two kinds of line
// that are no fault.
enum RecordKind : uint8_t {
    kRecordOverrun,
    kRecordUnderrun,
    kRecordBothGuards,
    kRecordDoubleFree,
    kRecordFreeQuarantined,
    kRecordFreeInterior,
    kRecordReallocFree,
    kRecordReallocQuarantined,
    kRecordReallocInterior,
    kRecordWriteAfterFree,
    kRecordGuardedOverrun,
    kRecordGuardedUnderrun,
    kRecordGuardedUseAfterFree,
    kRecordRepeat,
    kRecordCensus,
    kRecordKinds
};
struct FaultRecord {
    RecordKind kind;
    bool atReport;  // found by a report, not at the fault's own operation
    uintptr_t ptr;  // the block, 0: none
    uint32_t size;
    const MemTraceAddr *alloc;  // the allocating chain, NULL: none
    const MemTraceAddr *fault;  // the chain of the operation that met it, NULL: none
};
constexpr size_t kRecordBytes = 4096;
// Text appended to a caller's buffer with no C-library formatting, so that
// a signal handler may build records: always NUL-terminated, cut at cap.
struct SafeText {
    char *b;
    size_t cap, len;
    void c(char ch) {
        if (len + 1 < cap) b[len++] = ch;
        b[len] = '\0';
    }
    void s(const char *t) {
        for (; *t != '\0'; ++t) c(*t);
    }
    void n(const char *t, size_t k) {
        for (size_t i = 0; i < k; ++i) c(t[i]);
    }
    void u(uint64_t v, int width = 1) {  // decimal, zero-padded to width
        char d[24];
        int k = 0;
        do d[k++] = static_cast<char>('0' + v % 10); while ((v /= 10) != 0 || k < width);
        while (k > 0) c(d[--k]);
    }
    void x(uint64_t v, int width = 1) {  // lower-case hex, zero-padded to width
        char d[16];
        int k = 0;
        do d[k++] = "0123456789abcdef"[v & 15u]; while ((v >>= 4) != 0 || k < width);
        while (k > 0) c(d[--k]);
    }
};
// A record as the sinks send it.
struct RecordOut {
    char line[kRecordBytes];  // "kovamem/1 kind=...", whole
    size_t len;
    RecordKind kind;
    const char *kindName;
    char sig[17];
    const char *fw, *device;
    char buildIds[1024];  // the modules' build-ids, space-separated
    uint32_t seq;         // per process, from 1
    pid_t pid;
    uint64_t count;  // a repeat's count
};
// 1 while report_to names a sink other than the file; records are made
// only then.
extern uint8_t memRecordsOn;
// 1 while report_to leaves the file out: the log is not written.
extern uint8_t memLogOff;
// One record of a fault entry, after the entry (inHandler: from a signal
// handler, which drops the record when another holds the record lock).
void memRecordFault(const FaultRecord &f, bool inHandler);
MEM_ALWAYS_INLINE void memRecord(const FaultRecord &f, bool inHandler = false) {
    if (__builtin_expect(memLoad(memRecordsOn) != 0, 0)) memRecordFault(f, inHandler);
}
// A record's signature: FNV-1a 64 over the kind's name and each chain's
// frames as text (module build-id or name, '+', hex offset), each text
// followed by a 0xFF byte and each chain by an empty text.
uint64_t memRecordSignature(const char *kind, const char *const *alloc, int na, const char *const *fault, int nf);
// Learns the program's name and the module table before a handler needs them.
void memRecordsPrepare();
// One KOVAMEM_OPTIONS item of the records; false: refused.
bool memRecordOption(const char *key, size_t keyLen, const char *v, size_t vLen);
bool memIsRecordOption(const char *key, size_t keyLen);
// memValidate: NULL when the records' tables hold together, else why
// (written to why), the sinks' queues and descriptors included.
const char *memRecordsInvalid(char *why, size_t cap);
const char *memSinksInvalid(char *why, size_t cap);
// The biggest groups of live traced blocks by allocating chain (all live
// blocks, under all locks; diag/livesince.cpp): up to n, biggest first.
struct LiveSite {
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    uint64_t bytes;
    uint32_t count;
};
uint32_t memTopLiveSites(LiveSite *out, uint32_t n);
// Takes (hold) or gives back the records' locks (the module stage's, then
// the record lock) around a fork, so that a child never inherits them held.
void memRecordsHold(bool hold);
// The pending counts and the census, once, at the process's end.
void memReportsAtExit();
// The repeat counts whose interval has passed (looked at once a second).
void memReportsDue();
bool memSinksChoose(const char *list, size_t n);
bool memSinkOption(const char *key, size_t keyLen, const char *v, size_t vLen);
void memSinksSend(const RecordOut &r);
void memSinksForked();
void memSinksFinish();
uint64_t memSinksDropped();
// A module's GNU build-id as hex, or "-" (diag/modules.cpp).
void memModuleBuildId(const struct dl_phdr_info *info, char *out, size_t cap);

}  // namespace kovamem

extern "C" {

// ---- initialisation ----
void memInitStackData(void);

// ---- lookup ----

int memFindBlock(const void *addr, MemFindResult *out);
// The lookup as a walk of the pool's busy list from its oldest block: the
// plain form that memFindBlock must always agree with, prev included. Kept
// for the tests, which compare the two on random operation sequences.
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
