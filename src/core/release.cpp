// Release and reallocation: the guard check, the quarantine of damaged
// blocks, the hand-off of foreign addresses to the C heap.
#include <stdlib.h>
#include <string.h>

#include "../internal.h"
#include "magazine.h"

using kovamem::config_classic;
using kovamem::memCountUp;

namespace {

// Default build: a reallocation that stays in its block records the new
// size, so the guard follows the caller's bytes and a later move copies
// all of them. A block whose guard is already damaged keeps its size and
// guard as they are, so that its release still reports the damage.
void resizeInPlace(MemPool *pool, MemBlockHdr *hdr, uint32_t size) {
    const uint32_t s = pool->blockSize;
    const uint32_t old = hdr->reqSize;
    if (size == old || !kovamem::memGuardIntact(hdr->data + kovamem::memGuardOffset(old, s))) return;
    kovamem::memStore(hdr->reqSize, size);
    pool->reqBytes += size - old;  // wraps back exactly: reqBytes is a sum of sizes
    kovamem::memPutGuard(hdr->data + kovamem::memGuardOffset(size, s));
    kovamem::memShadowResize(hdr->data, old, size, kovamem::memSlotStride(s));
}

// Default build: a block from the C heap, handed to realloc. Size 0 leaves
// it as it is, as for a pool block (the C library would free it).
void *sysRealloc(void *ptr, uint32_t size) {
    if (size == 0) return ptr;
    const uintptr_t old = reinterpret_cast<uintptr_t>(ptr);  // logged after the call
    void *p = kovamem::memHeap.realloc(ptr, size);
    if (p != nullptr) memCountUp(memMgrDetails.sysReallocCount);
    kovamem::memNoteSysRealloc(old, size);
    return p;
}

// A released block whose guard word, or front guard (underrun, default
// build), is damaged: reported and pushed on the quarantine list, where it
// stays until the cleanup. Default build: the
// block and the chain that allocated it go to *note (when given), for the
// entries written once the lock is released. Kept out of line so that the
// release of an intact block carries none of its code.
__attribute__((noinline, cold)) void quarantine(MemPool *pool, MemBlockHdr *hdr, MemStackRec *r, const uint8_t *slot,
                                                uint32_t size, bool underrun, bool overrun, kovamem::ReleaseNote *note) {
    MemMgrDetails &m = memMgrDetails;
    memLogPrint(" CRIT: KovaMemFreeNode: Ptr 0x%" PRIxPTR " from Pool %d and Block %d might be corrupted\n",
                reinterpret_cast<uintptr_t>(hdr->data), hdr->poolIndex, hdr->blockIndex);
    if (note != nullptr) {
        note->data = reinterpret_cast<uintptr_t>(hdr->data);
        note->size = size;
        note->pool = hdr->poolIndex;
        note->block = hdr->blockIndex;
        note->front = underrun;
        note->behind = overrun;
        note->traced = r != nullptr;
        if (r != nullptr) memcpy(note->alloc, r->trace, sizeof note->alloc);
    }
    kovamem::memLockLeaf(kovamem::memQuarantineLock);
    hdr->next = m.corruptList;
    // Stored atomically: the cleanup peeks at the list without the lock.
    kovamem::memStore(m.corruptList, hdr);
    ++m.corruptCount;
    kovamem::memUnlockLeaf(kovamem::memQuarantineLock);
    ++pool->corruptCount;
    kovamem::memSetState(hdr->poolIndex, hdr->blockIndex, kovamem::kBlockDamaged);
    ++kovamem::memPoolHot[hdr->poolIndex].damaged;
    kovamem::memPoolGeom[hdr->poolIndex].serial[hdr->blockIndex] = 0;
    memDetachStackRec(hdr, r);  // leaves hdr->stackRec NULL
    memLogPrint(" ERROR: KovaMemFreeNode: FAILED to free the Ptr 0x%" PRIxPTR "\n", reinterpret_cast<uintptr_t>(slot));
}

// The release of one busy block found by the lookup; its pool's lock is
// held. Inlined into KovaMemFree, the path of every release.
//
// Default build, with the write-after-release check on: an intact block's
// bytes are filled with kFreedByte and its serial set to kFreeFilled; with
// tracing on too and the release's chain given (release), the block keeps
// its trace record, rewritten with that chain, on the held list. A block
// with a damaged guard is described in *note when note is given.
MEM_ALWAYS_INLINE int freeNode(MemPool *pool, MemBlockHdr *hdr, MemBlockHdr *prev,
                               const MemTraceAddr *release = nullptr, kovamem::ReleaseNote *note = nullptr) {
    MemMgrDetails &m = memMgrDetails;
    const uint32_t s = pool->blockSize;
    MemStackRec *r = hdr->stackRec;

    kovamem::PoolGeom &g = kovamem::memPoolGeom[hdr->poolIndex];
    if (config_classic) {
        // Off the busy list. The next header's index from its place in the
        // array, so that its cache line is not read.
        if (hdr->next != nullptr) {
            const uint16_t nj = static_cast<uint16_t>(g.hdrs.indexOf(hdr->next));
            g.busyPrev[nj] = kovamem::memBackLink(prev != nullptr ? prev->blockIndex : nj);
        }
        g.busyPrev[hdr->blockIndex] = kovamem::kNotBusy;
        if (prev != nullptr) {
            prev->next = hdr->next;
            if (hdr->next == nullptr) pool->busyTail = prev;
        } else {
            pool->busyHead = hdr->next;
            if (hdr->next == nullptr) pool->busyTail = nullptr;
        }
    } else {
        (void)prev;  // no busy list: free now, or quarantined below
        // A release from a thread's magazine may have ended the block since
        // the lookup: of the two, the first to change its state wins.
        if (!kovamem::memSwapState(hdr->poolIndex, hdr->blockIndex, kovamem::kBlockLive, kovamem::kBlockFree)) return -1;
    }
    kovamem::memBusyDown(*pool, kovamem::memPoolHot[hdr->poolIndex]);
    pool->reqBytes -= hdr->reqSize;

    uint8_t *slot = kovamem::memSlotData(*pool, hdr->blockIndex);
    const uint32_t size = hdr->reqSize;
    // Default build: a block that stands for a guarded one ends its slot
    // (checked there, never filled: its page becomes inaccessible) and gets
    // its own slot back, whose bytes and guard it never touched.
    uint8_t *const shown = hdr->data;
    bool intact;
    bool behind = true;  // the guard word after the block is intact
    bool front = true;
    bool filled = false;
    if (kovamem::memIsGuardedHdr(hdr, slot)) {
        intact = behind = kovamem::memGuardedGive(hdr, release);
    } else {
        behind = kovamem::memGuardIntact(slot + kovamem::memGuardOffset(size, s));
        front = kovamem::memFrontIntact(slot, hdr->blockIndex);
        intact = behind && front;
        if (!config_classic) {
            filled = intact && kovamem::memLoad(kovamem::memFreeCheck) != 0;
            if (__builtin_expect(filled, 0)) {
                kovamem::memFillFreed(slot, s);
                g.serial[hdr->blockIndex] = kovamem::kFreeFilled;
            }
        }
        kovamem::memShadowGive(slot, kovamem::memSlotStride(s));
    }
    kovamem::memStore(hdr->reqSize, 0u);
    hdr->opaque = 0;

    if (__builtin_expect(!intact, 0)) {
        quarantine(pool, hdr, r, shown, size, !front, !behind, note);
        hdr->data = slot;
        return 0;
    }
    if (!config_classic) hdr->data = slot;
    if (pool->freeTail != nullptr) {
        pool->freeTail->next = hdr;
    } else {
        pool->freeHead = hdr;
        // No longer empty; a pool with never-used blocks hands those out first.
        kovamem::PoolHot &st = kovamem::memPoolHot[hdr->poolIndex];
        if (!config_classic && !kovamem::memPoolHasFresh(*pool, st)) kovamem::memStore(st.next, slot);
    }
    pool->freeTail = hdr;
    hdr->next = nullptr;
    ++pool->freeCount;
    const bool hold = !config_classic && filled && r != nullptr && release != nullptr && r->hdr == hdr;
    if (hold) {
        memHoldStackRec(hdr, r, release);  // keeps both chains' ids too
    } else {
        if (r != nullptr) memDetachStackRec(hdr, r);  // leaves hdr->stackRec NULL
        // A filled block's ids name its last release's chains, or none.
        uint32_t *ids = kovamem::memChainIds[hdr->poolIndex];
        if (filled && ids != nullptr) ids[2 * hdr->blockIndex] = ids[2 * hdr->blockIndex + 1] = 0;
    }
    if (config_classic) ++m.memFreeCount;  // default build: summed from the pools (memSumCounts)
    return 1;
}

// Default build: what a release of pool address a (pool k) that is no busy
// block's start met; pool k's lock is held. j: its slot, or -1 when a
// lies inside a slot.
__attribute__((noinline, cold)) void describeBadRelease(int k, int32_t j, uintptr_t a, kovamem::BadReleaseNote *note) {
    const MemPool &p = kovamem::memPool(static_cast<unsigned>(k));
    const kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
    note->pool = k;
    note->heldRelease = note->heldAlloc = false;
    if (j < 0) {
        const uintptr_t off = a - reinterpret_cast<uintptr_t>(p.area);
        note->kind = kovamem::kBadInside;
        note->block = static_cast<int32_t>(off / g.stride);
        note->offset = static_cast<int32_t>(off % g.stride);
        // A live traced block keeps the chain that allocated it; its record
        // is read under the trace-table lock, as every record is.
        const int32_t b = note->block;
        if (kovamem::memGetState(static_cast<unsigned>(k), static_cast<uint32_t>(b)) == kovamem::kBlockLive && !kovamem::memInGuarded(reinterpret_cast<uintptr_t>(g.hdrs[b].data))) {
            kovamem::memLockTrace();
            const MemStackRec *rec = g.hdrs[b].stackRec;
            note->heldAlloc = rec != nullptr;
            if (rec != nullptr) memcpy(note->alloc, rec->trace, sizeof note->alloc);
            kovamem::memUnlockTrace();
        }
        return;
    }
    note->block = j;
    note->offset = 0;
    note->kind = kovamem::kBadFree;
    // Whether the block is quarantined is known from its pool's count
    // (under the pool lock) before the shared list is walked.
    if (p.corruptCount != 0) {
        bool quarantined = false;
        kovamem::memLockLeaf(kovamem::memQuarantineLock);
        int limit = kovamem::kMaxPools * (kovamem::kMaxBlockCount + 1);
        for (const MemBlockHdr *h = memMgrDetails.corruptList; h != nullptr && --limit > 0; h = h->next) {
            if (h == &g.hdrs[j]) {
                quarantined = true;
                break;
            }
        }
        kovamem::memUnlockLeaf(kovamem::memQuarantineLock);
        if (quarantined) {
            note->kind = kovamem::kBadQuarantined;
            return;
        }
    }
    // A block standing for a guarded one is busy elsewhere: its record is
    // that allocation's. A free block's held record is read under the
    // trace-table lock: another pool's allocation may take it back.
    if (kovamem::memInGuarded(reinterpret_cast<uintptr_t>(g.hdrs[j].data))) return;
    kovamem::memLockTrace();
    const MemStackRec *held = g.hdrs[j].stackRec;
    const uint32_t *ids = kovamem::memChainIds[k];
    // The chain store keeps both chains of a block released filled.
    if (ids != nullptr && g.serial[j] == kovamem::kFreeFilled)
        note->heldAlloc = kovamem::memDepotGet(ids[2 * j], note->alloc) == kovamem::kChainKept;
    if (ids != nullptr && g.serial[j] == kovamem::kFreeFilled &&
        kovamem::memDepotGet(ids[2 * j + 1], note->release) == kovamem::kChainKept) {
        note->heldRelease = true;  // the chain store kept its release's chain
    } else if (held != nullptr) {  // a free block keeps the chain of its release
        note->heldRelease = true;
        memcpy(note->release, held->trace, sizeof note->release);
    }
    kovamem::memUnlockTrace();
}

// Default build: the release of an address of the guarded area, inlined
// into KovaMemFree so that its chain is captured in the release's body. The
// chain is always captured: the slot keeps it for a later fault.
MEM_ALWAYS_INLINE uint8_t releaseGuarded(void *ptr) {
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    memCaptureTrace(trace);
    MemFindResult f;
    kovamem::ReleaseNote note;
    kovamem::BadReleaseNote bad;
    // The slot's block is guarded by its pool's lock; a slot taken by
    // another pool meanwhile is found no busy block of this one.
    const uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    const int k = kovamem::memGuardedPoolOf(a);
    if (k >= 0) kovamem::memLockPool(static_cast<unsigned>(k));
    if (k >= 0 && kovamem::memGuardedFind(a, &f, k) == MEM_FIND_FOUND) {
        const int result = freeNode(f.pool, f.hdr, f.prev, trace, &note);
        if (result >= 0) {
            kovamem::memUnlockPool(static_cast<unsigned>(k));
            if (__builtin_expect(result == 0, 0)) kovamem::memLogDamageChains("KovaMemFree", note, trace);
            return static_cast<uint8_t>(result);
        }
    }
    kovamem::memGuardedDescribe(a, &bad);
    if (k >= 0) kovamem::memUnlockPool(static_cast<unsigned>(k));
    kovamem::memLogBadRelease("KovaMemFree", ptr, bad, trace);
    return MEM_FREE_NOT_BUSY;
}

// Classic build: the reallocation as described, under the manager lock. The
// lock is not recursive: it is dropped around the allocation and the old
// block looked up again afterwards, since another thread may have released
// it meanwhile.
void *classicRealloc(void *ptr, uint32_t size) {
    MemMgrDetails &m = memMgrDetails;
    MemFindResult f;
    memLock(m.lock);
    if (memFindBlock(ptr, &f) != MEM_FIND_FOUND) {
        memUnlock(m.lock);
        return nullptr;
    }
    if (size <= f.pool->blockSize) {
        memUnlock(m.lock);
        return ptr;
    }
    const uint32_t old = f.hdr->reqSize;
    const uint32_t copy = old < size ? old : size;
    memUnlock(m.lock);
    void *fresh = KovaMemAlloc(size);
    memLock(m.lock);
    if (fresh == nullptr) {
        memUnlock(m.lock);
        return nullptr;
    }
    ++m.memReallocCount;
    ++kovamem::memHot.reallocs;
    memcpy(fresh, ptr, copy);
    if (memFindBlock(ptr, &f) == MEM_FIND_FOUND) (void)freeNode(f.pool, f.hdr, f.prev);
    memUnlock(m.lock);
    return fresh;
}

// Default build: a reallocation made by a signal handler that interrupted
// its thread while it held a lock (core/locks.h). A busy pool block moves
// (the new block as a handler's allocation takes one, the old one's release
// waits as a handler's release does). Anything else would need a lock or
// the C heap (a guarded block, a C-heap block, an address that is no busy
// block's start): NULL, the block left as it was, and said so.
void *reallocInHandler(void *ptr, uint32_t size) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    const int k = kovamem::memPoolOfAddress(a);
    const int32_t j = k >= 0 ? kovamem::memSlotOf(k, a) : -1;
    if (j < 0 || kovamem::memGetState(static_cast<unsigned>(k), static_cast<uint32_t>(j)) != kovamem::kBlockLive ||
        kovamem::memLoad(kovamem::memPoolGeom[k].hdrs[j].data) != ptr) {
        memLogPrint(" ERROR: KovaMemReAlloc: Ptr 0x%" PRIxPTR
                    " reallocated from a signal handler inside the library is no busy pool block: NULL returned, "
                    "nothing changed\n",
                    a);
        return nullptr;
    }
    if (size == 0) return ptr;
    const uint32_t old = kovamem::memLoad(kovamem::memPoolGeom[k].hdrs[j].reqSize);
    void *fresh = KovaMemAlloc(size);
    if (fresh == nullptr) return nullptr;
    memcpy(fresh, ptr, old < size ? old : size);
    kovamem::memDeferRelease(ptr);
    return fresh;
}

// Default build: the quick way of a release, tried first. A live,
// untraced block of a built pool with magazines, with intact guards, into
// the thread's release magazine when that needs no call (memMagGive<true>:
// no seal, no fill); false, with nothing changed, sends the release the
// full way, which decides it all again.
MEM_ALWAYS_INLINE bool releaseQuick(void *ptr) {
    if (!kovamem::config_magazines || ptr == nullptr || kovamem::memLoad(memMgrDetails.initialized) == 0 ||
        kovamem::memInHandler())
        return false;
    const uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    const int k = kovamem::memBuiltPoolOfAddress(a);
    if (k < 0 || kovamem::memMagSize[k] == 0) return false;
    const int32_t j = kovamem::memSlotOf(k, a);
    return j >= 0 &&
           kovamem::memMagGive<true>(static_cast<unsigned>(k), static_cast<uint16_t>(j), static_cast<uint8_t *>(ptr)) == 1;
}

}  // namespace

// memcheck is told of a free-like release of an address that is no block,
// which it reports as an invalid free with what it knows of the address.
// ASan has no such request: a read of the address, which it has poisoned
// since the release, reports the second release; an address inside a busy
// block is reported as an invalid access of one byte there.
__attribute__((noinline)) void kovamem::memShadowBadRelease(const void *ptr) {
    if (!memShadowReportsBadRelease) return;
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_FREELIKE_BLOCK(ptr, 0);
#endif
#if KOVAMEM_ASAN
    if (__asan_address_is_poisoned(ptr))
        (void)*static_cast<const volatile uint8_t *>(ptr);
    else
        __asan_report_error(__builtin_return_address(0), __builtin_frame_address(0), __builtin_frame_address(0),
                            const_cast<void *>(ptr), 0, 1);
#endif
    (void)ptr;
}

uint8_t kovamem::memFreeCheck;

extern "C" {

bool memShadowReportsBadRelease = true;

// Default build: switches the write-after-release check. Blocks released
// while it is on are checked when they are taken again, even if it has
// been switched off since; the classic build checks nothing.
void KovaMemSetFreeCheck(uint8_t on) { kovamem::memStore(kovamem::memFreeCheck, static_cast<uint8_t>(on != 0)); }

// Default build: the block's live pool record, whichever record the caller
// names (the published table's, or the lookup's).
int KovaMemFreeNode(MemPool *pool, MemBlockHdr *hdr, MemBlockHdr *prev) {
    const int result = freeNode(config_classic ? pool : &kovamem::memPool(hdr->poolIndex), hdr, prev);
    return result < 0 ? 0 : result;  // a block another release ended first: nothing done
}

uint8_t KovaMemFree(void *ptr) {
    if (releaseQuick(ptr)) return 1;
    if (ptr == nullptr) return 1;
    MemMgrDetails &m = memMgrDetails;
    if (m.initialized == 0) {
        memCountUp(m.sysFreeCount);
        memLogPrint(" EXIT: ERROR: KovaMemFree: Mem Not Initialized and going for System free with Ptr 0x%" PRIxPTR "\n",
                    reinterpret_cast<uintptr_t>(ptr));
        kovamem::memHeap.free(ptr);
        return 1;
    }
    // Pool ranges and slots are fixed at initialisation: the pool and slot,
    // or that there is none, are known without the lock, and the header,
    // back-link and guard line the release reads are fetched while the lock
    // is taken. The size read here only places that prefetch; the check
    // itself reads it again under the lock.
    //
    // Default build: every chain a fault entry names is captured here, in
    // the body of the release, so that its first frame lies in this
    // function and its second is the caller. The chain of a release that a
    // free block keeps (the write-after-release check with tracing on) is
    // captured before the lock; the others only on the faults' own paths.
    // Default build: a signal handler's release while its thread holds a
    // lock waits until that lock is given back (core/locks.h), a C-heap
    // block's too: the interrupted code may be inside the C heap.
    if (kovamem::memInHandler()) {
        kovamem::memDeferRelease(ptr);
        return 1;
    }
    const uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
    const int k = kovamem::memPoolOfAddress(a);
    if (k >= 0) {
        MemTraceAddr trace[MEM_TRACE_ENTRIES];
        kovamem::BadReleaseNote bad;
        const int32_t j = kovamem::memSlotOf(k, a);
        if (j < 0) {
            if (!config_classic) {
                kovamem::memLockPool(static_cast<unsigned>(k));
                describeBadRelease(k, j, a, &bad);
                kovamem::memUnlockPool(static_cast<unsigned>(k));
                memCaptureTrace(trace);
                kovamem::memLogBadRelease("KovaMemFree", ptr, bad, trace);
            }
            kovamem::memShadowBadRelease(ptr);
            return MEM_FREE_NOT_BUSY;
        }
        // Default build: into the thread's magazine when the pool has them
        // and the block is a live untraced one with intact guards.
        if (kovamem::config_magazines && kovamem::memMagSize[k] != 0 &&
            kovamem::memMagGive<false>(static_cast<unsigned>(k), static_cast<uint16_t>(j), static_cast<uint8_t *>(ptr)) == 1)
            return 1;
        const MemTraceAddr *pre = nullptr;
        if (!config_classic && kovamem::memLoad(kovamem::memFreeCheck) != 0 &&
            kovamem::memLoad(m.stackData->logStack) == 1) {
            memCaptureTrace(trace);
            pre = trace;
        }
        const kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
        __builtin_prefetch(config_classic ? static_cast<const void *>(&g.busyPrev[j]) : &g.state[kovamem::memStateAt(j)], 1);
        const uint32_t req = kovamem::memLoad(g.hdrs[j].reqSize);
        __builtin_prefetch(static_cast<uint8_t *>(ptr) + kovamem::memGuardOffset(req, kovamem::memPool(static_cast<unsigned>(k)).blockSize));
        MemFindResult f;
        kovamem::ReleaseNote note;
        kovamem::memLockPool(static_cast<unsigned>(k));
        if (kovamem::memFindSlot(k, j, &f) == MEM_FIND_FOUND) {
            const int result = freeNode(f.pool, f.hdr, f.prev, pre, config_classic ? nullptr : &note);
            if (result >= 0) {
                kovamem::memUnlockPool(static_cast<unsigned>(k));
                if (!config_classic && __builtin_expect(result == 0, 0)) {
                    if (pre == nullptr) memCaptureTrace(trace);
                    kovamem::memLogDamageChains("KovaMemFree", note, trace);
                }
                return static_cast<uint8_t>(result);
            }
        }
        if (!config_classic) describeBadRelease(k, j, a, &bad);
        kovamem::memUnlockPool(static_cast<unsigned>(k));
        if (!config_classic) {
            if (pre == nullptr) memCaptureTrace(trace);
            kovamem::memLogBadRelease("KovaMemFree", ptr, bad, trace);
        }
        kovamem::memShadowBadRelease(ptr);
        return MEM_FREE_NOT_BUSY;
    }
    if (!config_classic && kovamem::memInGuarded(a)) return releaseGuarded(ptr);
    memCountUp(m.sysFreeCount);
    kovamem::memHeap.free(ptr);
    return 1;
}

void *KovaMemReAlloc(void *ptr, uint32_t size) {
    MemMgrDetails &m = memMgrDetails;
    if (m.initialized == 0) {
        const uintptr_t old = reinterpret_cast<uintptr_t>(ptr);  // logged after the call
        void *p = kovamem::memHeap.realloc(ptr, size);
        if (p != nullptr) memCountUp(m.sysReallocCount);
        memLogPrint(" EXIT: ERROR: KovaMemReAlloc: Mem Not Initialized and going for System realloc with Ptr 0x%" PRIxPTR
                    " and size %d\n",
                    old, size);
        return p;
    }
    if (config_classic) return classicRealloc(ptr, size);
    if (ptr == nullptr) return KovaMemAlloc(size);
    if (kovamem::memInHandler()) return reallocInHandler(ptr, size);
    // Default build: whether the block must move is known without the lock
    // (pools never change after initialisation); only then is the chain of
    // the new allocation captured, here, before the lock.
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    const MemTraceAddr *pre = nullptr;
    bool sampled = true;
    // A guarded block changes size only by moving (its end meets the
    // inaccessible page); the chain of that release is its slot's.
    MemTraceAddr guardRelease[MEM_TRACE_ENTRIES];
    const bool guardedOld = kovamem::memInGuarded(reinterpret_cast<uintptr_t>(ptr));
    if (__builtin_expect(guardedOld, 0)) memCaptureTrace(guardRelease);
    if (kovamem::memLoad(m.stackData->logStack) == 1) {
        const int k = kovamem::memPoolOfAddress(reinterpret_cast<uintptr_t>(ptr));
        if ((k >= 0 && size > kovamem::memPool(static_cast<unsigned>(k)).blockSize) || guardedOld) {
            sampled = kovamem::memSampleThis();
            if (sampled) {
                memCaptureTrace(trace);
                pre = trace;
            }
        }
    }
    MemFindResult f;
    int held;
    const int found = kovamem::memLockAndFind(ptr, &f, &held);
    if (found == MEM_FIND_NOT_MANAGED) {
        kovamem::memUnlockFound(held);
        return sysRealloc(ptr, size);
    }
    // The block is claimed (resizing) while the lock is held, so that a
    // release from a thread's magazine cannot end it meanwhile: that
    // release takes the locked way and waits.
    if (found != MEM_FIND_FOUND ||
        !kovamem::memSwapState(f.hdr->poolIndex, f.hdr->blockIndex, kovamem::kBlockLive, kovamem::kBlockResizing)) {
        // A pool or guarded address that is no busy block's start: told as
        // an invalid release is, with the caller's chain; nothing changes.
        kovamem::BadReleaseNote bad;
        const uintptr_t a = reinterpret_cast<uintptr_t>(ptr);
        const int k = kovamem::memPoolOfAddress(a);
        if (k >= 0)
            describeBadRelease(k, kovamem::memSlotOf(k, a), a, &bad);
        else
            kovamem::memGuardedDescribe(a, &bad);
        kovamem::memUnlockFound(held);
        memCaptureTrace(trace);
        kovamem::memLogBadRelease("KovaMemReAlloc", ptr, bad, trace);
        return nullptr;
    }
    if (size <= f.pool->blockSize && (!guardedOld || size == 0 || size == f.hdr->reqSize)) {
        if (size != 0) resizeInPlace(f.pool, f.hdr, size);
        kovamem::memSetState(f.hdr->poolIndex, f.hdr->blockIndex, kovamem::kBlockLive);
        kovamem::memUnlockFound(held);
        return ptr;
    }
    // A move. The new block is taken as an allocation takes one, with the
    // old block's pool lock released, so that only one pool lock is ever
    // held; the old block is then looked up again under its lock and known
    // by its allocation serial: if another thread released it meanwhile
    // (whatever took its place since), nothing is copied or released and
    // the new block is given back. The old block is released only after its
    // bytes are copied, and nobody sees the new one before they arrive.
    // Blocks found written after their release, and a damaged old block,
    // are told once the lock is released, with chains captured here.
    const uint32_t old = f.hdr->reqSize;
    const uint32_t copy = old < size ? old : size;
    const uint64_t serial = kovamem::memPoolGeom[f.hdr->poolIndex].serial[f.hdr->blockIndex];
    kovamem::memSetState(f.hdr->poolIndex, f.hdr->blockIndex, kovamem::kBlockLive);
    kovamem::memUnlockFound(held);
    kovamem::FreedFindings freed;
    kovamem::ReleaseNote note;
    void *fresh = kovamem::memAllocMoved(size, pre, sampled, &freed);
    const bool pooled = fresh != nullptr;
    if (__builtin_expect(freed.count != 0, 0)) {
        if (pre == nullptr) memCaptureTrace(trace);
        kovamem::memLogFreedFindings(freed, trace);
    }
    if (!pooled) {  // the C heap: not called under any lock
        fresh = kovamem::memHeap.malloc(size);
        if (fresh != nullptr) memCountUp(m.sysMallocCount);
        kovamem::memNoteFallback(size > kovamem::memLargestBlock() ? kovamem::kNoteSysAlloc : kovamem::kNoteMemFull,
                                 size);
        if (fresh == nullptr) return nullptr;
    }
    if (kovamem::memLockAndFind(ptr, &f, &held) == MEM_FIND_FOUND &&
        kovamem::memPoolGeom[f.hdr->poolIndex].serial[f.hdr->blockIndex] == serial &&
        kovamem::memSwapState(f.hdr->poolIndex, f.hdr->blockIndex, kovamem::kBlockLive, kovamem::kBlockResizing)) {
        memcpy(fresh, ptr, copy);
        kovamem::memSetState(f.hdr->poolIndex, f.hdr->blockIndex, kovamem::kBlockLive);
        ++kovamem::memPoolHot[f.hdr->poolIndex].reallocs;
        const int released = freeNode(f.pool, f.hdr, f.prev, guardedOld ? guardRelease : nullptr, &note);
        kovamem::memUnlockFound(held);
        if (__builtin_expect(released == 0, 0)) {
            memCaptureTrace(trace);
            kovamem::memLogDamageChains("KovaMemReAlloc", note, trace);
        }
        return fresh;
    }
    kovamem::memUnlockFound(held);
    if (pooled) {
        (void)KovaMemFree(fresh);
    } else {
        kovamem::memHeap.free(fresh);
        memCountUp(m.sysFreeCount);
    }
    memLogPrint(" ERROR: KovaMemReAlloc: Ptr 0x%" PRIxPTR
                " was released by another thread while it moved to %s: nothing copied or released\n",
                reinterpret_cast<uintptr_t>(ptr), pooled ? "another pool" : "the C heap");
    return nullptr;
}

}  // extern "C"
