// Whole-structure check of the manager: every pool's free and quarantine
// lists and its busy blocks (the busy list and its back-links, classic; the
// blocks' states, default) against their counts, the slot layout, and the
// trace table's lists against its counts and the header links. Used by
// tests and debug builds after each scenario; it only reads.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "../internal.h"
#include "magazine.h"

namespace {

struct Checker {
    char *why;
    size_t whyLen;
    bool ok = true;
    bool fail(const char *format, ...) MEM_PRINTF(2, 3);
};

bool Checker::fail(const char *format, ...) {
    if (ok && why != nullptr && whyLen > 0) {
        va_list ap;
        va_start(ap, format);
        vsnprintf(why, whyLen, format, ap);
        va_end(ap);
    }
    ok = false;
    return false;
}

// One bit per block: each header must be met exactly once over the lists.
struct Seen {
    uint8_t bits[(kovamem::kMaxBlockCount + 8) / 8];
    bool mark(uint16_t j) {
        const uint8_t bit = static_cast<uint8_t>(1u << (j & 7));
        if (bits[j >> 3] & bit) return false;
        bits[j >> 3] |= bit;
        return true;
    }
};

// Whether busy header h stands for a guarded block: its data is the
// guarded address its slot names for it.
bool standsForGuarded(const MemBlockHdr *h) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(h->data);
    if (!kovamem::memInGuarded(a)) return false;
    const kovamem::GuardedArea &g = kovamem::memGuarded;
    const uint32_t i = kovamem::memGuardedSlotOf(a);
    if (i >= g.made) return false;
    const kovamem::GuardedSlot &s = g.slot[i];
    return kovamem::memGuardedLive(s, s.state) && s.data == a && s.pool == h->poolIndex && s.block == h->blockIndex && s.size == h->reqSize;
}

// The guarded area: slots used in order, the busy ones each named back by
// the header standing for it, the waiting list as long as its count and
// holding waiting slots only, the counts those of the states.
void checkGuarded(Checker &c) {
    const kovamem::GuardedArea &g = kovamem::memGuarded;
    if (g.base == 0) return;
    if (g.made > g.slots) {
        c.fail("guarded area used %u of %u slots", g.made, g.slots);
        return;
    }
    uint32_t busy = 0, waiting = 0, retired = 0;
    for (uint32_t i = 0; i < g.made; ++i) {
        const kovamem::GuardedSlot &s = g.slot[i];
        const bool live = kovamem::memGuardedLive(s, s.state);
        busy += live;
        waiting += s.state == kovamem::kSlotWaiting;
        retired += s.state == kovamem::kSlotRetired;
        if (s.state == kovamem::kSlotUnused) {
            c.fail("guarded slot %u below the used mark is unused", i);
            return;
        }
        if (!live) continue;
        if (s.pool >= memMgrDetails.poolCount || s.block >= kovamem::memPoolHot[s.pool].made ||
            !kovamem::memBlockBusy(s.pool, s.block) ||
            kovamem::memPoolGeom[s.pool].hdrs[s.block].data != reinterpret_cast<uint8_t *>(s.data)) {
            c.fail("guarded slot %u names pool %u block %u, which does not stand for it", i, s.pool, s.block);
            return;
        }
        const uintptr_t page = g.base + 2u * i * g.page;
        const uintptr_t atEnd = (page + g.page - s.size) & ~static_cast<uintptr_t>(kovamem::config_slot_align - 1);
        if (s.data + s.size > page + g.page || (s.data != atEnd && (s.data != page || i == 0))) {
            c.fail("guarded slot %u block 0x%" PRIxPTR " of %u bytes is not at its page's end or start", i, s.data, s.size);
            return;
        }
    }
    uint32_t listed = 0;
    for (uint32_t at = g.waitHead; at != 0; at = g.slot[at - 1].next) {
        if (at > g.made || ++listed > g.made) {
            c.fail("guarded waiting list leaves the used slots");
            return;
        }
        const uint32_t st = g.slot[at - 1].state;
        if (st != kovamem::kSlotWaiting && st != kovamem::kSlotRetired) {
            c.fail("guarded waiting list holds slot %u in state %u", at - 1, st);
            return;
        }
    }
    if (busy != g.busy || listed != g.waiting || waiting > listed || retired != kovamem::memLoad(g.retired))
        c.fail("guarded counts busy %u waiting %u retired %u, slots say %u, %u (listed %u), %u", g.busy, g.waiting,
               g.retired, busy, waiting, listed, retired);
}

// Walks one list of pool k's headers, bounded by the pool's block count;
// every header on a list is one of the made blocks. Returns the number of
// headers met, or -1 after a fault.
int walkList(Checker &c, const MemPool &p, uint16_t k, const MemBlockHdr *head, Seen &seen, const char *name,
             const MemBlockHdr **last, uint32_t *reqSum) {
    int n = 0;
    *last = nullptr;
    const uint32_t made = kovamem::memPoolHot[k].made;
    for (const MemBlockHdr *h = head; h != nullptr; h = h->next) {
        if (n > p.blockCount) return c.fail("pool %u %s list longer than its blocks", k, name), -1;
        if (h->blockIndex >= made && h->poolIndex == k && h->blockIndex < p.blockCount)
            return c.fail("pool %u %s list holds block %u, never handed out (made %u)", k, name, h->blockIndex, made), -1;
        if (h->poolIndex != k || h->blockIndex >= p.blockCount)
            return c.fail("pool %u %s list holds a header of pool %u block %u", k, name, h->poolIndex, h->blockIndex), -1;
        if (!seen.mark(h->blockIndex))
            return c.fail("pool %u block %u met twice (%s list)", k, h->blockIndex, name), -1;
        if (h->data != kovamem::memSlotData(p, h->blockIndex) && !(reqSum != nullptr && standsForGuarded(h)))
            return c.fail("pool %u block %u data is not its slot", k, h->blockIndex), -1;
        if (reqSum != nullptr) *reqSum += h->reqSize;
        *last = h;
        ++n;
    }
    return n;
}

// Default build: the blocks' states against the lists and the header array,
// after the quarantine and free lists marked their blocks in seen: a free
// block is kBlockFree, a quarantined one kBlockDamaged, a never-used one
// kBlockUnused; every other made block is live, met once, with its data at
// its slot (or the guarded address its slot names), a serial within the
// allocations made, and on no list. Returns the live blocks, or -1 after a
// fault; their request sizes are summed into *reqSum.
int checkStates(Checker &c, const MemPool &p, uint16_t k, Seen &seen, uint32_t *reqSum) {
    const kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
    const uint32_t made = kovamem::memPoolHot[k].made;
    if (p.busyHead != nullptr || p.busyTail != nullptr) return c.fail("pool %u has a busy list", k), -1;
    for (const MemBlockHdr *h = p.freeHead; h != nullptr; h = h->next)
        if (kovamem::memGetState(k, h->blockIndex) != kovamem::kBlockFree)
            return c.fail("pool %u free block %u in state %u", k, h->blockIndex, kovamem::memGetState(k, h->blockIndex)), -1;
    for (const MemBlockHdr *h = memMgrDetails.corruptList; h != nullptr; h = h->next)
        if (h->poolIndex == k && kovamem::memGetState(k, h->blockIndex) != kovamem::kBlockDamaged)
            return c.fail("pool %u quarantined block %u in state %u", k, h->blockIndex, kovamem::memGetState(k, h->blockIndex)), -1;
    const uint64_t now = kovamem::memSerialNow();
    int live = 0;
    for (uint32_t j = 0; j < p.blockCount; ++j) {
        const uint8_t st = kovamem::memGetState(k, j);
        if (j >= made) {
            if (st != kovamem::kBlockUnused) return c.fail("pool %u never-used block %u in state %u", k, j, st), -1;
            continue;
        }
        if (st != kovamem::kBlockLive) {
            if (st != kovamem::kBlockFree && st != kovamem::kBlockDamaged)
                return c.fail("pool %u made block %u in state %u", k, j, st), -1;
            continue;
        }
        const MemBlockHdr *h = &g.hdrs[j];
        if (h->blockIndex != j || h->poolIndex != k) return c.fail("pool %u live block %u names block %u of pool %u", k, j, h->blockIndex, h->poolIndex), -1;
        if (!seen.mark(static_cast<uint16_t>(j))) return c.fail("pool %u live block %u is on a list", k, j), -1;
        if (h->next != nullptr) return c.fail("pool %u live block %u links another header", k, j), -1;
        if (h->data != kovamem::memSlotData(p, h->blockIndex) && !standsForGuarded(h))
            return c.fail("pool %u block %u data is not its slot", k, h->blockIndex), -1;
        if (g.serial[j] < 2 || g.serial[j] > now)
            return c.fail("pool %u live block %u has serial %llu out of the allocations made (serial %llu)", k, j,
                          static_cast<unsigned long long>(g.serial[j]), static_cast<unsigned long long>(now)), -1;
        *reqSum += h->reqSize;
        ++live;
    }
    return live;
}

// Classic build: the busy list's back-links: each busy block names the header before it
// (itself at the head), every other block, never-used ones included,
// kNotBusy; the header array is the
// one the geometry names. The busy list is in allocation order, so the
// busy blocks' serials rise along it, none beyond the count.
void checkBackLinks(Checker &c, const MemPool &p, uint16_t k) {
    const kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
    const uint64_t now = kovamem::memSerialNow();  // a sum over the pools: once, not per block
    static uint8_t busy[(kovamem::kMaxBlockCount + 8) / 8];
    memset(busy, 0, sizeof busy);
    const MemBlockHdr *prev = nullptr;
    for (const MemBlockHdr *h = p.busyHead; h != nullptr; prev = h, h = h->next) {
        if (h != &g.hdrs[h->blockIndex]) {
            c.fail("pool %u block %u is not in the pool's header array", k, h->blockIndex);
            return;
        }
        const uint16_t want = kovamem::memBackLink(prev != nullptr ? prev->blockIndex : h->blockIndex);
        if (g.busyPrev[h->blockIndex] != want) {
            c.fail("pool %u busy block %u back-link %u, want %u", k, h->blockIndex, g.busyPrev[h->blockIndex], want);
            return;
        }
        {
            const uint64_t at = g.serial[h->blockIndex];
            const bool rises = prev == nullptr || at > g.serial[prev->blockIndex];
            if (at == 0 || !rises || at > now) {
                c.fail("pool %u busy block %u has serial %llu out of allocation order (serial %llu)", k, h->blockIndex,
                       static_cast<unsigned long long>(at), static_cast<unsigned long long>(now));
                return;
            }
        }
        busy[h->blockIndex >> 3] |= static_cast<uint8_t>(1u << (h->blockIndex & 7));
    }
    for (uint32_t j = 0; j < p.blockCount; ++j) {
        if (!(busy[j >> 3] & (1u << (j & 7))) && g.busyPrev[j] != kovamem::kNotBusy) {
            c.fail("pool %u block %u is not busy but has back-link %u", k, j, g.busyPrev[j]);
            return;
        }
    }
}

// The grown pools: each on the chain of a built pool with its block size,
// the chains ending where the growth records say, the regions naming their
// pools, the pool table within its room.
void checkGrowth(Checker &c) {
    const MemMgrDetails &m = memMgrDetails;
    const kovamem::Growth &gr = kovamem::memGrowth;
    if (m.poolCount > kovamem::kMaxPools || m.poolCount < kovamem::memPoolsBuilt) {
        c.fail("pool table holds %u pools, %u built", m.poolCount, kovamem::memPoolsBuilt);
        return;
    }
    uint16_t onChains = 0;
    for (uint16_t o = 0; o < kovamem::memPoolsBuilt && c.ok; ++o) {
        uint16_t last = o;
        for (uint16_t k = o; k != kovamem::kNoPool; k = kovamem::memPoolGeom[k].nextSame) {
            if (k >= m.poolCount || (k != o && k < kovamem::memPoolsBuilt) || ++onChains > m.poolCount) {
                c.fail("chain of pool %u reaches pool %u", o, k);
                return;
            }
            if (kovamem::memPoolGeom[k].original != o || kovamem::memPool(k).blockSize != kovamem::memPool(o).blockSize)
                c.fail("pool %u on the chain of pool %u has original %u, size %u", k, o, kovamem::memPoolGeom[k].original,
                       kovamem::memPool(k).blockSize);
            last = k;
        }
        if (!kovamem::config_classic && gr.lastOf[o] != last) c.fail("chain of pool %u ends at %u, recorded %u", o, last, gr.lastOf[o]);
    }
    if (c.ok && onChains != m.poolCount) c.fail("%u pools on chains of %u", onChains, m.poolCount);
    if (c.ok && !kovamem::config_classic && onChains != kovamem::memPoolsBuilt) {
        uint32_t inRegions = 0;
        for (uint32_t r = 0; r < gr.regionCount; ++r) inRegions += gr.regions[r].count;
        if (inRegions != static_cast<uint32_t>(m.poolCount - kovamem::memPoolsBuilt))
            c.fail("%u pools grown, %u in growth regions", m.poolCount - kovamem::memPoolsBuilt, inRegions);
    }
    uint32_t grown = 0;
    for (uint32_t r = 0; r < gr.regionCount && c.ok; ++r) {
        const kovamem::GrowRegion &g = gr.regions[r];
        if (g.count > g.capacity || gr.regionOf[g.original] != r + 1) c.fail("growth region %u of pool %u is not its own", r, g.original);
        for (uint32_t i = 0; i < g.count && c.ok; ++i) {
            const uint16_t k = g.pools[i];
            const uintptr_t at = g.base + (static_cast<uintptr_t>(i) << g.shift);
            if (k >= m.poolCount || kovamem::memPoolGeom[k].original != g.original || kovamem::memPool(k).firstBlock != at ||
                kovamem::memPoolOfAddress(at) != k || kovamem::memPoolOfAddress(kovamem::memPoolGeom[k].end) != k)
                c.fail("growth region %u chunk %u is not pool %u's", r, i, k);
            ++grown;
        }
    }
    if (c.ok && grown != 0 && gr.used == 0) c.fail("%u grown pools, but no growth bytes counted", grown);
}

void checkPools(Checker &c) {
    const MemMgrDetails &m = memMgrDetails;
    static Seen seen;  // 8 KiB: kept off the stack; used under all locks
    static uint32_t perPool[kovamem::kMaxPools];
    memset(perPool, 0, sizeof perPool);
    uint32_t corruptTotal = 0;
    int guardLimit = kovamem::kMaxPools * (kovamem::kMaxBlockCount + 1);
    for (const MemBlockHdr *h = m.corruptList; h != nullptr; h = h->next) {
        if (--guardLimit < 0) {
            c.fail("quarantine list does not end");
            return;
        }
        if (h->poolIndex >= m.poolCount || h->blockIndex >= kovamem::memPoolHot[h->poolIndex].made) {
            c.fail("quarantine list holds pool %u block %u, outside the table", h->poolIndex, h->blockIndex);
            return;
        }
        if (h->stackRec != nullptr) c.fail("quarantined pool %u block %u holds a trace record", h->poolIndex, h->blockIndex);
        ++perPool[h->poolIndex];
        ++corruptTotal;
    }
    if (corruptTotal != m.corruptCount) c.fail("corruptCount %u, quarantine list %u", m.corruptCount, corruptTotal);
    checkGrowth(c);
    if (c.ok) checkGuarded(c);

    for (uint16_t k = 0; k < m.poolCount && c.ok; ++k) {
        const MemPool &p = kovamem::memPool(k);
        if (k > 0 && k < kovamem::memPoolsBuilt && p.blockSize <= kovamem::memPool(k - 1u).blockSize)
            c.fail("pool %u block size does not rise", k);
        // Each header of the pool is met once over its quarantined and free
        // lists and its busy blocks.
        memset(&seen, 0, sizeof seen);
        for (const MemBlockHdr *h = m.corruptList; h != nullptr && perPool[k] != 0; h = h->next) {
            if (h->poolIndex == k && !seen.mark(h->blockIndex)) {
                c.fail("pool %u block %u quarantined twice", k, h->blockIndex);
                return;
            }
        }
        const MemBlockHdr *last;
        uint32_t req = 0;
        // Never-used blocks are free and on no list (default build; the
        // classic build makes every block at initialisation).
        const uint32_t made = kovamem::memPoolHot[k].made;
        if (made > p.blockCount || (kovamem::config_classic && made != p.blockCount)) {
            c.fail("pool %u made %u of %u blocks", k, made, p.blockCount);
            return;
        }
        const int fresh = static_cast<int>(p.blockCount - made);
        int nf = walkList(c, p, k, p.freeHead, seen, "free", &last, nullptr);
        if (nf < 0) return;
        if (last != p.freeTail) c.fail("pool %u freeTail is not the free list's last header", k);
        if (nf + fresh != p.freeCount)
            c.fail("pool %u freeCount %u, free list %d and never used %d", k, p.freeCount, nf, fresh);
        const uint64_t now = kovamem::memSerialNow();
        for (const MemBlockHdr *h = p.freeHead; h != nullptr && c.ok; h = h->next) {
            if (h->reqSize != 0) c.fail("pool %u free block %u is not clear", k, h->blockIndex);
            // A free block's record, if any, is one the held list keeps for it.
            if (h->stackRec != nullptr && (kovamem::config_classic || h->stackRec->hdr != h))
                c.fail("pool %u free block %u holds a record that is not its own", k, h->blockIndex);
            if (kovamem::memGuardWord(h->data + p.blockSize) != MEM_GUARD_WORD) c.fail("pool %u free block %u guard", k, h->blockIndex);
            if (!kovamem::config_classic && kovamem::memPoolGeom[k].serial[h->blockIndex] > now)
                c.fail("pool %u free block %u has serial %llu, beyond the allocations made", k, h->blockIndex,
                       static_cast<unsigned long long>(kovamem::memPoolGeom[k].serial[h->blockIndex]));
        }
        // memValidate holds every lock: pool k's through its owner's way,
        // marked inside, or through its mutex. Either way no other thread
        // owns it: a thread that ended this one's ownership meanwhile
        // waits, and this thread may have become its owner again.
        if (kovamem::config_owned_locks) {
            const kovamem::PoolLock &l = kovamem::memPoolLocks[k];
            const uintptr_t owner = kovamem::memLoad(l.owner);
            if (owner != kovamem::kLockShared && owner != kovamem::memThreadId())
                c.fail("pool %u lock held by this thread, but owned by another", k);
            else if (owner == kovamem::kLockShared && kovamem::memOwnMarks != nullptr &&
                     kovamem::memLoad(kovamem::memOwnMarks->inside[k]) != 0 &&
                     pthread_mutex_trylock(const_cast<pthread_mutex_t *>(&l.mutex)) == 0) {
                // In as the owner while another thread waits (its mutex taken).
                pthread_mutex_unlock(const_cast<pthread_mutex_t *>(&l.mutex));
                c.fail("pool %u lock held by its former owner, but nobody took its mutex to end that", k);
            }
        }
        int nb;
        if (kovamem::config_classic) {
            nb = walkList(c, p, k, p.busyHead, seen, "busy", &last, &req);
            if (nb < 0) return;
            checkBackLinks(c, p, k);
        } else {
            nb = checkStates(c, p, k, seen, &req);
            if (nb < 0) return;
            last = p.busyTail;  // no busy list: checked NULL there
        }
        // The prefetch hint may be stale, but it always names a slot of
        // this pool: a hint stored for the wrong pool would fetch lines
        // that the allocation never uses.
        const uintptr_t hint = reinterpret_cast<uintptr_t>(kovamem::memLoad(kovamem::memPoolHot[k].next));
        const uintptr_t area = reinterpret_cast<uintptr_t>(p.area);
        const uintptr_t areaEnd = area + static_cast<uintptr_t>(p.blockCount) * kovamem::memSlotStride(p.blockSize);
        if (!kovamem::config_classic) {
            // Default build: the hint is exactly the data of the block
            // handed out next (the first never-used one, else the free
            // head), or null for an empty pool, which allocations pass over
            // unlocked.
            const uintptr_t head = fresh > 0 ? area + static_cast<uintptr_t>(made) * kovamem::memSlotStride(p.blockSize)
                                   : p.freeHead != nullptr ? reinterpret_cast<uintptr_t>(p.freeHead->data)
                                                           : 0;
            if (hint != head) c.fail("pool %u hint %#lx is not its next block %#lx", k, static_cast<unsigned long>(hint),
                                     static_cast<unsigned long>(head));
        } else if (hint < area || hint >= areaEnd || kovamem::memExactSlot(hint - area, kovamem::memPoolGeom[k]) < 0) {
            c.fail("pool %u prefetch hint is not one of its slots", k);
        }
        if (last != p.busyTail) c.fail("pool %u busyTail is not the busy list's last header", k);
        if (nb != p.busyCount) c.fail("pool %u busyCount %u, busy list %d", k, p.busyCount, nb);
        if (req != p.reqBytes) c.fail("pool %u reqBytes %u, busy sizes %u", k, p.reqBytes, req);
        if (p.peakCount < p.busyCount) c.fail("pool %u peak %u below busy %u", k, p.peakCount, p.busyCount);
        const kovamem::PoolHot &g = kovamem::memPoolHot[k];
        if (g.windowPeak < p.busyCount || g.windowPeak > p.peakCount)
            c.fail("pool %u window peak %u outside busy %u .. lifetime peak %u", k, g.windowPeak, p.busyCount, p.peakCount);
        // Every block taken is busy, was returned intact, or was quarantined
        // by its release.
        if (g.allocs < static_cast<uint64_t>(p.busyCount) + g.damaged)
            c.fail("pool %u allocations %llu below busy %u + quarantined by a release %u", k,
                   static_cast<unsigned long long>(g.allocs), p.busyCount, g.damaged);
        if (perPool[k] != p.corruptCount) c.fail("pool %u corruptCount %u, quarantined %u", k, p.corruptCount, perPool[k]);
        if (p.freeCount + p.busyCount + p.corruptCount != p.blockCount)
            c.fail("pool %u F %u + B %u + C %u != N %u", k, p.freeCount, p.busyCount, p.corruptCount, p.blockCount);
    }
}

// The chain store, and the ids of every block that must name chains in it:
// the free blocks released filled.
void checkChainStore(Checker &c) {
    uint32_t bad = 0;
    if (!kovamem::memDepotConsistent(&bad)) c.fail("chain store: chain %u is astray", bad);
    const uint32_t count = kovamem::memDepotCount();
    for (uint16_t k = 0; k < memMgrDetails.poolCount && c.ok; ++k) {
        const uint32_t *ids = kovamem::memChainIds[k];
        if (ids == nullptr) continue;
        const kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
        for (uint32_t j = 0; j < kovamem::memPool(k).blockCount && c.ok; ++j) {
            if (kovamem::memBlockBusy(k, j) || g.serial[j] != kovamem::kFreeFilled) continue;
            for (int w = 0; w < 2; ++w)
                if (ids[2 * j + w] != kovamem::kDepotFull && ids[2 * j + w] > count)
                    c.fail("pool %u block %u names chain %u of %u stored", k, j, ids[2 * j + w], count);
        }
    }
}

void checkTraceTable(Checker &c) {
    const MemStackData &d = memStackData;
    if (!memStackChained) {  // untouched: every record free, none linked
        if (d.freeCount != MEM_STACK_RECORDS || d.busyCount != 0 || d.busyHead != nullptr || memHeld.count != 0 ||
            memHeld.head != nullptr || d.freeHead != &memStackRecords[0])
            c.fail("trace table never chained, but counts %u/%u, held %u", d.freeCount, d.busyCount, memHeld.count);
        return;
    }
    const MemStackRec *lists[2] = {d.freeHead, d.busyHead};
    const char *names[2] = {"free", "busy"};
    int counts[2] = {0, 0};
    for (int l = 0; l < 2 && c.ok; ++l) {
        const MemStackRec *prev = nullptr;
        for (const MemStackRec *r = lists[l]; r != nullptr; prev = r, r = r->next) {
            if (r < memStackRecords || r >= memStackRecords + MEM_STACK_RECORDS) {
                c.fail("trace %s list leaves the table", names[l]);
                return;
            }
            if (++counts[l] > MEM_STACK_RECORDS) {
                c.fail("trace %s list does not end", names[l]);
                return;
            }
            if (r->prev != prev) c.fail("trace %s list record %d has a wrong prev", names[l], static_cast<int>(r - memStackRecords));
            if (l == 0 && r->hdr != nullptr) c.fail("free trace record %d has a header", static_cast<int>(r - memStackRecords));
            if (l == 1 && (r->hdr == nullptr || r->hdr->stackRec != r))
                c.fail("busy trace record %d is not linked both ways", static_cast<int>(r - memStackRecords));
        }
    }
    if (!c.ok) return;
    // The held list: records kept by free blocks, each linked both ways
    // with a block on its pool's free list.
    int held = 0;
    const MemStackRec *prev = nullptr;
    for (const MemStackRec *r = memHeld.head; r != nullptr && c.ok; prev = r, r = r->next) {
        if (r < memStackRecords || r >= memStackRecords + MEM_STACK_RECORDS || ++held > MEM_STACK_RECORDS) {
            c.fail("held trace list leaves the table or does not end");
            return;
        }
        if (r->prev != prev) c.fail("held trace record %d has a wrong prev", static_cast<int>(r - memStackRecords));
        const MemBlockHdr *h = r->hdr;
        if (h == nullptr || h->stackRec != r || h->poolIndex >= memMgrDetails.poolCount ||
            kovamem::memBlockBusy(h->poolIndex, h->blockIndex) || h->reqSize != 0)
            c.fail("held trace record %d is not kept by a free block", static_cast<int>(r - memStackRecords));
    }
    if (!c.ok) return;
    if (prev != memHeld.tail) c.fail("held trace list's tail is not its last record");
    if (held != memHeld.count) c.fail("held trace count %u, list %d", memHeld.count, held);
    if (counts[0] != d.freeCount || counts[1] != d.busyCount)
        c.fail("trace counts %u/%u, lists %d/%d", d.freeCount, d.busyCount, counts[0], counts[1]);
    if (counts[0] + counts[1] + held != MEM_STACK_RECORDS)
        c.fail("trace lists hold %d records", counts[0] + counts[1] + held);
    if (kovamem::memLoad(d.logStack) == 0 && d.busyCount + held != 0) c.fail("tracing off with busy or held trace records");
    // Every header with a record is busy and its record points back.
    const MemMgrDetails &m = memMgrDetails;
    for (uint16_t k = 0; k < m.poolCount && c.ok; ++k) {
        kovamem::memForEachBusy(k, [&](const MemBlockHdr *h) {
            if (h->stackRec != nullptr && h->stackRec->hdr != h)
                return c.fail("pool %u block %u record does not point back", k, h->blockIndex);
            return true;
        });
    }
}

}  // namespace

extern "C" int memValidate(char *why, size_t whyLen) {
    Checker c{why, whyLen};
    if (why != nullptr && whyLen > 0) why[0] = '\0';
    const bool locked = memMgrDetails.initialized != 0;
    if (locked && kovamem::memRefusedInHandler("memValidate")) {
        if (why != nullptr && whyLen > 0) snprintf(why, whyLen, "called from a signal handler inside the library");
        return 0;
    }
    kovamem::GuardFindings guards;
    guards.count = 0;
    if (locked) kovamem::memLockAll();
    if (locked) kovamem::memSumCounts();
    if (locked) kovamem::memScanGuards(&guards);
    if (locked) checkPools(c);
    // The records are chained by initialisation (or an earlier reset);
    // before that there is no list.
    if (c.ok && (locked || memStackData.lock != nullptr)) checkTraceTable(c);
    if (c.ok && locked && !kovamem::config_classic) checkChainStore(c);
    // Every magazine was emptied into its pool when the locks were taken.
    char mags[160];
    if (c.ok && locked && kovamem::config_magazines && !kovamem::memMagsCheck(mags, sizeof mags)) c.fail("%s", mags);
    if (locked) kovamem::memUnlockAll();
    if (guards.count != 0) kovamem::memLogGuardFindings("memValidate", guards);
    char records[160];  // its own lock: after the pools', as a record is made after them
    if (c.ok && !kovamem::config_classic)
        if (const char *bad = kovamem::memRecordsInvalid(records, sizeof records)) c.fail("%s", bad);
    return c.ok ? 1 : 0;
}
