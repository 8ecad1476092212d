// Allocation trace records: moves between the free and busy lists of the
// trace-record table, detachment on release, and the tracing switch.
//
// Choices made here:
// - A reset (tracing switched off) rewrites the record lists and clears the
//   links of live headers. Once the manager lock exists the reset holds it,
//   so it never interleaves with a move or with the status report's walk;
//   the lock order is manager lock, then trace-table lock.
// - logStack is read and written as an atomic byte: the switch sets it
//   without the manager lock while allocations read it under that lock.
// - Before initialisation the switch acts on the static table directly.
#include "../internal.h"

using kovamem::memLoad;
using kovamem::memStore;

extern "C" {

int memMoveStackDataDLink(int dir, MemStackRec *rec, MemStackData *stackData) {
    if (rec == nullptr || (dir != MEM_STACK_TO_BUSY && dir != MEM_STACK_TO_FREE)) return 0;
    const bool toFree = dir == MEM_STACK_TO_FREE;
    MemStackRec **srcHead = toFree ? &stackData->busyHead : &stackData->freeHead;
    MemStackRec **dstHead = toFree ? &stackData->freeHead : &stackData->busyHead;
    uint16_t &srcCount = toFree ? stackData->busyCount : stackData->freeCount;
    uint16_t &dstCount = toFree ? stackData->freeCount : stackData->busyCount;

    if (toFree) {
        if (rec->hdr != nullptr) rec->hdr->stackRec = nullptr;
        rec->hdr = nullptr;
    }
    ++dstCount;
    if (srcCount != 0) --srcCount;

    if (rec->prev != nullptr) {
        rec->prev->next = rec->next;
    } else if (rec->next != nullptr) {
        *srcHead = rec->next;
    } else {
        *srcHead = nullptr;
        memLogPrint(" REQ: memMoveStackDataDLink: Src List is Empty for pool of size %d\n", rec->size);
    }
    if (rec->next != nullptr) rec->next->prev = rec->prev;
    rec->prev = rec->next = nullptr;

    if (*dstHead != nullptr) {
        (*dstHead)->prev = rec;
        rec->next = *dstHead;
    } else {
        memLogPrint(" REQ: memMoveStackDataDLink: Dest List is Empty for pool of size %d\n", rec->size);
    }
    *dstHead = rec;
    return 1;
}

void memDetachStackRec(MemBlockHdr *hdr, MemStackRec *rec) {
    if (rec == nullptr) return;
    MemStackData *sd = memMgrDetails.stackData;
    if (memLoad(sd->logStack) == 1 && rec->hdr != nullptr) memMoveStackDataDLink(MEM_STACK_TO_FREE, rec, sd);
    hdr->stackRec = nullptr;
}

void KovaMemUpdateLogStackFlag(int flag) {
    if (flag != 0) {
        memStore(memStackData.logStack, uint8_t{1});
        return;
    }
    MemMutex *mgr = memMgrDetails.lock;
    if (mgr != nullptr) memLock(mgr);
    memInitStackData();
    if (mgr != nullptr) memUnlock(mgr);
}

}  // extern "C"
