// What is live since a mark: the pool blocks allocated after it (by their
// allocation serials, so a block at an address that was reused since is
// told from the old one) and still live, grouped by call chain when they
// were traced and by pool and requested size otherwise, biggest first.
//
//  INFO: KovaMemPrintLiveSince: since mark M (serial now S): B blocks, N bytes in G groups
//  INFO: KovaMemPrintLiveSince: 40 blocks, 1920 bytes, pools 3, traced:
// STACK DETAILS: A:<lowest address> L:<size of one> T:       0 c: ...
//  INFO: KovaMemPrintLiveSince: 5 blocks, 420 bytes, pool 4 (128 B), size 84, not traced
//  INFO: KovaMemPrintLiveSince: 7 more groups: 12 blocks, 300 bytes     (beyond the 20 biggest)
//  INFO: KovaMemPrintLiveSince: end
//
// The groups are built under all locks in memory mapped for the call
// (no C heap, nothing held afterwards) and written after it. C-heap blocks
// are not tracked by the library and are not listed.
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

#include "../internal.h"

namespace {

constexpr uint32_t kGroups = 4096;  // distinct groups kept; blocks beyond go to the remainder
constexpr uint32_t kShown = 20;     // groups written; the rest in one remainder line

struct Group {
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
    uint64_t bytes;
    uintptr_t low;
    uint32_t count;
    uint32_t pools;  // bit k: a block of pool k
    uint32_t size;   // untraced: the requested size; traced: the first block's
    int16_t pool;    // untraced: the pool; traced: -1
    bool used;
};

struct Scratch {
    Group groups[kGroups];
    uint32_t order[kGroups];
};

uint32_t hashOf(const MemTraceAddr *trace, int pool, uint32_t size) {
    uint64_t h = 1469598103934665603ull;
    if (trace != nullptr) {
        for (int i = 0; i < MEM_TRACE_ENTRIES; ++i) h = (h ^ static_cast<uint64_t>(trace[i])) * 1099511628211ull;
    } else {
        h = (h ^ static_cast<uint64_t>(pool)) * 1099511628211ull;
        h = (h ^ size) * 1099511628211ull;
    }
    return static_cast<uint32_t>(h ^ (h >> 32));
}

// The group of a block, found or claimed; nullptr when the table is full.
Group *groupOf(Scratch &s, const MemTraceAddr *trace, int pool, uint32_t size) {
    const uint32_t start = hashOf(trace, pool, size);
    for (uint32_t i = 0; i < kGroups; ++i) {
        Group &g = s.groups[(start + i) % kGroups];
        if (!g.used) {
            g.used = true;
            if (trace != nullptr) memcpy(g.trace, trace, sizeof g.trace);
            g.pool = static_cast<int16_t>(trace != nullptr ? -1 : pool);
            g.size = size;
            g.low = UINTPTR_MAX;
            return &g;
        }
        const bool same = trace != nullptr ? (g.pool == -1 && memcmp(g.trace, trace, sizeof g.trace) == 0)
                                           : (g.pool == pool && g.size == size);
        if (same) return &g;
    }
    return nullptr;
}

int byBytes(const void *a, const void *b, void *groups) {
    const Group *g = static_cast<const Group *>(groups);
    const Group &x = g[*static_cast<const uint32_t *>(a)], &y = g[*static_cast<const uint32_t *>(b)];
    if (x.bytes != y.bytes) return x.bytes > y.bytes ? -1 : 1;
    return x.count > y.count ? -1 : x.count < y.count ? 1 : 0;
}

using U = unsigned long long;

struct Totals {
    uint32_t blocks = 0, groups = 0, restBlocks = 0;
    uint64_t bytes = 0, restBytes = 0;
};

// Groups the live pool blocks allocated after mark, under all locks; the
// groups' indices in s.order, biggest first.
void groupLive(Scratch &s, uint64_t mark, Totals &t) {
    MemMgrDetails &m = memMgrDetails;
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        const kovamem::PoolGeom &geom = kovamem::memPoolGeom[k];
        kovamem::memForEachBusy(k, [&](const MemBlockHdr *h) {
            if (geom.serial[h->blockIndex] <= mark) return true;
            const MemStackRec *r = h->stackRec;
            Group *g = groupOf(s, r != nullptr ? r->trace : nullptr, k, h->reqSize);
            ++t.blocks;
            t.bytes += h->reqSize;
            if (g == nullptr) {
                ++t.restBlocks;
                t.restBytes += h->reqSize;
                return true;
            }
            if (g->count == 0) s.order[t.groups++] = static_cast<uint32_t>(g - s.groups);
            ++g->count;
            g->bytes += h->reqSize;
            g->pools |= 1u << geom.original;  // a grown pool counts as the built one it grows
            const uintptr_t at = reinterpret_cast<uintptr_t>(h->data);
            if (at < g->low) g->low = at;
            return true;
        });
    }
}

Scratch *mapScratch() {
    void *mapped = mmap(nullptr, sizeof(Scratch), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : static_cast<Scratch *>(mapped);  // zero-filled by the mapping
}

}  // namespace

uint32_t kovamem::memTopLiveSites(LiveSite *out, uint32_t n) {
    if (memMgrDetails.initialized == 0) return 0;
    Scratch *s = mapScratch();
    if (s == nullptr) return 0;
    Totals t;
    memLockAll();
    groupLive(*s, 0, t);
    memUnlockAll();
    qsort_r(s->order, t.groups, sizeof s->order[0], byBytes, s->groups);
    uint32_t found = 0;
    for (uint32_t i = 0; i < t.groups && found < n; ++i) {
        const Group &g = s->groups[s->order[i]];
        if (g.pool >= 0) continue;  // not traced: no site to name
        memcpy(out[found].trace, g.trace, sizeof g.trace);
        out[found].bytes = g.bytes;
        out[found++].count = g.count;
    }
    munmap(s, sizeof(Scratch));
    return found;
}

extern "C" void KovaMemPrintLiveSince(uint64_t mark) {
    MemMgrDetails &m = memMgrDetails;
    if (m.initialized == 0) {
        kovamem::memLogNotInitialized();
        return;
    }
    if (kovamem::memRefusedInHandler("KovaMemPrintLiveSince")) return;
    Scratch *mapped = mapScratch();
    if (mapped == nullptr) {
        memLogPrint(" INFO: KovaMemPrintLiveSince: no memory could be mapped for the groups\n");
        return;
    }
    Scratch &s = *mapped;
    Totals t;
    kovamem::memLockAll();
    const uint64_t now = kovamem::memSerialNow();
    groupLive(s, mark, t);
    kovamem::memUnlockAll();
    uint32_t blocks = t.blocks, groups = t.groups, restBlocks = t.restBlocks;
    uint64_t bytes = t.bytes, restBytes = t.restBytes;

    const bool overflow = restBlocks != 0;  // blocks whose group found no room
    qsort_r(s.order, groups, sizeof s.order[0], byBytes, s.groups);
    memLogPrint(" INFO: KovaMemPrintLiveSince: since mark %llu (serial now %llu): %u blocks, %llu bytes in %u groups\n",
                U(mark), U(now), blocks, U(bytes), groups + (restBlocks != 0 ? 1 : 0));
    for (uint32_t i = 0; i < groups; ++i) {
        const Group &g = s.groups[s.order[i]];
        if (i >= kShown) {
            restBlocks += g.count;
            restBytes += g.bytes;
            continue;
        }
        if (g.pool >= 0) {
            memLogPrint(" INFO: KovaMemPrintLiveSince: %u blocks, %llu bytes, pool %d (%u B), size %u, not traced\n",
                        g.count, U(g.bytes), g.pool, kovamem::memPool(static_cast<unsigned>(g.pool)).blockSize, g.size);
            continue;
        }
        char pools[64];
        size_t len = 0;
        pools[0] = '\0';
        for (int k = 0; k < MEM_POOL_SLOTS; ++k)
            if (g.pools & (1u << k))
                len += static_cast<size_t>(snprintf(pools + len, sizeof pools - len, "%s%d", len ? "," : "", k));
        memLogPrint(" INFO: KovaMemPrintLiveSince: %u blocks, %llu bytes, pools %s, traced:\n", g.count, U(g.bytes),
                    pools);
        printStackDetails(g.trace, g.low, static_cast<int32_t>(g.size), 0);
    }
    if (restBlocks != 0)
        memLogPrint(" INFO: KovaMemPrintLiveSince: %u more groups%s: %u blocks, %llu bytes\n",
                    groups > kShown ? groups - kShown : 0, overflow ? " and the blocks of groups past 4096" : "",
                    restBlocks, U(restBytes));
    memLogPrint(" INFO: KovaMemPrintLiveSince: end\n");
    munmap(mapped, sizeof(Scratch));
}
