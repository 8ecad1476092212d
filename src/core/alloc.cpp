// Allocation: smallest fitting pool, fall-through to larger pools, then the
// C heap. The pool path allocates nothing and holds one pool's lock (the
// manager lock, classic) only while that pool is examined and, when it has
// a free block, taken.
#include <stdlib.h>
#include <string.h>

#include "../internal.h"
#include "magazine.h"

namespace {

// What every block of every pool is aligned to: the slot alignment in the
// default build; in the classic build, with slots of S + 4, only 4.
constexpr uint32_t kBlockAlign = kovamem::config_classic ? 4 : kovamem::config_slot_align;

// Whether every block of p starts on a multiple of align.
bool poolAligned(const MemPool &p, uint32_t align) {
    return reinterpret_cast<uintptr_t>(p.area) % align == 0 && kovamem::memSlotStride(p.blockSize) % align == 0;
}

// The C-heap fallback (align above the blocks' own: honoured); its entry is
// the described one in the classic build, a counted note in the default
// build.
void *sysAlloc(uint32_t size, kovamem::NoteKind kind, uint32_t align = 0) {
    void *p = nullptr;
    if (align == 0)
        p = kovamem::memHeap.malloc(size);
    else if (kovamem::memHeap.memalign(&p, align < sizeof(void *) ? sizeof(void *) : align, size) != 0)
        p = nullptr;
    if (p != nullptr) {
        kovamem::memCountUp(memMgrDetails.sysMallocCount);  // raises the allocation serial too
    }
    if (kovamem::config_classic)
        memLogPrint(kind == kovamem::kNoteSysAlloc ? " EXIT: ERROR: KovaMemAlloc: System alloc with size %d\n"
                                                   : " EXIT: ERROR: KovaMemAlloc: Mem Full and going for System alloc "
                                                     "with size %d\n",
                    size);
    else
        kovamem::memNoteFallback(kind, size);
    return p;
}

void noteFullPool(int k) {
    if (kovamem::config_classic)
        memLogPrint(" REQ: KovaMemAlloc: %d Pool is full and so going to next Pool\n", k);
    else
        kovamem::memNoteFallback(kovamem::kNotePoolFull, static_cast<uint32_t>(k));
}

// The finder's chain for the blocks an allocation found written after their
// release: the allocation's own when it was traced, else captured here.
// Always inlined, so that the capture sits in the public operation's body.
MEM_ALWAYS_INLINE void logFound(const kovamem::FreedFindings &found, const MemTraceAddr *traced) {
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    if (traced == nullptr) {
        memCaptureTrace(trace);
        traced = trace;
    }
    kovamem::memLogFreedFindings(found, traced);
}

// The data address of the block p hands out next: the next never-used one,
// else the free list's head; NULL when p has none.
MEM_ALWAYS_INLINE uint8_t *nextOut(const MemPool *p, const kovamem::PoolHot &st) {
    if (kovamem::memPoolHasFresh(*p, st)) return p->area + static_cast<size_t>(st.made) * kovamem::memSlotStride(p->blockSize);
    return p->freeHead != nullptr ? p->freeHead->data : nullptr;
}

// Takes the block pool k hands out next (a never-used one first, then the
// head of its free list) and returns its header, busy; pool k's lock is
// held. Always inlined so that a traced allocation captures from
// KovaMemAlloc's own body.
MEM_ALWAYS_INLINE MemBlockHdr *takeBlock(uint16_t k, uint32_t size, const MemTraceAddr *pre, bool sampled) {
    MemPool *p = &kovamem::memPool(k);
    kovamem::PoolHot &st = kovamem::memPoolHot[k];
    MemBlockHdr *h;
    if (!kovamem::config_classic && __builtin_expect(kovamem::memPoolHasFresh(*p, st), 0)) {
        h = kovamem::memMakeBlock(p, k, static_cast<uint16_t>(st.made++));
        kovamem::memStore(st.next, nextOut(p, st));
    } else {
        h = p->freeHead;
        p->freeHead = h->next;
        if (p->freeHead == nullptr) {
            p->freeTail = nullptr;
            if (!kovamem::config_classic) kovamem::memStore(st.next, static_cast<uint8_t *>(nullptr));
        } else {
            // The free list is first-in first-out, so the next block handed
            // out is the one released longest ago: fetch its header,
            // state and first bytes now, without waiting for them.
            const kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
            const size_t nj = g.hdrs.indexOf(p->freeHead);
            __builtin_prefetch(&g.serial[nj], 1);
            __builtin_prefetch(p->freeHead, 1);
            __builtin_prefetch(kovamem::config_classic ? static_cast<void *>(&g.busyPrev[nj]) : &g.state[kovamem::memStateAt(nj)], 1);
            __builtin_prefetch(p->area + nj * g.stride, 1);
            kovamem::memStore(st.next, p->area + nj * g.stride);
        }
    }
    kovamem::memStore(h->reqSize, size);
    h->opaque = 0;
    if (!kovamem::config_classic && __builtin_expect(kovamem::memLoad(h->stackRec) != nullptr, 0))
        memUnholdStackRec(h);  // the chain of its release is no longer needed
    // Stored as the trace-table lock's holders store it: another pool's
    // allocation may have taken the held record back just before.
    kovamem::memStore(h->stackRec, static_cast<MemStackRec *>(nullptr));
    memAttachStackRec(h, size, pre, sampled);
    --p->freeCount;

    // Classic: joins the busy list. Default: no list, its state says busy.
    if (kovamem::config_classic) {
        kovamem::memLinkBusy(h, p->busyTail);
        if (p->busyTail != nullptr) {
            p->busyTail->next = h;
            p->busyTail = h;
        } else {
            p->busyHead = p->busyTail = h;
        }
    } else {
        kovamem::memSetState(k, h->blockIndex, kovamem::kBlockLive);
    }
    h->next = nullptr;

    if (size > p->blockSize - kovamem::kGuardBytes) h->data = kovamem::memSlotData(*p, h->blockIndex);

    kovamem::memBusyUp(*p, st);
    p->reqBytes += size;
    if (p->peakCount < p->busyCount) p->peakCount = p->busyCount;
    ++st.allocs;
    ++st.serials;
    if (kovamem::config_classic) {
        if (++memMgrDetails.memMallocCount == 0) ++kovamem::memHot.poolHigh;
        kovamem::memPoolGeom[k].serial[h->blockIndex] = kovamem::memSerialNow();
    } else {
        kovamem::memPoolGeom[k].serial[h->blockIndex] = kovamem::memPoolSerial(st);
    }
    if (st.windowPeak < p->busyCount) st.windowPeak = p->busyCount;
    return h;
}

// Default build: whether the head of p's free list was filled at its
// release, so that it must be checked before it is handed out.
MEM_ALWAYS_INLINE bool headFilled(const MemPool *p) {
    if (kovamem::config_classic || p->freeHead == nullptr) return false;
    if (kovamem::memPoolHasFresh(*p, kovamem::memPoolHot[kovamem::memPoolIndex(p)])) return false;  // handed out first
    const kovamem::PoolGeom &g = kovamem::memPoolGeom[p->freeHead->poolIndex];
    return __builtin_expect(g.serial[p->freeHead->blockIndex] == kovamem::kFreeFilled, 0);
}

// Default build, the manager lock held: the pool of original o's chain
// that can serve now, returned with its lock held: the first with a block
// to hand out (blocks found written after their release are quarantined on
// the way), else one grown for it; -1, no pool lock held, when none can.
// A grown pool is linked into the chain before its grower takes its lock,
// and allocations that walk the chain take no manager lock: they may have
// emptied it by then, so it is checked as the chain's other pools are and
// the walk starts again from it (at most once per pool the budget buys).
int takeFromChainLocked(uint16_t o, kovamem::FreedFindings *found) {
    for (uint16_t from = o;;) {
        for (uint16_t k = from; k != kovamem::kNoPool; k = kovamem::memPoolGeom[k].nextSame) {
            MemPool *p = &kovamem::memPool(k);
            kovamem::memLockPool(k);
            if (headFilled(p)) kovamem::memScreenFreeHead(p, found);
            if (p->freeCount != 0) return k;
            kovamem::memUnlockPool(k);
        }
        const int k = kovamem::memGrowLocked(o);
        if (k < 0) return k;
        from = static_cast<uint16_t>(k);
    }
}

}  // namespace

void kovamem::memScreenFreeHead(MemPool *p, FreedFindings *found) {
    const PoolGeom &g = memPoolGeom[memPoolIndex(p)];
    while (p->freeHead != nullptr) {
        MemBlockHdr *h = p->freeHead;
        if (g.serial[h->blockIndex] != kFreeFilled) return;
        uint8_t *data = memSlotData(*p, h->blockIndex);
        int32_t at = memFreedChangedAt(data, p->blockSize);
        if (at < 0 && !memGuardIntact(data + p->blockSize)) at = static_cast<int32_t>(p->blockSize);
        if (at < 0) return;
        p->freeHead = h->next;
        if (p->freeHead == nullptr) p->freeTail = nullptr;
        memStore(memPoolHot[h->poolIndex].next, p->freeHead != nullptr ? memSlotData(*p, p->freeHead->blockIndex) : nullptr);
        --p->freeCount;
        memQuarantineFreed(p, h, at, found);
    }
}

void kovamem::memQuarantineFreed(MemPool *p, MemBlockHdr *h, int32_t at, FreedFindings *found) {
    MemMgrDetails &m = memMgrDetails;
    const PoolGeom &g = memPoolGeom[memPoolIndex(p)];
    uint8_t *data = memSlotData(*p, h->blockIndex);
    // Changed since its release: to the quarantine, as a block whose
    // guard was found damaged, instead of to the caller. The chain
    // store names its allocation and its release when it was traced;
    // its held record, if still there, names the release too.
    memLockTrace();
    if (found->count < 2) {
        FreedFindings::Block &b = found->at[found->count];
        b.data = reinterpret_cast<uintptr_t>(data);
        b.pool = h->poolIndex;
        b.block = h->blockIndex;
        b.offset = static_cast<uint32_t>(at);
        const uint32_t *ids = memChainIds[h->poolIndex];
        b.alloc = ids != nullptr ? memDepotGet(ids[2 * h->blockIndex], b.allocBy) : kChainNone;
        b.release = ids != nullptr ? memDepotGet(ids[2 * h->blockIndex + 1], b.releaseBy) : kChainNone;
        if (b.release != kChainKept && h->stackRec != nullptr) {
            memcpy(b.releaseBy, h->stackRec->trace, sizeof b.releaseBy);
            b.release = kChainKept;
        }
    }
    memUnlockTrace();
    ++found->count;
    if (memLoad(h->stackRec) != nullptr) memUnholdStackRec(h);
    g.serial[h->blockIndex] = 0;
    memSetState(h->poolIndex, h->blockIndex, kBlockDamaged);
    ++p->corruptCount;
    memLockLeaf(memQuarantineLock);
    h->next = m.corruptList;
    memStore(m.corruptList, h);
    ++m.corruptCount;
    memUnlockLeaf(memQuarantineLock);
}

namespace {

// Takes pool k's next block for a request of size, its lock held, writes
// its guard word and releases the lock. Always inlined for the traced
// capture (see takeBlock). Blocks found written after their
// release are told here unless the caller tells them (kDefer).
//
// Default build: a guarded allocation (guard: the chain that allocated it)
// then moves to a slot of the guarded area when one is free; its bytes of
// rounding were written there under the lock.
template <bool kDefer>
MEM_ALWAYS_INLINE void *handOut(uint16_t k, uint32_t size, const MemTraceAddr *pre, bool sampled,
                                kovamem::FreedFindings *found, const MemTraceAddr *guard) {
    const MemPool *p = &kovamem::memPool(k);
    MemBlockHdr *const h = takeBlock(k, size, pre, sampled);
    uint8_t *const data = h->data;
    if (__builtin_expect(guard != nullptr, 0)) {
        uint8_t *guarded = kovamem::memGuardedTake(h, size, guard);
        if (guarded != nullptr) {
            kovamem::memUnlockPool(k);
            if (!kDefer && __builtin_expect(found->count != 0, 0)) logFound(*found, pre);
            return guarded;
        }
    }
    // The guard is in place before the lock is given back: a report, a
    // snapshot or memValidate, which hold every lock, checks every busy
    // block's guard. Its line was fetched before the lock was taken.
    kovamem::memPutBlockGuard(data, kovamem::memGuardOffset(size, p->blockSize), kovamem::memSlotStride(p->blockSize));
    kovamem::memUnlockPool(k);
    kovamem::memShadowTake(data, size);
    if (!kDefer && __builtin_expect(found->count != 0, 0)) logFound(*found, pre);
    return data;
}

// The pool part of an allocation of size bytes (align: see allocate): the
// first pool that holds the size, from the table built at initialisation;
// every later pool holds it too. Each built pool is followed by the pools
// grown for it (default build), and when all of them are busy, by one grown
// now if the budget allows. NULL: no pool could serve. pre: the chain
// captured for a traced allocation; guard: for a guarded one.
// Default build: blocks found written after their release on the way are
// quarantined, and told once the lock is released, or left in found for
// the caller (kDefer).
template <bool kDefer>
MEM_ALWAYS_INLINE void *fromPools(uint32_t size, uint32_t align, const MemTraceAddr *pre, bool sampled,
                                  const MemTraceAddr *guard, kovamem::FreedFindings &found) {
    MemMgrDetails &m = memMgrDetails;
    // Default build: an untraced, unguarded allocation of no alignment of
    // its own comes from the thread's magazines of its first pool's chain
    // (the built pool and the pools grown for it) when that pool has
    // magazines and the chain a block to give.
    if (kovamem::config_magazines && align == 0 && pre == nullptr && guard == nullptr) {
        const uint16_t o = kovamem::memFirstPoolOfClass[kovamem::memSizeClass(size)];
        if (o < kovamem::memPoolsBuilt && kovamem::memMagSize[o] != 0) {
            uint8_t *q = kovamem::memMagTake<false>(o, size, &found);
            if (!kDefer && __builtin_expect(found.count != 0, 0)) {
                logFound(found, pre);
                found.count = 0;
            }
            if (q != nullptr) return q;
        }
    }
    // Every pool of the class full: once more after the free blocks
    // threads' magazines hold came back, if any did (default build).
    const uint16_t first = kovamem::memFirstPoolOfClass[kovamem::memSizeClass(size)];
    for (bool again = kovamem::config_magazines;; again = false) {
        for (uint16_t o = first; o < kovamem::memPoolsBuilt; ++o) {
            // A chain's pools share the stride, and grown areas start on a page.
            // A grown pool is published by its link (release order), so what
            // was set up for it is seen once the link is.
            if (align != 0 && !poolAligned(kovamem::memPool(o), align)) continue;
            for (uint16_t k = o; k != kovamem::kNoPool; k = __atomic_load_n(&kovamem::memPoolGeom[k].nextSame, __ATOMIC_ACQUIRE)) {
                MemPool *p = &kovamem::memPool(k);
                // The guard word goes into a block released long ago, in a line
                // that is rarely cached: start fetching it before waiting for
                // the lock (the block is most likely the one the hint names).
                // Default build: a pool whose hint says it is empty is passed
                // over without the lock, as a full pool is.
                uint8_t *const hint = kovamem::memLoad(kovamem::memPoolHot[k].next);
                if (!kovamem::config_classic && hint == nullptr) continue;
                __builtin_prefetch(hint + kovamem::memGuardOffset(size, p->blockSize), 1);
                kovamem::memLockPool(k);
                if (headFilled(p)) kovamem::memScreenFreeHead(p, &found);
                if (p->freeCount == 0) {
                    kovamem::memUnlockPool(k);
                    if (!kDefer && __builtin_expect(found.count != 0, 0)) {  // told before the notes they cause
                        logFound(found, pre);
                        found.count = 0;
                    }
                    if (kovamem::config_classic) noteFullPool(k);
                    continue;
                }
                return handOut<kDefer>(k, size, pre, sampled, &found, guard);
            }
            // Every pool of the chain was busy: one grown for it, if any.
            if (!kovamem::config_classic && kovamem::memLoad(kovamem::memGrowth.on) != 0) {
                memLock(m.lock);
                const int k = takeFromChainLocked(o, &found);
                memUnlock(m.lock);
                if (k >= 0) return handOut<kDefer>(static_cast<uint16_t>(k), size, pre, sampled, &found, guard);
            }
            if (!kDefer && __builtin_expect(found.count != 0, 0)) {
                logFound(found, pre);
                found.count = 0;
            }
            if (!kovamem::config_classic) noteFullPool(o);
        }
        if (!again || !kovamem::memMagsReclaim(first)) return nullptr;
    }
}

// Default build: an allocation made by a signal handler that interrupted
// its thread while it held a lock (core/locks.h). It waits for no lock and
// takes no magazine: the first pool of the class, or of a larger one, whose
// lock is free serves, when its next block needs no other lock to be taken
// (a never-used one, or a free-list head neither filled at its release nor
// keeping a trace record). The block is untraced and unguarded. Else NULL,
// noted: the C heap is no way out, since the interrupted code may be
// inside it (the C library's own calls under a lock, pthread_setspecific's).
__attribute__((noinline)) void *allocInHandler(uint32_t size, uint32_t align) {
    kovamem::FreedFindings found;
    found.count = 0;
    for (uint16_t o = kovamem::memFirstPoolOfClass[kovamem::memSizeClass(size)]; o < kovamem::memPoolsBuilt; ++o) {
        if (align != 0 && !poolAligned(kovamem::memPool(o), align)) continue;
        for (uint16_t k = o; k != kovamem::kNoPool; k = __atomic_load_n(&kovamem::memPoolGeom[k].nextSame, __ATOMIC_ACQUIRE)) {
            if (kovamem::memLoad(kovamem::memPoolHot[k].next) == nullptr || !kovamem::memTryPoolLock(k)) continue;
            const MemPool *p = &kovamem::memPool(k);
            const bool plain = kovamem::memPoolHasFresh(*p, kovamem::memPoolHot[k]) ||
                               (p->freeHead != nullptr && !headFilled(p) && p->freeHead->stackRec == nullptr);
            if (plain) return handOut<true>(k, size, nullptr, false, &found, nullptr);
            kovamem::memUnlockPool(k);
        }
    }
    kovamem::memNoteFallback(kovamem::kNoteHandlerAlloc, size);
    return nullptr;
}

// The allocation of KovaMemAlloc (align 0) and KovaMemAllocAligned (align
// above the blocks' own alignment: only pools whose every block is that
// aligned serve, and the C heap honours it). Always inlined into both, so
// that each capture sits in the body of the public operation.
MEM_ALWAYS_INLINE void *allocate(uint32_t size, uint32_t align) {
    if (size == 0) {
        memLogPrint(" EXIT: Allocation for Zero Bytes \n");
        MemTraceAddr trace[MEM_TRACE_ENTRIES];
        memCaptureTrace(trace);
        printStackDetails(trace, 0, 0, 0);
        return nullptr;
    }
    MemMgrDetails &m = memMgrDetails;
    if (m.initialized == 0 || size > kovamem::memLargestBlock()) return sysAlloc(size, kovamem::kNoteSysAlloc, align);
    if (kovamem::memInHandler()) return allocInHandler(size, align);

    // With tracing on, the call chain of a sampled allocation is captured
    // here, before the lock.
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    const bool tracing = kovamem::memLoad(m.stackData->logStack) == 1;
    const bool sampled = !tracing || kovamem::memSampleThis();
    const bool traced = tracing && sampled;
    // Default build: a guarded allocation always keeps the chain that made it.
    const bool guard = kovamem::memGuardThis(size, align);
    if (traced || guard) memCaptureTrace(trace);
    kovamem::FreedFindings found;
    found.count = 0;
    void *p = fromPools<false>(size, align, traced ? trace : nullptr, sampled, guard ? trace : nullptr, found);
    return p != nullptr ? p : sysAlloc(size, kovamem::kNoteMemFull, align);
}

// Default build: the quick way of an allocation, tried first. An
// untraced, unguarded request served from a block already in the thread's
// allocation magazine (memMagTake<true>), with no call: refills, checks of
// the fill and captures stay on the full way. NULL, with nothing changed,
// sends the request the full way, which decides it all again. (The public
// function still saves its registers on entry: its traced path's capture
// must sit in its body, and the compiler does not move that past the
// quick way's return.)
MEM_ALWAYS_INLINE void *allocQuick(uint32_t size) {
    if (!kovamem::config_magazines) return nullptr;
    const MemMgrDetails &m = memMgrDetails;
    // size - 1 wraps for 0, which the full way tells.
    if (kovamem::memLoad(m.initialized) == 0 || size - 1u >= kovamem::memLargestBlock()) return nullptr;
    if (kovamem::memInHandler() || kovamem::memLoad(m.stackData->logStack) == 1 ||
        kovamem::memLoad(kovamem::memGuardedRate) != 0)
        return nullptr;
    const uint16_t o = kovamem::memFirstPoolOfClass[kovamem::memSizeClass(size)];
    if (o >= kovamem::memPoolsBuilt || kovamem::memMagSize[o] == 0) return nullptr;
    return kovamem::memMagTake<true>(o, size, nullptr);
}

}  // namespace

void *kovamem::memAllocMoved(uint32_t size, const MemTraceAddr *pre, bool sampled, FreedFindings *found) {
    found->count = 0;
    if (size > memLargestBlock()) return nullptr;
    return fromPools<true>(size, 0, pre, sampled, nullptr, *found);
}

extern "C" {

void *KovaMemAlloc(uint32_t size) {
    void *const p = allocQuick(size);
    return __builtin_expect(p != nullptr, 1) ? p : allocate(size, 0);
}

void *KovaMemAllocAligned(uint32_t size, uint32_t alignment) {
    if (alignment == 0 || (alignment & (alignment - 1)) != 0) {
        memLogPrint(" EXIT: ERROR: KovaMemAllocAligned: alignment %u is not a power of two\n", alignment);
        return nullptr;
    }
    return allocate(size, alignment <= kBlockAlign ? 0 : alignment);
}

void *KovaMemCalloc(uint32_t count, uint32_t size) {
    // Classic: the product wraps modulo 2^32 without a check, and a wrapped
    // product is served (and zeroed) at its wrapped size. Default: a product
    // beyond 32 bits is refused, as the C library's calloc refuses it.
    uint32_t n;
    if (__builtin_mul_overflow(count, size, &n) && !kovamem::config_classic) {
        memLogPrint(" EXIT: ERROR: KovaMemCalloc: count %u times size %u overflows 32 bits\n", count, size);
        return nullptr;
    }
    void *p = KovaMemAlloc(n);
    if (p != nullptr) memset(p, 0, n);
    return p;
}

}  // extern "C"
