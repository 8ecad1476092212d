// The guarded area's interface (core/guarded.cpp, diag/guardfault.cpp).
#ifndef KOVAMEM_CORE_GUARDED_H
#define KOVAMEM_CORE_GUARDED_H

#include "layout.h"

namespace kovamem {

struct BadReleaseNote;

// Guarded sampling (default build, core/guarded.cpp; KovaMemSetGuardedSampling).
// The guarded area is one reservation of 2 x slots pages: slot i is the
// page at base + 2i pages, followed by an inaccessible page. One pool-sized
// allocation in rate (per thread, at random distances) takes a block of its
// pool as usual and is then placed in a free slot instead of that block's
// slot: its data ends at the inaccessible page (rounded down to
// config_slot_align), or, for every other guarded block in a slot but the
// first, starts at its page's start, right behind the inaccessible page of
// the slot before (an underrun faults); the bytes from its end to its
// page's end hold the guard word's bytes over and over. A fault in slot
// i's inaccessible page is an overrun of slot i's block or an underrun of
// slot i + 1's block placed at its start: the nearer of the two. The pool block stands for it: it is busy,
// counted, traced and reported as any block, with hdr->data the guarded
// address; its own slot is left untouched. On release the slot's page is made
// inaccessible and the slot waits, first in first out, before reuse; the
// pool block goes back to its free list with hdr->data its own slot again.
// A stale access or an overrun faults, and the fault handler
// (diag/guardfault.cpp) names the block from the slot table.
//
// Slot states. Under the guarded lock, read without it (relaxed) only by the
// fault handler, which never takes a lock.
enum GuardedState : uint32_t {
    kSlotUnused = 0,  // never used (and its page inaccessible)
    kSlotBusy,        // holds a busy block
    kSlotWaiting,     // released: inaccessible, on the waiting list
    kSlotRetired,     // a fault was let pass ("recover"): accessible, never reused
};
struct GuardedSlot {
    uint32_t state;
    uint16_t pool, block;  // the pool block that stands for it (its last one once released)
    uintptr_t data;        // the block's data address, from its allocation on
    uint32_t size;         // the bytes asked for
    uint32_t next;         // 1 + the next slot on the waiting list, 0: none
    uint32_t busyRetired;  // retired while busy: its release leaves it retired
    uint32_t released;     // the release chain below is the block's
    MemTraceAddr alloc[MEM_TRACE_ENTRIES];
    MemTraceAddr release[MEM_TRACE_ENTRIES];
};
// Whether slot s holds a live block (busy, or retired while busy), or a
// released one (waiting, or retired after its release); a slot never used
// is neither. st: its state as the caller read it.
MEM_ALWAYS_INLINE bool memGuardedLive(const GuardedSlot &s, uint32_t st) {
    return st == kSlotBusy || (st == kSlotRetired && s.busyRetired != 0);
}
MEM_ALWAYS_INLINE bool memGuardedReleased(const GuardedSlot &s, uint32_t st) {
    return st == kSlotWaiting || (st == kSlotRetired && s.busyRetired == 0);
}
struct GuardedArea {
    uintptr_t base;      // the reservation, 0 until set up; never changes after
    uintptr_t bytes;     // 2 x slots x page
    uint32_t page;       // the page size
    uint32_t slots;
    uint32_t made;       // slots 0 .. made-1 have been used
    uint32_t waitHead, waitTail;  // 1 + slot, 0: empty
    uint32_t busy, waiting, retired;
    uint32_t faults;     // faults reported (relaxed atomic: the handler counts)
    uint32_t missed;     // sampled allocations no slot was free for
    uint64_t allocs;     // guarded allocations
    GuardedSlot *slot;   // the slot table, a mapping of its own
};
extern GuardedArea memGuarded;
// One allocation in memGuardedRate is guarded, 0: off. Relaxed atomic.
extern uint32_t memGuardedRate;
// Whether a lies in the guarded area. No lock: base and bytes are set once,
// before any guarded block is handed out.
MEM_ALWAYS_INLINE bool memInGuarded(uintptr_t a) {
    return !config_classic && a - memLoad(memGuarded.base) < memLoad(memGuarded.bytes);
}
// This thread's allocations left until its next guarded one, and the rate
// that distance was drawn for (a new rate draws anew).
extern __thread uint32_t memGuardLeft __attribute__((tls_model("initial-exec")));
extern __thread uint32_t memGuardRateSeen __attribute__((tls_model("initial-exec")));
bool memGuardSampleSlow(uint32_t n);
// Whether this allocation of size bytes (align 0: the blocks' own) is to be
// guarded; a per-thread countdown, so one load and a branch while off and a
// decrement while on.
MEM_ALWAYS_INLINE bool memGuardThis(uint32_t size, uint32_t align) {
    if (config_classic) return false;
    const uint32_t n = memLoad(memGuardedRate);
    if (__builtin_expect(n == 0, 1) || align != 0 || size > memGuarded.page) return false;
    const uint32_t left = memGuardLeft;
    if (__builtin_expect(left > 1 && memGuardRateSeen == n, 1)) {
        memGuardLeft = left - 1;
        return false;
    }
    return memGuardSampleSlow(n);
}
// Pool lock held. Places the block h (just taken, busy, size bytes) in a
// free slot with chain alloc and returns its guarded data address, or NULL
// when no slot is free (h keeps its own slot).
uint8_t *memGuardedTake(MemBlockHdr *h, uint32_t size, const MemTraceAddr *alloc);
// Pool lock held. Ends guarded block h's slot (release: the chain that
// released it, or NULL): checks the bytes of rounding, makes the page
// inaccessible and puts the slot on the waiting list; the caller gives h
// its own slot's data address again. Returns whether the bytes behind the
// caller's were intact.
bool memGuardedGive(MemBlockHdr *h, const MemTraceAddr *release);
// Pool lock held (or none, for a slot never used). What a release of area address a that is no busy
// guarded block met: a released one (kBadFree, with the chain of its
// release), else an address inside or beside one (kBadInside; pool and
// block -1 in a slot never used).
void memGuardedDescribe(uintptr_t a, BadReleaseNote *note);
// The busy block whose guarded data address is a (MEM_FIND_FOUND, *out
// filled) or MEM_FIND_NOT_BUSY; the caller holds pool held's lock (-1: all
// locks), and a block of another pool is not found.
int memGuardedFind(uintptr_t a, MemFindResult *out, int held);
// The pool of the block slot of area address a holds or last held, -1 for
// a slot never used: the pool whose lock guards the slot's block.
int memGuardedPoolOf(uintptr_t a);
// The slot index holding address a of the area.
MEM_ALWAYS_INLINE uint32_t memGuardedSlotOf(uintptr_t a) {
    return static_cast<uint32_t>((a - memGuarded.base) / (2u * memGuarded.page));
}
// Sets the area up when sampling was asked for before KovaMemInit.
void memGuardedInit();
// Whether header h stands for a guarded block: its data is not its slot's.
MEM_ALWAYS_INLINE bool memIsGuardedHdr(const MemBlockHdr *h, const uint8_t *slot) {
    return !config_classic && __builtin_expect(h->data != slot, 0) && memInGuarded(reinterpret_cast<uintptr_t>(h->data));
}
// One step of a per-thread countdown to the next sampled allocation at a
// rate of one in n (diag/tracerec.cpp): left and rate are the thread's own
// (0: not drawn yet); distances are uniform in 1 .. 2n - 1 from this
// thread's generator, drawn anew when n changes. True: this one is sampled.
bool memSampleStep(uint32_t &left, uint32_t &rate, uint32_t n);
// The fault handler (diag/guardfault.cpp): installed with the area.
bool memGuardedInstallHandler();
// 1 while a fault on a guarded block is let pass ("recover"). Relaxed atomic.
extern uint32_t memGuardedRecover;

}  // namespace kovamem

#endif  // KOVAMEM_CORE_GUARDED_H
