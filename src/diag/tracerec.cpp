// Allocation trace records: moves between the free and busy lists of the
// trace-record table, detachment on release, and the tracing switch.
//
// Choices made here:
// - A reset (tracing switched off) rewrites the record lists and clears the
//   links of live headers. Once the manager lock exists the reset holds all
//   locks, so it never interleaves with a move or with the status report's
//   walk; the trace-table lock is taken after them.
// - Default build: every move between the lists is made under the
//   trace-table lock, with the pool lock of the block concerned held.
// - logStack is read and written as an atomic byte: the switch sets it
//   without a lock while allocations read it under their pool's lock.
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
    kovamem::memLockTrace();
    if (memLoad(sd->logStack) == 1 && rec->hdr != nullptr) memMoveStackDataDLink(MEM_STACK_TO_FREE, rec, sd);
    hdr->stackRec = nullptr;
    kovamem::memUnlockTrace();
}

MemHeldRecs memHeld;
bool memStackChained;

}  // extern "C"

uint32_t kovamem::memTraceSampling = 1;

namespace {

// The sampling state of this thread: allocations left until its next
// sampled one (0: not drawn yet), the rate it was drawn for, and its generator (xorshift32; 0: not
// seeded). Plain thread-locals: a signal handler that allocates only moves
// the countdown.
__thread uint32_t tSampleLeft __attribute__((tls_model("initial-exec")));
__thread uint32_t tSampleRate __attribute__((tls_model("initial-exec")));  // the rate tSampleLeft was drawn for
__thread uint32_t tSampleRng __attribute__((tls_model("initial-exec")));
uint32_t gSampleSeeds;

uint32_t sampleRandom() {
    uint32_t x = tSampleRng;
    if (x == 0) {  // a seed of its own for each thread: a counter and the thread's storage, mixed
        uint64_t z = (static_cast<uint64_t>(__atomic_add_fetch(&gSampleSeeds, 1u, __ATOMIC_RELAXED)) << 32) ^
                     reinterpret_cast<uintptr_t>(&tSampleRng);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        x = static_cast<uint32_t>(z ^ (z >> 31)) | 1u;
    }
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    tSampleRng = x;
    return x;
}

// A distance to the next sampled allocation, uniform in 1 .. 2n - 1.
uint32_t sampleDistance(uint32_t n) {
    return 1 + static_cast<uint32_t>((static_cast<uint64_t>(sampleRandom()) * (2 * n - 1)) >> 32);
}

}  // namespace


bool kovamem::memSampleStep(uint32_t &left, uint32_t &rate, uint32_t n) {
    uint32_t l = left;
    if (l == 0 || rate != n) {  // a new thread, or a rate changed since: drawn anew
        l = sampleDistance(n);
        rate = n;
    }
    if (--l == 0) {
        left = sampleDistance(n);
        return true;
    }
    left = l;
    return false;
}

bool kovamem::memSampleSlow(uint32_t n) { return memSampleStep(tSampleLeft, tSampleRate, n); }

extern "C" {

// Default build: one allocation in n traced while tracing is on (0 and 1:
// every one; at most 2^30). The classic build accepts it and traces every
// allocation.
void KovaMemSetTraceSampling(uint32_t n) {
    if (kovamem::config_classic) return;
    if (n == 0) n = 1;
    if (n > (1u << 30)) n = 1u << 30;
    memStore(kovamem::memTraceSampling, n);
    memLogPrint(" INFO: KovaMemSetTraceSampling: one allocation in %u is traced\n", n);
}

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
    kovamem::memLockTrace();
    // Both chains to the store, where they outlive the record.
    if (kovamem::memChainIdsFor(hdr->poolIndex)) {
        uint32_t *ids = kovamem::memChainIds[hdr->poolIndex] + 2 * hdr->blockIndex;
        ids[0] = kovamem::memDepotPut(rec->trace);
        ids[1] = kovamem::memDepotPut(release);
    }
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
    memStore(hdr->stackRec, rec);  // rec->hdr still names the block
    kovamem::memUnlockTrace();
}

}  // extern "C"

namespace {

// hdr's held record back to the free list; trace-table lock held.
void unhold(MemBlockHdr *hdr) {
    // Read as its pool's allocation stores it, without this lock: it
    // clears the link of a block it takes, whose record it has already
    // taken back (or that had none).
    MemStackRec *rec = memLoad(hdr->stackRec);
    if (rec == nullptr) return;  // taken back by another pool's allocation meanwhile
    unlinkRec(rec, &memHeld.head, &memHeld.tail);
    --memHeld.count;
    pushFree(rec);
    memStore(hdr->stackRec, static_cast<MemStackRec *>(nullptr));
}

}  // namespace

extern "C" {

void memUnholdStackRec(MemBlockHdr *hdr) {
    kovamem::memLockTrace();
    unhold(hdr);
    kovamem::memUnlockTrace();
}

void memReclaimHeldRec(void) { unhold(memHeld.head->hdr); }

void KovaMemUpdateLogStackFlag(int flag) {
    if (flag != 0) {
        memStore(memStackData.logStack, uint8_t{1});
        return;
    }
    const bool locks = memMgrDetails.lock != nullptr;
    if (locks && kovamem::memRefusedInHandler("KovaMemUpdateLogStackFlag")) return;
    if (locks) kovamem::memLockAll();
    memInitStackData();
    if (locks) kovamem::memUnlockAll();
}

}  // extern "C"
