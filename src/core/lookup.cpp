// Block lookup: a data address back to its busy block, its pool and (classic
// build) the header before it on the busy list. Caller holds the lock of the
// address's pool (memLockAndFind), all locks, or is the only thread using
// the library.
//
// Constant time: the pool from its address range (a binary search over the
// at most 14 ranges, sorted once at initialisation), the slot by arithmetic
// on the stride, the exact-start test, and busy-or-not from the word kept
// beside the headers (the state byte; classic, the back-link, which names
// the previous header too). The results are those of the walk over the busy
// blocks, memFindBlockWalk, in every case.
#include "../internal.h"

using kovamem::memPoolGeom;

int kovamem::memFindBlockHeld(const void *addr, MemFindResult *out, int held) {
    // The count only rises (growth stores it atomically): zero means no
    // manager.
    if (memLoad(memMgrDetails.poolCount) == 0) return MEM_FIND_NOT_MANAGED;
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    const int k = memPoolOfAddress(a);
    if (k < 0) return memInGuarded(a) ? memGuardedFind(a, out, held) : MEM_FIND_NOT_MANAGED;
    const int32_t j = memSlotOf(k, a);
    return j < 0 ? MEM_FIND_NOT_BUSY : memFindSlot(k, j, out);
}

int kovamem::memLockAndFind(const void *addr, MemFindResult *out, int *held) {
    if (config_classic) {
        (void)memLock(memMgrDetails.lock);
        *held = 0;  // any pool's lock is the manager lock
        return memFindBlock(addr, out);
    }
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    const bool managed = memLoad(memMgrDetails.poolCount) != 0;
    int k = managed ? memPoolOfAddress(a) : -1;
    if (k < 0 && managed && memInGuarded(a)) {
        k = memGuardedPoolOf(a);
        if (k < 0) {  // a slot never used
            *held = -1;
            return MEM_FIND_NOT_BUSY;
        }
    }
    *held = k;
    if (k < 0) return MEM_FIND_NOT_MANAGED;
    memLockPool(static_cast<unsigned>(k));
    return memFindBlockHeld(addr, out, k);
}

extern "C" {

int memFindBlock(const void *addr, MemFindResult *out) { return kovamem::memFindBlockHeld(addr, out, -1); }

int memFindBlockWalk(const void *addr, MemFindResult *out) {
    const MemMgrDetails &m = memMgrDetails;
    if (m.poolCount == 0) return MEM_FIND_NOT_MANAGED;
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    int result = MEM_FIND_NOT_MANAGED;
    // An address of the guarded area is the busy block of any pool whose
    // data it is.
    const bool guarded = kovamem::memInGuarded(a);
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        MemPool *p = &kovamem::memPool(k);
        if (!guarded && (a < memPoolGeom[k].start || a > memPoolGeom[k].end)) continue;
        result = MEM_FIND_NOT_BUSY;
        // Each busy header's data compared in turn; prev is the header met
        // before it on the busy list (classic), NULL (default: no list).
        MemBlockHdr *prev = nullptr;
        bool found = false;
        kovamem::memForEachBusy(k, [&](MemBlockHdr *h) {
            if (reinterpret_cast<uintptr_t>(h->data) == a) {
                out->pool = p;
                out->hdr = h;
                out->prev = kovamem::config_classic ? prev : nullptr;
                found = true;
                return false;
            }
            prev = h;
            return true;
        });
        if (found) return MEM_FIND_FOUND;
    }
    return result;
}

}  // extern "C"
