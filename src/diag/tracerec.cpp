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

MemHeldRecs memHeld;
bool memStackChained;

void memChainStackTable(void) {
    for (int i = 0; i < MEM_STACK_RECORDS; ++i) {
        MemStackRec &r = memStackRecords[i];
        r.prev = i > 0 ? &memStackRecords[i - 1] : nullptr;
        r.next = i + 1 < MEM_STACK_RECORDS ? &memStackRecords[i + 1] : nullptr;
        r.hdr = nullptr;
    }
    memStackData.freeHead = &memStackRecords[0];
    memStackChained = true;
}

namespace {

// Takes r off the list whose head is *head (and, for the held list, whose
// tail is *tail); the lists are doubly linked through prev and next.
void unlinkRec(MemStackRec *r, MemStackRec **head, MemStackRec **tail) {
    if (r->prev != nullptr)
        r->prev->next = r->next;
    else
        *head = r->next;
    if (r->next != nullptr)
        r->next->prev = r->prev;
    else if (tail != nullptr)
        *tail = r->prev;
    r->prev = r->next = nullptr;
}

// Puts r at the head of the free list, cleared.
void pushFree(MemStackRec *r) {
    MemStackData &sd = *memMgrDetails.stackData;
    r->hdr = nullptr;
    r->next = sd.freeHead;
    if (sd.freeHead != nullptr) sd.freeHead->prev = r;
    sd.freeHead = r;
    ++sd.freeCount;
}

}  // namespace

void memHoldStackRec(MemBlockHdr *hdr, MemStackRec *rec, const MemTraceAddr *release) {
    MemStackData &sd = *memMgrDetails.stackData;
    unlinkRec(rec, &sd.busyHead, nullptr);
    if (sd.busyCount != 0) --sd.busyCount;
    memcpy(rec->trace, release, sizeof rec->trace);
    rec->tag = 0;
    rec->prev = memHeld.tail;
    if (memHeld.tail != nullptr)
        memHeld.tail->next = rec;
    else
        memHeld.head = rec;
    memHeld.tail = rec;
    ++memHeld.count;
    hdr->stackRec = rec;  // rec->hdr still names the block
}

void memUnholdStackRec(MemBlockHdr *hdr) {
    MemStackRec *rec = hdr->stackRec;
    unlinkRec(rec, &memHeld.head, &memHeld.tail);
    --memHeld.count;
    pushFree(rec);
    hdr->stackRec = nullptr;
}

void memReclaimHeldRec(void) { memUnholdStackRec(memHeld.head->hdr); }

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
