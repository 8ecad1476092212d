// The guards of busy blocks, checked by every report, snapshot and
// memValidate (default build): a block overrun or underrun and never
// released is found while its owner still holds it, not only at a release
// that may never come. Each damaged block is told once (GuardFindings).
#include <string.h>

#include "../internal.h"

namespace {

// The blocks told so far, a ring of the last kGuardToldKept: a busy block
// is the same allocation while its pool, block and serial are.
struct Told {
    uint16_t pool, block;
    uint64_t serial;
};
Told gTold[kovamem::kGuardToldKept];
unsigned gToldNext;

bool toldBefore(uint16_t pool, uint16_t block, uint64_t serial) {
    for (const Told &t : gTold)
        if (t.serial == serial && t.pool == pool && t.block == block && serial != 0) return true;
    return false;
}

}  // namespace

void kovamem::memScanGuards(GuardFindings *found) {
    found->count = 0;
    if (config_classic) return;
    const MemMgrDetails &m = memMgrDetails;
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        const MemPool &p = memPool(k);
        const PoolGeom &g = memPoolGeom[k];
        memForEachBusy(k, [&](const MemBlockHdr *h) {
            const uint8_t *slot = memSlotData(p, h->blockIndex);
            if (h->data != slot) return true;  // a guarded block: its page guards it
            const bool behind = memBusyGuardWord(slot + memGuardOffset(h->reqSize, p.blockSize)) != MEM_GUARD_WORD;
            const bool front = config_front_guard && h->blockIndex != 0 &&
                               memBusyGuardWord(slot - kGuardBytes) != MEM_GUARD_WORD;
            if (!behind && !front) return true;
            const uint64_t serial = g.serial[h->blockIndex];
            if (toldBefore(k, h->blockIndex, serial)) return true;
            gTold[gToldNext] = Told{k, h->blockIndex, serial};
            gToldNext = (gToldNext + 1) % kGuardToldKept;
            if (found->count < 4) {
                GuardFindings::Block &b = found->at[found->count];
                b.data = reinterpret_cast<uintptr_t>(slot);
                b.pool = k;
                b.block = h->blockIndex;
                b.size = h->reqSize;
                b.behind = behind;
                b.front = front;
                b.traced = h->stackRec != nullptr;
                if (b.traced) memcpy(b.alloc, h->stackRec->trace, sizeof b.alloc);
            }
            ++found->count;
            return true;
        });
    }
}
