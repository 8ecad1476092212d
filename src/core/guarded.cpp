// Guarded sampling (default build): the guarded area, its slots and the
// placement of a sampled block at the end or at the start of a page of its
// own (see "Guarded sampling" in core/guarded.h). The area and its slot table are
// reservations made when sampling is first switched on, touched only as
// slots are used; the fault handler is installed with them.
#include <sys/mman.h>
#include <unistd.h>

#include "../internal.h"

using kovamem::GuardedArea;
using kovamem::GuardedSlot;
using kovamem::memGuarded;
using kovamem::memLoad;
using kovamem::memStore;

namespace {

constexpr uint32_t kDefaultSlots = 64;
constexpr uint32_t kMaxSlots = 4096;

// Asked for before KovaMemInit (or before the area could be made): the
// area's slot count, 0 when sampling was never switched on.
uint32_t gWantedSlots;

// The guard word's bytes, repeated over the bytes of rounding.
MEM_ALWAYS_INLINE uint8_t guardByte(uint32_t i) {
    const uint32_t w = MEM_GUARD_WORD;
    uint8_t b[4];
    memcpy(b, &w, 4);
    return b[i & 3u];
}

uintptr_t slotPage(uint32_t i) { return memGuarded.base + static_cast<uintptr_t>(i) * 2u * memGuarded.page; }

// Makes the area and its table (manager and guarded locks held, or before
// other threads use the library). Returns whether the area exists.
bool setUp(uint32_t slots) {
    if (memGuarded.base != 0) return true;
    const long ps = sysconf(_SC_PAGESIZE);
    const uint32_t page = ps > 0 ? static_cast<uint32_t>(ps) : 4096u;
    const size_t bytes = static_cast<size_t>(slots) * 2u * page;
    void *area = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (area == MAP_FAILED) {
        memLogPrint(" ERROR: KovaMemSetGuardedSampling: no room for %u slots of %u bytes: sampling stays off\n", slots,
                    page);
        return false;
    }
    // The whole area out of core dumps (it is inaccessible), each slot's
    // page back in when first used: its page then differs from both its
    // neighbours, so it stays a mapping of its own and each later change of
    // its protection is made in place, not by splitting and merging
    // mappings (which costs about twice as much).
    (void)madvise(area, bytes, MADV_DONTDUMP);
    const size_t table = static_cast<size_t>(slots) * sizeof(GuardedSlot);
    void *t = mmap(nullptr, table, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (t == MAP_FAILED) {
        munmap(area, bytes);
        memLogPrint(" ERROR: KovaMemSetGuardedSampling: no room for the slot table: sampling stays off\n");
        return false;
    }
    memGuarded.slot = static_cast<GuardedSlot *>(t);
    memGuarded.page = page;
    memGuarded.slots = slots;
    memStore(memGuarded.bytes, static_cast<uintptr_t>(bytes));
    memStore(memGuarded.base, reinterpret_cast<uintptr_t>(area));
    if (!kovamem::memGuardedInstallHandler())
        memLogPrint(" ERROR: KovaMemSetGuardedSampling: the fault handler could not be installed: faults are not named\n");
    return true;
}

// Switches sampling on at rate with the area made (or being made now).
void switchOn(uint32_t rate, uint32_t slots) {
    if (!setUp(slots)) return;
    memStore(kovamem::memGuardedRate, rate);
    memLogPrint(" INFO: KovaMemSetGuardedSampling: one allocation in %u is guarded, %u slots of %u bytes at 0x%" PRIxPTR
                "-0x%" PRIxPTR "\n",
                rate, memGuarded.slots, memGuarded.page, memGuarded.base, memGuarded.base + memGuarded.bytes - 1);
}

// A free slot, never-used ones first (so released ones wait longest), else
// the longest-waiting one; retired slots are dropped from the list. -1: none.
int32_t freeSlot() {
    GuardedArea &g = memGuarded;
    if (g.made < g.slots) {
        (void)madvise(reinterpret_cast<void *>(slotPage(g.made)), g.page, MADV_DODUMP);
        return static_cast<int32_t>(g.made++);
    }
    while (g.waitHead != 0) {
        const uint32_t i = g.waitHead - 1;
        GuardedSlot &s = g.slot[i];
        g.waitHead = s.next;
        if (g.waitHead == 0) g.waitTail = 0;
        s.next = 0;
        --g.waiting;
        if (memLoad(s.state) == kovamem::kSlotWaiting) return static_cast<int32_t>(i);
    }
    return -1;
}

}  // namespace

kovamem::GuardedArea kovamem::memGuarded;
uint32_t kovamem::memGuardedRate;
uint32_t kovamem::memGuardedRecover;

__thread uint32_t kovamem::memGuardLeft __attribute__((tls_model("initial-exec")));
__thread uint32_t kovamem::memGuardRateSeen __attribute__((tls_model("initial-exec")));

bool kovamem::memGuardSampleSlow(uint32_t n) { return n == 1 || memSampleStep(memGuardLeft, memGuardRateSeen, n); }

namespace {

// memGuardedTake with the guarded lock held.
uint8_t *take(MemBlockHdr *h, uint32_t size, const MemTraceAddr *alloc) {
    using namespace kovamem;
    GuardedArea &g = memGuarded;
    if (g.base == 0 || size > g.page) return nullptr;
    const int32_t i = freeSlot();
    if (i < 0) {
        ++g.missed;
        return nullptr;
    }
    const uintptr_t page = slotPage(static_cast<uint32_t>(i));
    GuardedSlot &s = g.slot[i];
    if (mprotect(reinterpret_cast<void *>(page), g.page, PROT_READ | PROT_WRITE) != 0) {
        memStore(s.state, static_cast<uint32_t>(kSlotRetired));  // never tried again
        __atomic_fetch_add(&g.retired, 1u, __ATOMIC_RELAXED);
        ++g.missed;
        return nullptr;
    }
    const uintptr_t end = page + g.page;
    // Every other block at its page's start, right behind the inaccessible
    // page of the slot before, so that an underrun faults at its
    // instruction too; the others end at the next inaccessible page. Slot
    // 0 has no page of the area before it.
    const bool atStart = i > 0 && (g.allocs & 1u) != 0;
    uint8_t *data = atStart ? reinterpret_cast<uint8_t *>(page)
                            : reinterpret_cast<uint8_t *>((end - size) & ~static_cast<uintptr_t>(config_slot_align - 1));
    for (uint8_t *b = data + size; b < reinterpret_cast<uint8_t *>(end); ++b)
        *b = guardByte(static_cast<uint32_t>(b - (data + size)));
    s.pool = h->poolIndex;
    s.block = h->blockIndex;
    s.data = reinterpret_cast<uintptr_t>(data);
    s.size = size;
    s.busyRetired = 0;
    s.released = 0;
    memcpy(s.alloc, alloc, sizeof s.alloc);
    memStore(s.state, static_cast<uint32_t>(kSlotBusy));
    h->data = data;
    ++g.busy;
    ++g.allocs;
    return data;
}

// memGuardedGive with the guarded lock held.
bool give(MemBlockHdr *h, const MemTraceAddr *release) {
    using namespace kovamem;
    GuardedArea &g = memGuarded;
    const uintptr_t a = reinterpret_cast<uintptr_t>(h->data);
    const uint32_t i = memGuardedSlotOf(a);
    GuardedSlot &s = g.slot[i];
    const uintptr_t end = slotPage(i) + g.page;
    bool intact = true;
    const uint32_t state = memLoad(s.state);
    // A slot retired while busy keeps its page accessible; the bytes behind
    // the caller's are checked the same way.
    for (const uint8_t *b = h->data + s.size; b < reinterpret_cast<const uint8_t *>(end); ++b)
        if (*b != guardByte(static_cast<uint32_t>(b - (h->data + s.size)))) intact = false;
    if (release != nullptr)
        memcpy(s.release, release, sizeof s.release);
    else
        s.release[0] = MEM_TRACE_END;  // a release through KovaMemFreeNode: no chain
    s.released = 1;
    --g.busy;
    if (state == kSlotRetired) {  // stays accessible and is never reused
        s.busyRetired = 0;
        return intact;
    }
    // Inaccessible first, then on the list: a slot on the list is always
    // inaccessible.
    if (mprotect(reinterpret_cast<void *>(slotPage(i)), g.page, PROT_NONE) != 0) {
        memStore(s.state, static_cast<uint32_t>(kSlotRetired));
        __atomic_fetch_add(&g.retired, 1u, __ATOMIC_RELAXED);
        return intact;
    }
    memStore(s.state, static_cast<uint32_t>(kSlotWaiting));
    s.next = 0;
    if (g.waitTail != 0)
        g.slot[g.waitTail - 1].next = i + 1;
    else
        g.waitHead = i + 1;
    g.waitTail = i + 1;
    ++g.waiting;
    return intact;
}

}  // namespace

uint8_t *kovamem::memGuardedTake(MemBlockHdr *h, uint32_t size, const MemTraceAddr *alloc) {
    memLockLeaf(memGuardedLock);
    uint8_t *data = take(h, size, alloc);
    memUnlockLeaf(memGuardedLock);
    return data;
}

bool kovamem::memGuardedGive(MemBlockHdr *h, const MemTraceAddr *release) {
    memLockLeaf(memGuardedLock);
    const bool intact = give(h, release);
    memUnlockLeaf(memGuardedLock);
    return intact;
}

int kovamem::memGuardedPoolOf(uintptr_t a) {
    memLockLeaf(memGuardedLock);
    const uint32_t i = memGuardedSlotOf(a);
    const int k = i < memGuarded.made ? memGuarded.slot[i].pool : -1;
    memUnlockLeaf(memGuardedLock);
    return k;
}

int kovamem::memGuardedFind(uintptr_t a, MemFindResult *out, int held) {
    // The slot's block, if live and of the pool whose lock is held, cannot
    // be released meanwhile: its release takes that lock.
    memLockLeaf(memGuardedLock);
    const GuardedArea &g = memGuarded;
    const uint32_t i = memGuardedSlotOf(a);
    bool live = false;
    uint16_t pool = 0, block = 0;
    if (i < g.made) {
        const GuardedSlot &s = g.slot[i];
        live = s.data == a && memGuardedLive(s, memLoad(s.state)) && (held < 0 || s.pool == held);
        pool = s.pool;
        block = s.block;
    }
    memUnlockLeaf(memGuardedLock);
    if (!live) return MEM_FIND_NOT_BUSY;
    const PoolGeom &geom = memPoolGeom[pool];
    if (memGetState(pool, block) != kBlockLive || reinterpret_cast<uintptr_t>(geom.hdrs[block].data) != a) return MEM_FIND_NOT_BUSY;
    out->pool = &memPool(pool);
    out->hdr = &geom.hdrs[block];
    out->prev = nullptr;  // the default build keeps no busy list
    return MEM_FIND_FOUND;
}

void kovamem::memGuardedDescribe(uintptr_t a, BadReleaseNote *note) {
    memLockLeaf(memGuardedLock);
    const GuardedArea &g = memGuarded;
    const uint32_t i = memGuardedSlotOf(a);
    note->heldRelease = note->heldAlloc = false;
    note->kind = kBadInside;
    note->pool = note->block = -1;
    note->offset = 0;
    if (i >= g.made) {
        memUnlockLeaf(memGuardedLock);
        return;
    }
    const GuardedSlot &s = g.slot[i];
    note->pool = s.pool;
    note->block = s.block;
    note->offset = static_cast<int32_t>(a - s.data);
    // A guarded slot always keeps the chain that allocated its block.
    note->heldAlloc = s.alloc[0] != MEM_TRACE_END;
    if (note->heldAlloc) memcpy(note->alloc, s.alloc, sizeof note->alloc);
    if (a == s.data && memGuardedReleased(s, memLoad(s.state))) {
        note->kind = kBadFree;
        note->heldRelease = s.released != 0 && s.release[0] != MEM_TRACE_END;
        if (note->heldRelease) memcpy(note->release, s.release, sizeof note->release);
    }
    memUnlockLeaf(memGuardedLock);
}

void kovamem::memGuardedInit() {
    if (gWantedSlots != 0 && memLoad(memGuardedRate) != 0) switchOn(memLoad(memGuardedRate), gWantedSlots);
}

extern "C" {

// Default build: one pool-sized allocation in rate guarded (0: off), with
// slots slots (0: 64, at most 4096), fixed when the area is first made.
// Before KovaMemInit the settings wait for it. The classic build accepts
// nothing new.
void KovaMemSetGuardedSampling(uint32_t rate, uint32_t slots) {
    if (kovamem::config_classic) return;
    if (slots == 0) slots = kDefaultSlots;
    if (slots > kMaxSlots) slots = kMaxSlots;
    if (rate == 0) {
        memStore(kovamem::memGuardedRate, 0u);
        memLogPrint(" INFO: KovaMemSetGuardedSampling: off (guarded blocks still live stay guarded)\n");
        return;
    }
    MemMgrDetails &m = memMgrDetails;
    if (m.initialized == 0 || m.lock == nullptr) {
        gWantedSlots = slots;
        memStore(kovamem::memGuardedRate, rate);
        return;
    }
    memLock(m.lock);
    kovamem::memLockLeaf(kovamem::memGuardedLock);
    if (memGuarded.base != 0 && memGuarded.slots != slots)
        memLogPrint(" INFO: KovaMemSetGuardedSampling: the area keeps its %u slots\n", memGuarded.slots);
    switchOn(rate, slots);
    kovamem::memUnlockLeaf(kovamem::memGuardedLock);
    memUnlock(m.lock);
}

void KovaMemSetGuardedRecover(uint8_t on) {
    if (kovamem::config_classic) return;
    memStore(kovamem::memGuardedRecover, static_cast<uint32_t>(on != 0));
}

}  // extern "C"
