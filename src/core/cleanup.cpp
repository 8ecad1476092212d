// Quarantine cleanup: every quarantined block back to its own pool's free
// list with a fresh guard word at data + S (and in front of it, default
// build). The blocks' bytes are neither
// cleared nor examined.
#include <string.h>

#include "../internal.h"

extern "C" void KovaMemCleanMemBlocks(void) {
    MemMgrDetails &m = memMgrDetails;
    if (m.initialized == 0) {
        kovamem::memLogNotInitialized();
        return;
    }
    if (kovamem::memRefusedInHandler("KovaMemCleanMemBlocks")) return;
    // Read without the lock as a cheap early exit; read again under it.
    if (kovamem::memLoad(m.corruptList) == nullptr) {
        memLogPrint(" EXIT: KovaMemCleanMemBlocks: Process not Required\n");
        return;
    }
    kovamem::memLockAll();
    memLogPrint(" INFO: KovaMemCleanMemBlocks: Process Started\n");
    MemBlockHdr *h = m.corruptList;
    kovamem::memStore(m.corruptList, static_cast<MemBlockHdr *>(nullptr));
    while (h != nullptr) {
        MemBlockHdr *n = h->next;
        MemPool &p = kovamem::memPool(h->poolIndex);
        const uint32_t s = p.blockSize;
        h->opaque = 0;
        kovamem::memStore(h->reqSize, 0u);
        h->data = kovamem::memSlotData(p, h->blockIndex);
        kovamem::memPutGuard(h->data + s);
        if (kovamem::config_front_guard && h->blockIndex != 0) kovamem::memPutGuard(h->data - kovamem::kGuardBytes);
        if (!kovamem::config_classic) kovamem::memPoolGeom[h->poolIndex].serial[h->blockIndex] = 0;  // not filled
        kovamem::memSetState(h->poolIndex, h->blockIndex, kovamem::kBlockFree);
        --p.corruptCount;
        --m.corruptCount;
        if (p.freeTail != nullptr) {
            p.freeTail->next = h;
        } else {
            p.freeHead = h;
            kovamem::PoolHot &st = kovamem::memPoolHot[h->poolIndex];
            if (!kovamem::config_classic && !kovamem::memPoolHasFresh(p, st)) kovamem::memStore(st.next, h->data);
        }
        p.freeTail = h;
        h->next = nullptr;
        ++p.freeCount;
        h = n;
    }
    kovamem::memSumCounts();  // the published pool table shows the blocks back
    kovamem::memUnlockAll();
    memLogPrint(" EXIT: KovaMemCleanMemBlocks: Process Successfull\n");
}
