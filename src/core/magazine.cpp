// Per-thread magazines: their exchanges with the pools, the stop of every
// magazine for an operation on all pools, and their end (core/magazine.h).
#include "magazine.h"

#include <stdio.h>
#include <sys/mman.h>

#include "../diag/prim/membarrier.h"

kovamem::ThreadMags kovamem::memThreadMags[kovamem::kMaxOwners];
uint8_t kovamem::memMagStop;
uint8_t kovamem::memMagSize[kovamem::kMaxPools];
uint32_t kovamem::memReuseBlocks;
kovamem::PoolMisses kovamem::memPoolMisses[MEM_POOL_SLOTS];
__thread kovamem::ThreadMags *kovamem::memMagsOwn __attribute__((tls_model("initial-exec")));

kovamem::ThreadMags *kovamem::memMagsClaim() {
    // A thread's first allocation or release takes its marks, so that it
    // goes through its magazines from the start: a block the locked way
    // took alone would sit among a group another thread's magazine took,
    // and the two threads would then share its lines of headers, serials
    // and states for as long as both kept their blocks.
    if (memOwnMarks == nullptr && memClaimMarks() == nullptr) return nullptr;
    ThreadMags *const tm = memOwnMagsPeek();
    // Set before the slot's first mark: a stopper that passed its barrier
    // and reads the flag clear knows the slot's marks were never set.
    if (memLoad(tm->used) == 0) memStore(tm->used, uint8_t{1});
    memMagsOwn = tm;
    return tm;
}

namespace {

using namespace kovamem;

// Pool k's lock held: what pm changed since its last exchange goes into
// the pool's record and figures.
//
// A thread may release blocks whose allocations another thread has not
// exchanged yet: then the sum goes below zero, and the busy count stays at
// 0 with the rest owed (PoolHot::busyOwed) until those allocations come.
// The requested bytes are a sum modulo 2^32 that adds up exactly once
// every thread has exchanged.
void exchange(unsigned k, PoolMags &pm) {
    MemPool &p = memPool(k);
    PoolHot &st = memPoolHot[k];
    const int32_t total = static_cast<int32_t>(p.busyCount) + st.busyOwed + pm.busy;
    const int32_t busy = total > 0 ? total : 0;
    memStore(p.busyCount, static_cast<uint16_t>(busy));
    memStore(st.busyOwed, total < 0 ? total : 0);
    p.reqBytes = static_cast<uint32_t>(static_cast<int64_t>(p.reqBytes) + pm.req);
    st.allocs += pm.taken;
    const int32_t peak = pm.peak > busy ? pm.peak : busy;
    if (peak > static_cast<int32_t>(p.peakCount)) p.peakCount = static_cast<uint16_t>(peak);
    if (peak > static_cast<int32_t>(st.windowPeak)) st.windowPeak = static_cast<uint32_t>(peak);
    pm.busy = 0;
    pm.taken = 0;
    pm.req = 0;
    pm.peak = total;
}

// The free-head hint after the list changed (see PoolHot::next).
void hint(unsigned k) {
    const MemPool &p = memPool(k);
    const PoolHot &st = memPoolHot[k];
    uint8_t *next = memPoolHasFresh(p, st) ? p.area + static_cast<size_t>(st.made) * memSlotStride(p.blockSize)
                    : p.freeHead != nullptr ? memSlotData(p, p.freeHead->blockIndex)
                                            : nullptr;
    memStore(memPoolHot[k].next, next);
}

// The runs of blocks the last sealed magazines of pool k put at the tail
// of its free list, under its lock: a hint for the refill that takes them
// from the head, which otherwise follows their links one header at a time,
// each a line the releasing thread (most often another one) wrote last: a
// chain of dependent misses. With the run's indices the refill fetches
// all its headers at once first. Only a hint: when no run holds the
// list's head (the list changed at its head since) nothing is fetched,
// and the walk always follows the links. memValidate has nothing to check
// in it: a stale entry is allowed.
constexpr unsigned kRuns = 4;
struct alignas(64) RunHints {
    uint32_t next;  // the entry the next run goes into
    Magazine run[kRuns];
};
RunHints gRuns[kMaxPools];

// Pool k's lock held, its free list not empty: the headers of the m
// blocks at the list's head fetched for writing, as far as the runs know
// them: from the head's place in a run (a refill takes m at a time, and
// a run may have been entered anywhere), on into the runs put after it.
void fetchHeadRun(unsigned k, uint32_t m) {
    const PoolGeom &g = memPoolGeom[k];
    const RunHints &h = gRuns[k];
    const uint16_t head = memPool(k).freeHead->blockIndex;
    for (unsigned e = 0; e < kRuns; ++e) {
        const Magazine &r = h.run[e];
        for (unsigned i = 0; i < r.n; ++i) {
            if (r.idx[i] != head) continue;
            // The runs from e on, oldest first, up to the newest (the one
            // before h.next): at most all of them.
            unsigned left = m;
            for (unsigned step = 0, at = e; step < kRuns && left != 0; ++step, at = (at + 1) % kRuns, i = 0) {
                if (step != 0 && at == h.next) break;
                const Magazine &run = h.run[at];
                for (; i < run.n && left != 0; ++i, --left) __builtin_prefetch(&g.hdrs[run.idx[i]], 1);
            }
            // The compiler counts a prefetch as no effect and would drop
            // the whole search: this says there is one.
            __asm__ volatile("" ::: "memory");
            return;
        }
    }
}

// Pool k's lock held: magazine g at the tail of the free list, in release
// order.
void appendLocked(unsigned k, Magazine &g) {
    MemPool &p = memPool(k);
    const PoolGeom &geo = memPoolGeom[k];
    if (g.n != 0) {
        RunHints &h = gRuns[k];
        h.run[h.next] = g;
        h.next = (h.next + 1) % kRuns;
    }
    for (unsigned i = 0; i < g.n; ++i) {
        MemBlockHdr *h = &geo.hdrs[g.idx[i]];  // its data is its slot's: never a guarded block's
        h->next = nullptr;
        if (p.freeTail != nullptr)
            p.freeTail->next = h;
        else
            p.freeHead = h;
        p.freeTail = h;
    }
    p.freeCount += g.n;
    g.n = 0;
}

// Pool k's lock held: the magazines pm holds, oldest first, then its
// release magazine, at the tail of the free list.
void sealLocked(unsigned k, PoolMags &pm) {
    for (; pm.heldN != 0; --pm.heldN) {
        appendLocked(k, pm.held[pm.heldAt]);
        pm.heldAt = static_cast<uint8_t>((pm.heldAt + 1) % kHeldMax);
    }
    appendLocked(k, pm.give);
    hint(k);
}

// Magazines' worth of serials a thread reserves at a time. Each
// reservation exchanges under the pool's lock, and the lock's, the record's
// and the figures' lines then move to the thread that takes it: at 8
// magazines a time, two threads that paired blocks of one pool each spent
// about a fifth of their time on that. The serials a thread leaves unused
// when it empties its magazines are dropped: 2^40 per pool and epoch last
// for 2^28 reservations even at M = 32.
constexpr uint32_t kSerialBatch = 128;

// Pool k's lock held: serials for at least n more allocations of pm.
void reserveLocked(unsigned k, PoolMags &pm, uint32_t n) {
    PoolHot &st = memPoolHot[k];
    const uint32_t batch = kSerialBatch * memMagSize[k];
    pm.serial = st.serials + 1;
    st.serials += n > batch ? n : batch;
    pm.serialEnd = st.serials + 1;
}

// Whether pm's figures have drifted far enough from the pool's record that
// they go into it now: more than M blocks either way.
bool drifted(unsigned k, const PoolMags &pm) {
    const int32_t m = memMagSize[k];
    return pm.busy > m || pm.busy < -m;
}

// Pool k's lock held: what is left of pm's allocation magazine back at the
// head of the free list, in its order; its reserved serials are dropped.
void returnLocked(unsigned k, PoolMags &pm) {
    MemPool &p = memPool(k);
    const PoolGeom &g = memPoolGeom[k];
    for (unsigned i = pm.take.n; i-- > pm.take.at;) {
        MemBlockHdr *h = &g.hdrs[pm.take.idx[i]];
        h->next = p.freeHead;
        p.freeHead = h;
        if (p.freeTail == nullptr) p.freeTail = h;
    }
    p.freeCount += pm.take.n - pm.take.at;
    pm.take.n = pm.take.at = 0;
    hint(k);
}

// Pool k's lock held: every block of pm back, its figures written, its
// reserved serials dropped.
void emptyLocked(unsigned k, PoolMags &pm) {
    exchange(k, pm);
    returnLocked(k, pm);
    sealLocked(k, pm);
    pm.serialEnd = pm.serial;
}

}  // namespace

bool kovamem::memMagRefill(unsigned k, PoolMags &pm) {
    const uint32_t m = memMagSize[k];
    pm.refilled = 1;
    // The oldest magazine the thread holds, once the thread sealed the
    // reuse distance after it: no lock, unless the serials reserved run out
    // or the figures drifted.
    if (pm.heldN != 0 && pm.sealed - pm.heldStamp[pm.heldAt] >= memReuse(k)) {
        Magazine &h = pm.held[pm.heldAt];
        pm.take.n = h.n;
        pm.take.at = 0;
        for (unsigned i = 0; i < h.n; ++i) pm.take.idx[i] = h.idx[i];
        h.n = 0;
        pm.heldAt = static_cast<uint8_t>((pm.heldAt + 1) % kHeldMax);
        --pm.heldN;
        if (pm.serialEnd - pm.serial < pm.take.n || drifted(k, pm)) {
            memLockPool(k);
            exchange(k, pm);
            reserveLocked(k, pm, pm.take.n);
            memUnlockPool(k);
        }
        return true;
    }
    memLockPool(k);
    exchange(k, pm);
    MemPool &p = memPool(k);
    PoolHot &st = memPoolHot[k];
    const uint32_t fresh = p.blockCount - st.made;
    uint32_t listed = p.freeCount - fresh;
    // Blocks released longest ago, while enough stay behind them; else
    // never-used ones; else this thread's own held and unsealed releases
    // join the list, and the oldest are taken anyway.
    unsigned source = 0;  // 1: the list, 2: never used
    if (listed >= m + memReuse(k)) {
        source = 1;
    } else if (fresh != 0) {
        source = 2;
    } else {
        if (pm.heldN != 0 || pm.give.n != 0) {
            sealLocked(k, pm);
            listed = p.freeCount;
        }
        if (listed != 0) {
            source = 1;
            ++st.shortfalls;
        }
    }
    uint32_t n = 0;
    if (source == 1) {
        fetchHeadRun(k, m);
        for (; n < m && p.freeHead != nullptr; ++n) {
            MemBlockHdr *h = p.freeHead;
            p.freeHead = h->next;
            h->next = nullptr;
            pm.take.idx[n] = h->blockIndex;
        }
        if (p.freeHead == nullptr) p.freeTail = nullptr;
    } else if (source == 2) {
        // Up to the next multiple of M: a thread's magazine of never-used
        // blocks is then one aligned group whose headers, serials, states
        // and slots share no cache line with another thread's group (a
        // block the locked way took alone would otherwise shift every
        // group after it, and two threads would write the lines at each
        // group's edge on every operation).
        const uint32_t upTo = (st.made / m + 1) * m;
        for (; st.made < upTo && st.made < p.blockCount; ++n) {
            MemBlockHdr *h = memMakeBlock(&p, static_cast<uint16_t>(k), static_cast<uint16_t>(st.made++));
            memSetState(k, h->blockIndex, kBlockFree);
            pm.take.idx[n] = h->blockIndex;
        }
    }
    p.freeCount -= n;
    if (pm.serialEnd - pm.serial < n) reserveLocked(k, pm, n);
    pm.take.n = static_cast<uint16_t>(n);
    pm.take.at = 0;
    hint(k);
    memUnlockPool(k);
    return n != 0;
}

void kovamem::memMagSeal(unsigned k, PoolMags &pm) {
    const uint32_t stamp = pm.sealed += pm.give.n;
    const uint32_t cap = memHeldCap(k);
    // Held only by a thread that hands out blocks of the pool too.
    const bool hold = cap != 0 && pm.refilled != 0;
    pm.refilled = 0;
    if (!hold || pm.heldN >= cap || drifted(k, pm)) {
        memLockPool(k);
        exchange(k, pm);
        // More held than the cap allows (the reuse distance changed, or
        // all are held): the oldest go to the list.
        for (; pm.heldN != 0 && pm.heldN >= cap; --pm.heldN) {
            appendLocked(k, pm.held[pm.heldAt]);
            pm.heldAt = static_cast<uint8_t>((pm.heldAt + 1) % kHeldMax);
        }
        if (!hold) appendLocked(k, pm.give);
        hint(k);
        memUnlockPool(k);
        if (!hold) return;
    }
    const unsigned at = (pm.heldAt + pm.heldN) % kHeldMax;
    Magazine &h = pm.held[at];
    h.n = pm.give.n;
    for (unsigned i = 0; i < h.n; ++i) h.idx[i] = pm.give.idx[i];
    pm.heldStamp[at] = stamp;
    ++pm.heldN;
    pm.give.n = 0;
}

kovamem::PoolMags *kovamem::memMagsMapGrown(ThreadMags &tm, unsigned k) {
    if (k < MEM_POOL_SLOTS || memLoad(tm.grown) != nullptr) return memMagsOf(tm, k);
    // One reservation for every pool that may grow, untouched but for the
    // magazines of the pools the slot's threads use; kept with the slot.
    const size_t bytes = sizeof(PoolMags) * (kMaxPools - MEM_POOL_SLOTS);
    void *at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (at == MAP_FAILED) return nullptr;
    memStore(tm.grown, static_cast<PoolMags *>(at));
    return memMagsOf(tm, k);
}

kovamem::PoolMags *kovamem::memMagRefillChain(ThreadMags &tm, unsigned o, unsigned *k) {
    for (unsigned c = o; c != kNoPool; c = __atomic_load_n(&memPoolGeom[c].nextSame, __ATOMIC_ACQUIRE)) {
        if (memMagSize[c] == 0) continue;
        PoolMags *const pm = c == o ? &tm.pool[o] : memOwnMagsOf(tm, c);
        if (pm == nullptr) break;
        if (pm->heldN == 0 && memLoad(memPoolHot[c].next) == nullptr) continue;
        if (!memMagRefill(c, *pm)) continue;
        tm.from[o] = c == o ? 0 : static_cast<uint8_t>(c + 1);
        *k = c;
        return pm;
    }
    tm.from[o] = 0;
    return nullptr;
}

void kovamem::memMagQuarantineWritten(unsigned k, uint16_t j, int32_t at, FreedFindings *found) {
    memLockPool(k);
    memQuarantineFreed(&memPool(k), &memPoolGeom[k].hdrs[j], at, found);
    memUnlockPool(k);
}

bool kovamem::memMagsReclaim(unsigned k) {
    if (memMagSize[k] == 0) return false;
    const ThreadMags *own = memOwnMagsPeek();
    if (own != nullptr && memLoad(own->inside) != 0) return false;
    const uint32_t every = memPool(k).blockCount / 8;
    if (__atomic_fetch_add(&memPoolMisses[k].n, 1u, __ATOMIC_RELAXED) % every != 0) return false;
    memLockAll();
    bool back = false;
    for (unsigned j = k; j < memPoolsBuilt; ++j)
        for (unsigned c = j; c != kNoPool && !back; c = memPoolGeom[c].nextSame)
            back = memMagSize[c] != 0 && memPool(c).freeCount != 0;
    memUnlockAll();
    return back;
}

void kovamem::memMagsStop() {
    // No thread has a slot before the barrier is known to be there, and a
    // thread without one has no magazines.
    if (memLoad(memHeavyBarrierState) != 1) return;
    __atomic_store_n(&memMagStop, uint8_t{1}, __ATOMIC_SEQ_CST);
    // Every thread that set its mark before the flag was stored sees the
    // barrier, so its mark (and its slot's used flag, set before it) is
    // seen below; every other sees the flag.
    if (!config_tsan) (void)memHeavyBarrier();
    for (const ThreadMags &tm : memThreadMags)
        if (__atomic_load_n(&tm.used, __ATOMIC_ACQUIRE) != 0) memWaitMarkClear(tm.inside);
}

void kovamem::memMagsEmptyAll() {
    const unsigned pools = memMgrDetails.poolCount;
    for (ThreadMags &tm : memThreadMags)
        if (memLoad(tm.used) != 0)
            for (unsigned k = 0; k < pools; ++k) {
                PoolMags *const pm = memMagsOf(tm, k);
                if (memMagSize[k] != 0 && pm != nullptr) emptyLocked(k, *pm);
            }
}

void kovamem::memMagsEmptyOwn(unsigned slot) {
    ThreadMags &tm = memThreadMags[slot];
    if (memLoad(tm.used) == 0) return;
    // The pools it holds blocks or figures of, read with its mark set (an
    // operation on all pools may empty them meanwhile: then all, and
    // emptying an empty magazine changes nothing). Only their locks are
    // taken, so that a thread's end takes no pool from its owner.
    const bool marked = memMagEnter(tm);
    const unsigned pools = __atomic_load_n(&memMgrDetails.poolCount, __ATOMIC_ACQUIRE);
    bool any[kMaxPools] = {};
    for (unsigned k = 0; k < pools; ++k) {
        const PoolMags *pm = memMagsOf(tm, k);
        any[k] = memMagSize[k] != 0 && pm != nullptr &&
                 (!marked || pm->take.at != pm->take.n || pm->give.n != 0 || pm->heldN != 0 || pm->busy != 0 ||
                  pm->taken != 0 || pm->req != 0);
    }
    if (marked) memMagLeave(tm);
    for (unsigned k = 0; k < pools; ++k) {
        if (!any[k]) continue;
        memLockPool(k);
        emptyLocked(k, *memMagsOf(tm, k));
        memUnlockPool(k);
    }
}

extern "C" void KovaMemSetReuseDistance(uint32_t blocks) { kovamem::memStore(kovamem::memReuseBlocks, blocks); }

bool kovamem::memMagsCheck(char *why, size_t len) {
    const unsigned pools = memMgrDetails.poolCount;
    for (unsigned s = 0; s < kMaxOwners; ++s) {
        ThreadMags &tm = memThreadMags[s];
        if (memLoad(tm.used) == 0) continue;  // never touched: its pages stay untouched too
        for (unsigned k = 0; k < pools; ++k) {
            const PoolMags *pmp = memMagsOf(tm, k);
            if (pmp == nullptr) continue;
            const PoolMags &pm = *pmp;
            if (pm.take.at != pm.take.n || pm.give.n != 0 || pm.heldN != 0 || pm.busy != 0 || pm.taken != 0 ||
                pm.req != 0 || memPoolHot[k].busyOwed != 0) {
                snprintf(why, len,
                         "thread slot %u keeps blocks or figures of pool %u (%u to hand out, %u released, %u sealed "
                         "magazines, %d busy)",
                         s, k, pm.take.n - pm.take.at, pm.give.n, pm.heldN, pm.busy);
                return false;
            }
        }
    }
    return true;
}
