// Block lookup: a data address back to its busy block. Caller holds the
// manager lock.
#include "../internal.h"

extern "C" int memFindBlock(const void *addr, MemFindResult *out) {
    const MemMgrDetails &m = memMgrDetails;
    if (m.poolCount == 0) return MEM_FIND_NOT_MANAGED;
    uintptr_t a = reinterpret_cast<uintptr_t>(addr);
    int result = MEM_FIND_NOT_MANAGED;
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        MemPool *p = &m.pools[k];
        if (a < kovamem::memPoolGeom[k].start || a > kovamem::memPoolGeom[k].end) continue;
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
