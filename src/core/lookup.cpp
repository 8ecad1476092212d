// Block lookup: a data address back to its busy block, its pool and the
// header before it on the busy list. Caller holds the manager lock.
//
// Constant time: the pool from its address range (a binary search over the
// at most 14 ranges, sorted once at initialisation), the slot by arithmetic
// on the stride, the exact-start test, and busy-or-not and the previous
// header from the back-links kept beside the headers. The results are those
// of the walk of the busy list, memFindBlockWalk, in every case.
#include "../internal.h"

using kovamem::memPoolGeom;
using kovamem::PoolGeom;

namespace {

// Slot index of offset off when off is an exact multiple of the stride,
// else -1. For offsets below 2^32 the quotient comes from a multiplication:
// recip = floor(2^32 / stride) + 1 gives floor(off / stride) or one more,
// and one comparison settles which. Larger offsets (the last slots of the
// largest pool on a 64-bit host) divide.
MEM_ALWAYS_INLINE int32_t exactSlot(uintptr_t off, const PoolGeom &g) {
    uintptr_t q;
    if (off <= 0xFFFFFFFFu) {
        q = static_cast<uintptr_t>((static_cast<uint64_t>(off) * g.recip) >> 32);
        if (q * g.stride > off) --q;
    } else {
        q = off / g.stride;
    }
    return q * g.stride == off ? static_cast<int32_t>(q) : -1;
}

}  // namespace

int kovamem::memPoolOfAddress(uintptr_t a) {
    const int n = memMgrDetails.poolCount;
    int lo = 0, hi = n;  // first position whose range starts above a
    while (lo < hi) {
        const int mid = (lo + hi) / 2;
        if (memPoolGeom[memPoolByAddress[mid]].start <= a)
            lo = mid + 1;
        else
            hi = mid;
    }
    if (lo == 0) return -1;
    const int k = memPoolByAddress[lo - 1];
    return a <= memPoolGeom[k].end ? k : -1;
}

extern "C" {

int memFindBlock(const void *addr, MemFindResult *out) {
    const MemMgrDetails &m = memMgrDetails;
    if (m.poolCount == 0) return MEM_FIND_NOT_MANAGED;
    const uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    const int k = kovamem::memPoolOfAddress(a);
    if (k < 0) return MEM_FIND_NOT_MANAGED;
    const PoolGeom &g = memPoolGeom[k];
    const int32_t j = exactSlot(a - reinterpret_cast<uintptr_t>(m.pools[k].area), g);
    if (j < 0) return MEM_FIND_NOT_BUSY;
    const uint16_t back = g.busyPrev[j];
    if (back == kovamem::kNotBusy) return MEM_FIND_NOT_BUSY;
    out->pool = &m.pools[k];
    out->hdr = &g.hdrs[j];
    out->prev = back == j ? nullptr : &g.hdrs[back];
    return MEM_FIND_FOUND;
}

int memFindBlockWalk(const void *addr, MemFindResult *out) {
    const MemMgrDetails &m = memMgrDetails;
    if (m.poolCount == 0) return MEM_FIND_NOT_MANAGED;
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    int result = MEM_FIND_NOT_MANAGED;
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        MemPool *p = &m.pools[k];
        if (a < memPoolGeom[k].start || a > memPoolGeom[k].end) continue;
        result = MEM_FIND_NOT_BUSY;
        MemBlockHdr *prev = nullptr;
        for (MemBlockHdr *h = p->busyHead; h != nullptr; prev = h, h = h->next) {
            if (reinterpret_cast<uintptr_t>(h->data) == a) {
                out->pool = p;
                out->hdr = h;
                out->prev = prev;
                return MEM_FIND_FOUND;
            }
        }
    }
    return result;
}

}  // extern "C"
