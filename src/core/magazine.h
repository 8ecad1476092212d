// Per-thread magazines (default build): the blocks a thread hands out and
// takes back without its pool's lock.
//
// Layout. Each thread that holds a slot of memThreadMarks (core/locks.h)
// has the ThreadMags of the same index: for every pool k whose
// memMagSize[k] (M) is not 0, built or grown, an allocation magazine and a
// release magazine of at most M block indices, and the figures the thread
// changed since it last wrote them into the pool's record. Those of pools
// 0 to 15 sit in the slot; those of pools grown beyond are in a mapping of
// the slot's own, made when a thread of the slot first uses one of them,
// and kept with the slot (its pages are touched pool by pool). A thread
// writes only its own ThreadMags, and the blocks in its magazines.
//
// A size class's pools form a chain (the built pool, then the pools grown
// for it); a thread allocates through the allocation magazine of one pool
// of its chain at a time (ThreadMags::from). Each refill walks the chain
// from the built pool, as the locked way does, and refills from the first
// pool that gives blocks, passing over a pool that has none by its
// free-head hint and none held by the thread, without its lock; so the
// built pool serves again as soon as it has blocks, and grown pools' pages
// are touched only while the pools before them are empty. Past the
// chain's end the allocation takes the locked way (which grows the chain,
// or falls through).
//
// A release whose block is live ends it with a compare-and-swap of its
// state (live -> free), so that of two releases of one block exactly one
// wins and the other is told as a release of a free block; it checks both
// guards, fills the block when the write-after-release check is on, and
// puts its index in the release magazine. A full release magazine is
// sealed: the thread's count of blocks it sealed in the pool goes up by
// its size, and the thread holds it, stamped with that count, when the pool
// lets a thread hold sealed magazines (memHeldCap), it holds fewer, and it
// refilled its allocation magazine since its last seal (a thread that only
// releases, a consumer, would hold blocks it never hands out);
// else, under the pool's lock, its oldest held ones and then this one are
// appended to the pool's free list in the order they were released (the
// indices of the last few so appended are kept as a hint, so that a refill
// from the list's head fetches their headers at once instead of following
// their links one miss at a time: gRuns, core/magazine.cpp). The
// depot is the free list and the magazines threads hold: first in, first
// out per thread. An allocation takes the next index of its allocation
// magazine (checking the fill of a block released filled, as an
// allocation from the free list does) and makes the block live; an empty
// magazine is refilled with the oldest magazine the thread holds once the
// thread sealed at least memReuse(k) blocks after it (no lock; the pool's
// releases after it are those and more, and counting only the thread's
// own keeps every thread off a shared line); else under the
// pool's lock from the head of the free list, but only while at least
// memReuse(k) released blocks stay on the list behind the ones taken;
// else from the never-used blocks; else from the head anyway, counted as a
// shortfall (PoolHot::shortfalls). So a released block is handed out again
// only after min(K, the blocks free in its pool) further releases of the
// pool were sealed after it, K = memReuse(k). An allocation that finds its
// pools empty to the locked way brings every magazine's blocks back first
// (memMagsReclaim), so no free block stays out of reach.
//
// Figures. The pool's record (busy count, requested bytes, peak) and its
// blocks taken and serials are written under the pool's lock: by each
// exchange of a thread, which adds what the thread changed since its last
// one (PoolMags::busy, req, taken), and by every operation that takes all
// locks, which first stops every magazine (memMagsStop) and empties them
// into the pools. A thread exchanges at every refill or seal that takes the
// lock, and at one that does not when its busy count drifted more than M
// from the record or its reserved serials ran out (they are reserved 128M
// at a time, one per block it will hand out, so that each allocation gets
// one no other has had; the lock, its line and the record's lines move
// between the threads of a pool about once per 2048 allocations of each,
// not once per magazine). Between exchanges, the record is behind by what
// threads did in their magazines; a release counted before the allocation
// it ends leaves the busy count at 0 and is owed (PoolHot::busyOwed). An
// allocation from a magazine sees the pool's busy count as of every
// thread's last exchange, plus its own thread's changes since, and raises
// the thread's peak with it; the pool's peak (P) takes it at the next
// exchange. Exact for a pool one thread uses; with several, P may be off
// either way by what the other threads did since their last exchange, at
// most 2M blocks per other thread.
//
// Stops. A thread works on its magazines only with its mark (inside) set
// and the stop flag clear: it sets the mark, then reads the flag, and
// leaves at once (the strict, locked way) when it is set. memMagsStop sets
// the flag, then makes every thread pass a memory barrier (prim/
// membarrier.h), then waits for every mark to clear, exactly as the owned
// pool locks are ended: either the thread sees the flag or the stopper sees
// its mark. Then it takes every pool lock and memMagsEmptyAll puts every
// magazine's blocks back: those still to be handed out at the head of the
// free list, in order, the released ones (held, oldest first, then open)
// at its tail. A thread inside its magazines may take its pool's lock (a
// refill, a seal), never the manager's; the stopper holds only the manager
// lock while it waits. memMagsReclaim stops them from outside them.
//
// A thread that ends empties its own magazines before its slot goes back
// (the slot's key destructor); a call from a signal handler that
// interrupted its thread inside the magazines takes the locked way; a
// guarded, aligned or traced allocation, and the release of a block with a
// trace record or of a guarded block take the locked way too.
#ifndef KOVAMEM_CORE_MAGAZINE_H
#define KOVAMEM_CORE_MAGAZINE_H

#include "../internal.h"
#include "shadow.h"

namespace kovamem {

constexpr unsigned kMagBlocksMax = 32;
// M of a pool of count blocks of size bytes: 32 indices for blocks of up
// to 64 bytes, 16 up to 512, 8 above (the blocks a thread keeps stay a few
// pages: 8 of 4 KiB are 32 KiB), and at most count / 16, so that a thread's
// two open magazines hold at most an eighth of the pool; none below 4.
constexpr uint8_t memMagSizeFor(uint32_t size, uint32_t count) {
    const uint32_t bySize = size <= 64 ? 32 : size <= 512 ? 16 : 8;
    const uint32_t m = bySize < count / 16 ? bySize : count / 16;
    return static_cast<uint8_t>(m >= 4 ? m : 0);
}
// Sealed release magazines a thread may hold, at most.
constexpr unsigned kHeldMax = 6;

struct Magazine {
    uint16_t n;   // indices held
    uint16_t at;  // allocation magazine: the next to hand out (at..n-1 remain)
    uint16_t idx[kMagBlocksMax];
};

struct PoolMags {
    Magazine take, give;
    // The sealed release magazines the thread holds, oldest first:
    // held[(heldAt + i) % kHeldMax] for i < heldN, each with the thread's
    // count of blocks sealed in the pool (sealed) just after its own seal.
    Magazine held[kHeldMax];
    uint32_t heldStamp[kHeldMax];
    uint8_t heldAt, heldN;
    uint8_t refilled;    // the allocation magazine was refilled since the last seal
    uint32_t sealed;     // blocks this thread sealed in the pool, modulo 2^32
    int32_t busy;        // blocks handed out less blocks taken back since the last exchange
    uint32_t taken;      // blocks handed out since the last exchange
    int64_t req;         // their requested bytes, less those taken back
    int32_t peak;        // the highest busy count this thread saw since its last exchange
    uint64_t serial;     // the next reserved serial (a count: memPoolSerialAt)
    uint64_t serialEnd;  // one past the last one reserved
};

struct alignas(64) ThreadMags {
    uint8_t inside;  // 1 while the thread works on its magazines
    uint8_t used;    // set at the first use of the slot's magazines, before its mark
    // For each built pool o, the pool of o's chain the thread allocates
    // from: o when 0, else from[o] - 1.
    uint8_t from[MEM_POOL_SLOTS];
    // The magazines of pools MEM_POOL_SLOTS and on (grown pools): NULL until
    // the slot's first use of one; written by the slot's thread with its
    // mark set, read by a stopper after that mark is clear.
    PoolMags *grown;
    PoolMags pool[MEM_POOL_SLOTS];
};
extern ThreadMags memThreadMags[kMaxOwners];
// The magazines of pool k in tm: NULL for a grown pool beyond the slot's
// own when the slot has no mapping for them yet.
MEM_ALWAYS_INLINE PoolMags *memMagsOf(ThreadMags &tm, unsigned k) {
    if (k < MEM_POOL_SLOTS) return &tm.pool[k];
    PoolMags *const g = memLoad(tm.grown);
    return g != nullptr ? &g[k - MEM_POOL_SLOTS] : nullptr;
}
// memMagsOf, the calling thread's own with its mark set: the mapping made
// when missing (NULL when it cannot be).
PoolMags *memMagsMapGrown(ThreadMags &tm, unsigned k);
MEM_ALWAYS_INLINE PoolMags *memOwnMagsOf(ThreadMags &tm, unsigned k) {
    PoolMags *const pm = memMagsOf(tm, k);
    return __builtin_expect(pm != nullptr, 1) ? pm : memMagsMapGrown(tm, k);
}
// Allocations of the size class whose first pool is built pool k that
// found no pool with a free block to the locked way (memMagsReclaim), a
// relaxed atomic on a line of its own: the first, and then one in every
// N/8, brings the magazines' blocks back; the others go on to the C heap.
// So pools full for good, while threads still allocate and release, do
// not stop every thread at each request.
struct alignas(64) PoolMisses {
    uint32_t n;
};
extern PoolMisses memPoolMisses[MEM_POOL_SLOTS];
// Set while an operation on all pools stops the magazines; relaxed atomic.
extern uint8_t memMagStop;
// M of each pool (0: its blocks never go through magazines), set by
// KovaMemInit and by the growth of a pool before it is published
// (memMagSizeFor): pools of fewer than 64 blocks have none, so that a small
// pool's blocks are never held away from the threads that need them.
extern uint8_t memMagSize[kMaxPools];
// The reuse distance, in blocks (0: 4 x M of the pool). Relaxed atomic.
extern uint32_t memReuseBlocks;
MEM_ALWAYS_INLINE uint32_t memReuse(unsigned k) {
    const uint32_t r = memLoad(memReuseBlocks);
    return r != 0 ? r : 4u * memMagSize[k];
}
// The sealed release magazines a thread may hold of pool k: enough that
// the oldest has the reuse distance sealed after it when the rest are
// full, or none (every sealed magazine goes to the free list) when that
// is more than kHeldMax, or when a thread's share (those, and its two
// open magazines) would exceed an eighth of the pool.
MEM_ALWAYS_INLINE uint32_t memHeldCap(unsigned k) {
    const uint32_t m = memMagSize[k];
    const uint32_t cap = (memReuse(k) + m - 1) / m + 1;
    return cap <= kHeldMax && (cap + 2) * m * 8 <= memPool(k).blockCount ? cap : 0;
}

// Refills the calling thread's allocation magazine pm of pool k (its mark
// set); false when the pool has no block to give.
bool memMagRefill(unsigned k, PoolMags &pm);
// Seals pm's full release magazine of pool k: held by the thread, or into
// the pool's free list.
void memMagSeal(unsigned k, PoolMags &pm);
// A block popped from a magazine whose fill was changed: quarantined
// under its pool's lock and described in *found.
void memMagQuarantineWritten(unsigned k, uint16_t j, int32_t at, FreedFindings *found);
// All locks held, every mark clear: every magazine back into its pool.
void memMagsEmptyAll();
// The calling thread's own magazines back into the pools (its end); no
// lock held.
void memMagsEmptyOwn(unsigned slot);
// No pool from built pool k on (the first pool of an allocation's size
// class), grown ones included, has a free block left to the locked way:
// the blocks every thread's magazines hold go back into the pools (an
// operation on all pools), for the first such allocation and one in every
// N/8 after it (memPoolMisses, N pool k's blocks), unless the calling
// thread is inside its own magazines (a signal handler). True when some
// came back to those pools.
bool memMagsReclaim(unsigned k);
// Stops every magazine: called by memLockAll with the manager lock held.
void memMagsStop();
// All locks held: whether every magazine is empty and its figures
// written; else false with the first fault in why.
bool memMagsCheck(char *why, size_t len);

// The calling thread's magazines, NULL when it has none (no slot yet),
// without marking the slot's magazines used: for calls that only read the
// thread's mark.
MEM_ALWAYS_INLINE ThreadMags *memOwnMagsPeek() {
    ThreadMarks *const t = memOwnMarks;
    return t != nullptr ? &memThreadMags[t - memThreadMarks] : nullptr;
}
// The calling thread's magazines once it used them (its slot's used flag
// set), NULL before and after its slot goes back: one load on every
// operation through the magazines.
extern __thread ThreadMags *memMagsOwn __attribute__((tls_model("initial-exec")));
// memOwnMags' first call in a thread with a slot: sets the slot's used flag
// (before any mark of it) and memMagsOwn.
ThreadMags *memMagsClaim();
MEM_ALWAYS_INLINE ThreadMags *memOwnMags() {
    ThreadMags *const tm = memMagsOwn;
    return __builtin_expect(tm != nullptr, 1) ? tm : memMagsClaim();
}

// Sets tm's mark and returns true when the magazines may be used: not
// stopped, and not already in use by the code a signal handler interrupted.
MEM_ALWAYS_INLINE bool memMagEnter(ThreadMags &tm) {
    if (memLoad(tm.inside) != 0) return false;
    if (config_tsan) {
        (void)__atomic_exchange_n(&tm.inside, uint8_t{1}, __ATOMIC_SEQ_CST);
    } else {
        memStore(tm.inside, uint8_t{1});
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
    }
    if (__builtin_expect(__atomic_load_n(&memMagStop, config_tsan ? __ATOMIC_SEQ_CST : __ATOMIC_RELAXED) == 0, 1))
        return true;
    __atomic_store_n(&tm.inside, uint8_t{0}, __ATOMIC_RELEASE);
    return false;
}
MEM_ALWAYS_INLINE void memMagLeave(ThreadMags &tm) { __atomic_store_n(&tm.inside, uint8_t{0}, __ATOMIC_RELEASE); }

// The calling thread's allocation magazine of built pool o's chain is
// empty (its mark set): refilled from the first pool of the chain that
// gives blocks, which becomes the thread's pool of the chain (*k); NULL
// when none does.
PoolMags *memMagRefillChain(ThreadMags &tm, unsigned o, unsigned *k);

// Block j of pool k, just taken from pm's allocation magazine and checked,
// made live for a request of size bytes; its data address.
MEM_ALWAYS_INLINE uint8_t *memMagHandOut(PoolMags &pm, unsigned k, uint16_t j, uint32_t size) {
    const MemPool &p = memPool(k);
    const PoolGeom &g = memPoolGeom[k];
    MemBlockHdr *const h = &g.hdrs[j];
    uint8_t *const slot = memSlotData(p, j);
    memStore(h->reqSize, size);
    h->opaque = 0;
    g.serial[j] = memPoolSerialAt(pm.serial++);
    memSetState(k, j, kBlockLive);
    memPutBlockGuard(slot, memGuardOffset(size, p.blockSize), memSlotStride(p.blockSize));
    ++pm.busy;
    ++pm.taken;
    pm.req += size;
    // The pool's count as of the threads' last exchanges, and this
    // thread's own allocations and releases since.
    const PoolHot &st = memPoolHot[k];
    const int32_t now = static_cast<int32_t>(memLoad(p.busyCount)) + memLoad(st.busyOwed) + pm.busy;
    if (now > pm.peak) pm.peak = now;
    return slot;
}

// An allocation of size bytes from the calling thread's magazines of the
// chain of built pool o: the block's data, or NULL for the locked way (no
// magazine, no block left in the chain). Blocks found written after their
// release are left in *found for the caller to tell.
//
// kQuick: only what needs no call: a block already in the magazine of the
// thread's current pool of the chain, neither filled at its release nor
// keeping a held trace record; anything else returns NULL with nothing
// changed, for the full way to decide (it calls this again without kQuick).
template <bool kQuick>
MEM_ALWAYS_INLINE uint8_t *memMagTake(unsigned o, uint32_t size, FreedFindings *found) {
    ThreadMags *const tm = kQuick ? memMagsOwn : memOwnMags();
    if (tm == nullptr || !memMagEnter(*tm)) return nullptr;
    unsigned k = tm->from[o] != 0 ? tm->from[o] - 1u : o;
    PoolMags *pm = kQuick ? memMagsOf(*tm, k) : memOwnMagsOf(*tm, k);
    for (;;) {
        if (__builtin_expect(pm == nullptr || pm->take.at == pm->take.n, 0)) {
            if (kQuick) break;
            pm = memMagRefillChain(*tm, o, &k);
            if (pm == nullptr) break;
        }
        const uint16_t j = pm->take.idx[pm->take.at];
        const PoolGeom &g = memPoolGeom[k];
        MemBlockHdr *const h = &g.hdrs[j];
        if (kQuick && (g.serial[j] == kFreeFilled || memLoad(h->stackRec) != nullptr)) break;
        ++pm->take.at;
        if (!kQuick && __builtin_expect(g.serial[j] == kFreeFilled, 0)) {
            const MemPool &p = memPool(k);
            uint8_t *const slot = memSlotData(p, j);
            int32_t at = memFreedChangedAt(slot, p.blockSize);
            if (at < 0 && !memGuardIntact(slot + p.blockSize)) at = static_cast<int32_t>(p.blockSize);
            if (at >= 0) {
                memMagQuarantineWritten(k, j, at, found);
                continue;
            }
        }
        if (!kQuick && __builtin_expect(memLoad(h->stackRec) != nullptr, 0)) memUnholdStackRec(h);
        uint8_t *const slot = memMagHandOut(*pm, k, j, size);
        memMagLeave(*tm);
        memShadowTake(slot, size);
        return slot;
    }
    memMagLeave(*tm);
    return nullptr;
}

// The release of block j of pool k (data ptr) into the calling thread's
// magazine: 1, or -1 for the locked way (no magazine, the block not live, a
// damaged guard, a trace record or a guarded block: the locked way decides
// and tells).
//
// kQuick: also -1, with nothing changed, when the release needs a call:
// the write-after-release check on, no magazines mapped for a grown pool
// yet, or a release magazine this release would fill (its seal).
template <bool kQuick>
MEM_ALWAYS_INLINE int memMagGive(unsigned k, uint16_t j, uint8_t *ptr) {
    ThreadMags *const tm = kQuick ? memMagsOwn : memOwnMags();
    if (tm == nullptr || !memMagEnter(*tm)) return -1;
    PoolMags *const pmp = kQuick ? memMagsOf(*tm, k) : memOwnMagsOf(*tm, k);
    if (__builtin_expect(pmp == nullptr, 0) ||
        (kQuick && (memLoad(memFreeCheck) != 0 || pmp->give.n + 1u >= memMagSize[k]))) {
        memMagLeave(*tm);
        return -1;
    }
    const MemPool &p = memPool(k);
    PoolGeom &g = memPoolGeom[k];
    MemBlockHdr *const h = &g.hdrs[j];
    if (memLoad(h->stackRec) != nullptr || memLoad(h->data) != ptr || !memSwapState(k, j, kBlockLive, kBlockFree)) {
        memMagLeave(*tm);
        return -1;
    }
    const uint32_t size = memLoad(h->reqSize);
    if (__builtin_expect(!memGuardIntact(ptr + memGuardOffset(size, p.blockSize)) || !memFrontIntact(ptr, j), 0)) {
        memSetState(k, j, kBlockLive);  // the locked way quarantines it and tells
        memMagLeave(*tm);
        return -1;
    }
    if (!kQuick && __builtin_expect(memLoad(memFreeCheck) != 0, 0)) {
        memFillFreed(ptr, p.blockSize);
        g.serial[j] = kFreeFilled;
        if (memChainIds[k] != nullptr) {
            memLockTrace();
            memChainIds[k][2 * j] = memChainIds[k][2 * j + 1] = 0;
            memUnlockTrace();
        }
    }
    memStore(h->reqSize, 0u);
    h->opaque = 0;
    memShadowGive(ptr, memSlotStride(p.blockSize));
    PoolMags &pm = *pmp;
    --pm.busy;
    pm.req -= size;
    pm.give.idx[pm.give.n++] = j;
    if (!kQuick && pm.give.n == memMagSize[k]) memMagSeal(k, pm);
    memMagLeave(*tm);
    return 1;
}

}  // namespace kovamem

#endif  // KOVAMEM_CORE_MAGAZINE_H
