// Pool layout and geometry: where a pool's slots, headers and guards lie,
// the per-pool records kept beside the exported table, the allocation
// serials, the address index and the grown pools' regions.
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
// each block's header, 64-bit allocation serial (for a free slot: whether
// its bytes were filled at its release) and block state (default build) or
// 16-bit back-link of the busy list (classic; see PoolGeom):
//
//     64-bit host, default build (config_meta_lines): a line per block
//     | header (40 bytes) | serial | state | unused |   block j's line
//     other builds: three arrays, each from a line (default build)
//     | N headers | N serials | N states, sixteen to a line (memStateAt) |
//
// A thread writes its block's metadata at each of its allocations and
// releases; with a line per block, blocks that neighbouring threads hold
// never share one (a pool's blocks mix between threads as they are
// released and handed out again, and two threads on the packed arrays
// wrote each other's lines on most operations: two threads on such a pool
// ran at half the pace of one).
//
// Grown pools (default build, core/grow.cpp) have the same layout; their
// areas are carved from one reservation per built pool they grow, their
// header allocations are mappings of their own.
//
// A pool's range, the addresses that count as its own: classic, from the
// first to the last slot's data address (firstBlock..lastBlock); default,
// the whole area, so that no address inside a slot (the last one's inside,
// the padding) is ever taken for a C-heap block.
#ifndef KOVAMEM_CORE_LAYOUT_H
#define KOVAMEM_CORE_LAYOUT_H

#include "../base.h"

// What the lookup of an address finds: the block's pool, its header and
// (classic build) the header before it on the busy list.
typedef struct MemFindResult {
    MemPool *pool;
    MemBlockHdr *hdr;
    MemBlockHdr *prev;  // header before hdr on the busy list, NULL at head (and always, default build)
} MemFindResult;

namespace kovamem {

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

// Facts about pool k fixed by memMgrInit, kept beside the exported table so
// that MemPool keeps its documented layout.
//
// Behind the pool's header array and its serials, one word per block says
// what the block is, so that the lookup of an address is constant time:
// pool by range, slot by arithmetic, state from this word.
//
// Classic build: busyPrev, the back-link of the described busy list, one
// 16-bit slot index per block: for a busy block j it is one more than the
// index of the header before it on the busy list, or j + 1 when j heads the
// list; for a free or quarantined block it is kNotBusy, 0, so that a
// zero-filled array, never touched, says "not busy". A pool has at most
// 65535 blocks, so j + 1 fits. The release unlinks a block from the list
// through it.
//
// Default build: state, one byte per block, and no busy list: a busy
// block's header is on no list (its next is NULL, the pool's busyHead and
// busyTail stay NULL), and what walks the busy blocks (live-since, the
// guard scan, memValidate) walks the header array by state, in address
// order. The free list and the quarantine list stay lists: they keep the
// order of reuse and the cleanup's order. A zero-filled array says "never
// used"; a block is made live at its first hand-out.
constexpr uint16_t kNotBusy = 0;
enum BlockState : uint8_t {
    kBlockUnused = 0,  // never handed out (slot index >= the pool's made)
    kBlockLive,        // handed out, not released
    kBlockFree,        // released, on the free list
    kBlockDamaged,     // on the quarantine list
    kBlockResizing,    // live, changing size in place: only while its pool's lock is held
};

// Pools: the table holds the pools KovaMemInit built (memPoolsBuilt of
// them, block sizes rising) and then, default build, the pools grown since
// (see core/grow.cpp), up to kMaxPools in all. A grown pool has the block
// size of the built pool it grows ("its original"); each original and its
// grown pools form a chain through nextSame in the order they were made.
constexpr uint16_t kMaxPools = 256;
constexpr uint16_t kNoPool = 0xFFFF;
extern uint16_t memPoolsBuilt;

// Where a block's metadata lies (see "One allocation per pool" above):
// with config_meta_lines each block has a line of kMetaLine bytes, its
// header first, its serial at kMetaSerialAt, its state at kMetaStateAt;
// otherwise the headers, the serials and the states are three arrays.
constexpr size_t kMetaLine = 64;
constexpr size_t kMetaSerialAt = (sizeof(MemBlockHdr) + 7) & ~size_t{7};
constexpr size_t kMetaStateAt = kMetaSerialAt + sizeof(uint64_t);
static_assert(!config_meta_lines || kMetaStateAt < kMetaLine, "a block's metadata fits its line");
constexpr size_t kHdrStride = config_meta_lines ? kMetaLine : sizeof(MemBlockHdr);

// A pool's headers: hdrs[j] is slot j's, kHdrStride bytes apart. It does
// not convert to a pointer, so that no code takes the difference of two
// header pointers for an index (indexOf gives it).
class HdrArray {
  public:
    HdrArray() = default;
    HdrArray(MemBlockHdr *first) : first_(first) {}  // NOLINT: a pointer converts, as the array it replaces did
    MemBlockHdr &operator[](size_t j) const {
        return *reinterpret_cast<MemBlockHdr *>(reinterpret_cast<uint8_t *>(first_) + j * kHdrStride);
    }
    MemBlockHdr *operator+(size_t j) const { return &(*this)[j]; }
    // The first header: the start of the pool's metadata allocation.
    MemBlockHdr *first() const { return first_; }
    // The slot index of h, one of these headers, from its place alone
    // (its own line is not read).
    size_t indexOf(const MemBlockHdr *h) const {
        return static_cast<size_t>(reinterpret_cast<const uint8_t *>(h) - reinterpret_cast<const uint8_t *>(first_)) /
               kHdrStride;
    }

  private:
    // No initialiser: the tables holding it are zero-filled statically,
    // never by a constructor that could run after the first allocation.
    MemBlockHdr *first_;
};

// A pool's allocation serials: serial[j] is slot j's.
class SerialArray {
  public:
    SerialArray() = default;
    SerialArray(uint64_t *first) : first_(first) {}  // NOLINT: as HdrArray
    uint64_t &operator[](size_t j) const { return first_[j * kStride]; }

  private:
    static constexpr size_t kStride = config_meta_lines ? kMetaLine / sizeof(uint64_t) : 1;
    uint64_t *first_;  // no initialiser, as HdrArray's
};

struct PoolGeom {
    uintptr_t start;     // first address of the pool's range
    uintptr_t end;       // last address of the range, inclusive
    uint32_t stride;     // memSlotStride(blockSize)
    uint64_t recip;      // floor(2^32 / stride) + 1: slot index by multiplication
    HdrArray hdrs;       // the headers: hdrs[j] describes slot j
    uint16_t *busyPrev;  // classic: back-links of the busy list, see above
    uint8_t *state;      // default: BlockState of each block, see above
    SerialArray serial;  // the allocation serial of slot j's latest
                         // allocation, see below
    uint16_t original;   // the built pool whose chain this pool is on
    uint16_t nextSame;   // the next pool of that chain, or kNoPool; set
                         // under the manager lock with release order, read
                         // without it with acquire order
};
static_assert(__is_trivially_constructible(PoolGeom), "the pool tables need no constructor (the preload allocates first)");

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
// made: the blocks whose header, guard and state were made, always
// slots 0..made-1 (see "Never-used blocks" below). Default build: reallocs
// counts the moves of the pool's blocks (MEM Realloc is their sum). Under
// the pool's lock; a cache line per pool, so that two threads on two pools
// never write one line.
//
// serials: the serials the pool has issued (see below): one per block
// taken, and default build, a thread's magazine reserves them a batch at a
// time (core/magazine.h), under the lock; shortfalls: refills of a
// magazine that had to take blocks released more recently than the reuse
// distance asks.
struct alignas(64) PoolHot {
    uint8_t *next;
    uint32_t windowPeak;
    uint32_t damaged;  // releases that found the guard damaged
    uint64_t allocs;
    uint64_t reallocs;
    uint64_t serials;
    uint32_t made;
    uint32_t shortfalls;
    // Default build: releases counted before the allocations they end were
    // (a thread's magazine may release blocks whose allocation another
    // thread has not exchanged yet, core/magazine.h): the pool's busy count
    // stays at 0 meanwhile and this holds the rest, 0 or below; nonzero only
    // while the busy count is 0. Written under the lock with relaxed
    // atomics, as the busy count is, for the magazines' view.
    int32_t busyOwed;
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
// j's header, its guard at data + S and its state are made when j is
// first handed out. Blocks are made in index order and handed out before
// any released block, so the order is the first-in first-out order of a
// free list that starts with every block in index order: the free list
// proper holds the released blocks only, and F counts both kinds. A
// never-used block (j >= made) is free with its guard in place to every
// check; its header reads as zeros. The classic build makes every block at
// initialisation (made = N), as described.
MEM_ALWAYS_INLINE bool memPoolHasFresh(const MemPool &p, const PoolHot &h) { return h.made < p.blockCount; }
extern PoolHot memPoolHot[kMaxPools];
// The busy count of pool p (hot figures st) one up or down, its lock held:
// a release counted before its allocation is owed (see PoolHot::busyOwed).
MEM_ALWAYS_INLINE void memBusyUp(MemPool &p, PoolHot &st) {
    if (__builtin_expect(st.busyOwed < 0, 0))
        memStore(st.busyOwed, st.busyOwed + 1);
    else
        memStore(p.busyCount, static_cast<uint16_t>(p.busyCount + 1));
}
MEM_ALWAYS_INLINE void memBusyDown(MemPool &p, PoolHot &st) {
    if (__builtin_expect(p.busyCount == 0, 0))
        memStore(st.busyOwed, st.busyOwed - 1);
    else
        memStore(p.busyCount, static_cast<uint16_t>(p.busyCount - 1));
}

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
// bits and one more than the pool's serials issued (memPoolHot[k].serials)
// in its low 40: it rises with each block the pool hands out, and a block allocated
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
// Default build: the serial numbered n of a pool (n >= 1).
MEM_ALWAYS_INLINE uint64_t memPoolSerialAt(uint64_t n) {
    uint64_t low = (n + 1) & kSerialLowMask;
    if (__builtin_expect(low < 2, 0)) low = 2;  // after 2^40 serials of one pool: never kFreeFilled
    return (static_cast<uint64_t>(memLoad(memHot.markEpoch)) << kSerialLowBits) | low;
}
// Default build: the serial of the allocation pool k makes now, its lock
// held and st.serials already raised for it.
MEM_ALWAYS_INLINE uint64_t memPoolSerial(const struct PoolHot &st) { return memPoolSerialAt(st.serials); }

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
//
// memBuiltPoolOfAddress is the search alone: -1 for an address of a grown
// pool too.
MEM_ALWAYS_INLINE int memBuiltPoolOfAddress(uintptr_t a) {
    const AddressIndex &x = memByAddress;
    unsigned i = 0;
    for (unsigned step = 8; step > 0; step >>= 1)
        if (x.start[i + step - 1] <= a) i += step;
    return i == 0 || a > x.end[i - 1] ? -1 : x.pool[i - 1];
}
MEM_ALWAYS_INLINE int memPoolOfAddress(uintptr_t a) {
    const int k = memBuiltPoolOfAddress(a);
    if (k >= 0 || config_classic || __atomic_load_n(&memGrowth.regionCount, __ATOMIC_ACQUIRE) == 0) return k;
    return memGrownPoolOf(a);
}

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

// The back-link that names header index i (see busyPrev).
MEM_ALWAYS_INLINE uint16_t memBackLink(uint16_t i) { return static_cast<uint16_t>(i + 1); }

// Classic build: the back-link of h as it joins the busy list behind tail
// (NULL: h heads the list); the caller links the list's own pointers.
MEM_ALWAYS_INLINE void memLinkBusy(const MemBlockHdr *h, const MemBlockHdr *tail) {
    memPoolGeom[h->poolIndex].busyPrev[h->blockIndex] = memBackLink(tail != nullptr ? tail->blockIndex : h->blockIndex);
}

// Default build: where block j's state lies from its pool's g.state. With
// config_meta_lines, in the block's own line. Otherwise states are kept
// sixteen to a 64-byte line of the state array, the rest of the line
// unused, and the arrays before them start on a line: a thread's magazine
// holds runs of neighbouring blocks (a refill of never-used blocks takes
// an aligned run, a sealed magazine goes back in release order), and two
// threads that work on neighbouring runs would otherwise write one line
// between them at every allocation and release. Classic: the back-links,
// packed.
constexpr uint32_t kStatesPerLine = 16;
constexpr size_t memStateAt(uint32_t j) {
    return config_classic      ? j
           : config_meta_lines ? static_cast<size_t>(j) * kMetaLine
                               : static_cast<size_t>(j / kStatesPerLine) * kMetaLine + j % kStatesPerLine;
}
constexpr size_t memMetaLineUp(size_t n) { return config_classic ? n : (n + kMetaLine - 1) & ~(kMetaLine - 1); }
// Bytes of a pool's metadata allocation for count blocks: a line per
// block (config_meta_lines); else the headers, then the serials, then the
// states (default) or back-links (classic).
constexpr size_t memMetaBytes(uint32_t count) {
    return config_meta_lines ? static_cast<size_t>(count) * kMetaLine
                             : memMetaLineUp(count * sizeof(MemBlockHdr)) + memMetaLineUp(count * sizeof(uint64_t)) +
                                   (config_classic ? count * sizeof(uint16_t)
                                                   : static_cast<size_t>((count + kStatesPerLine - 1) / kStatesPerLine) *
                                                         kMetaLine);
}
// Points g's arrays into meta, an allocation of memMetaBytes(count) bytes
// aligned to a line (a mapping, default build).
inline void memCarveMeta(PoolGeom &g, void *meta, uint32_t count) {
    uint8_t *at = static_cast<uint8_t *>(meta);
    g.hdrs = reinterpret_cast<MemBlockHdr *>(at);
    if (config_meta_lines) {
        g.serial = reinterpret_cast<uint64_t *>(at + kMetaSerialAt);
        g.state = at + kMetaStateAt;
        return;
    }
    at += memMetaLineUp(count * sizeof(MemBlockHdr));
    g.serial = reinterpret_cast<uint64_t *>(at);
    at += memMetaLineUp(count * sizeof(uint64_t));
    if (config_classic)
        g.busyPrev = reinterpret_cast<uint16_t *>(at);
    else
        g.state = at;
}

// Default build: the state of block j of pool k. States are read and
// written with relaxed atomics: a release from a thread's magazine (core/
// magazine.h) ends a live block with a compare-and-swap, without the pool's
// lock, so that of two releases of one block exactly one wins.
MEM_ALWAYS_INLINE uint8_t memGetState(unsigned k, uint32_t j) { return memLoad(memPoolGeom[k].state[memStateAt(j)]); }
// Whether block j of pool k is busy (its pool's lock held, or all locks).
MEM_ALWAYS_INLINE bool memBlockBusy(unsigned k, uint32_t j) {
    return config_classic ? memPoolGeom[k].busyPrev[j] != kNotBusy : memGetState(k, j) == kBlockLive;
}
// Default build: block j of pool k is now in state st (its pool's lock held,
// or the block in the calling thread's magazine).
MEM_ALWAYS_INLINE void memSetState(unsigned k, uint32_t j, BlockState st) {
    if (!config_classic) memStore(memPoolGeom[k].state[memStateAt(j)], static_cast<uint8_t>(st));
}
// Default build: block j of pool k from state from to state to, when it is
// in state from; false when another thread changed it first.
MEM_ALWAYS_INLINE bool memSwapState(unsigned k, uint32_t j, BlockState from, BlockState to) {
    uint8_t expect = from;
    return __atomic_compare_exchange_n(&memPoolGeom[k].state[memStateAt(j)], &expect, static_cast<uint8_t>(to), false,
                                       __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

// Calls f(h) on every busy header of pool k until f returns false: the
// busy list from its oldest block (classic build), the live blocks by
// address (default build). Pool k's lock held, or all locks; a list
// damaged into a loop ends after the pool's block count.
template <class F>
MEM_ALWAYS_INLINE void memForEachBusy(unsigned k, F f) {
    const MemPool &p = memPool(k);
    if (config_classic) {
        int limit = p.blockCount;
        for (MemBlockHdr *h = p.busyHead; h != nullptr && limit-- > 0; h = h->next)
            if (!f(h)) return;
        return;
    }
    const PoolGeom &g = memPoolGeom[k];
    const uint32_t made = memPoolHot[k].made;
    for (uint32_t j = 0; j < made; ++j)
        if (memLoad(g.state[memStateAt(j)]) == kBlockLive && !f(&g.hdrs[j])) return;
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
// The guard of a block of the slot at data, handed out for a request whose
// guard lies at data + off. A guard in the slot's last line shares that
// line with the front guard of the block after it, which that block's
// release reads, maybe on another thread: there it is written only when it
// is not there already (a block handed out again for the whole block, or
// for the size it had, keeps it), so that the line is read by both
// threads and moves between them only when a host writes it. Elsewhere it
// is written: the block's own lines are cold when it was released long
// ago, and a store waits for no line where a load would.
MEM_ALWAYS_INLINE void memPutBlockGuard(uint8_t *data, uint32_t off, uint32_t stride) {
    uint8_t *const at = data + off;
    if (!config_classic && (reinterpret_cast<uintptr_t>(at) | (kMetaLine - 1)) ==
                               (reinterpret_cast<uintptr_t>(data + stride - kGuardBytes) | (kMetaLine - 1)) &&
        memGuardIntact(at))
        return;
    memPutGuard(at);
}
// Writes the front guard slot j gives the block after it (default build).
MEM_ALWAYS_INLINE void memPutFrontGuard(uint8_t *slot, uint32_t stride) {
    if (config_front_guard) memPutGuard(slot + stride - kGuardBytes);
}

// Default build: makes never-used slot j of pool k, the next one in index
// order: its header as a free block's, its guard at data + S and, in its
// last word, the front guard of the block after it (see "Never-used
// blocks" above). Its serial reads 0; the caller makes it live, or free.
MEM_ALWAYS_INLINE MemBlockHdr *memMakeBlock(MemPool *p, uint16_t k, uint16_t j) {
    MemBlockHdr *h = &memPoolGeom[k].hdrs[j];
    h->blockIndex = j;
    h->poolIndex = k;
    h->data = memSlotData(*p, j);
    memPutGuard(h->data + p->blockSize);
    memPutFrontGuard(h->data, memSlotStride(p->blockSize));
    return h;
}

}  // namespace kovamem

#endif  // KOVAMEM_CORE_LAYOUT_H
