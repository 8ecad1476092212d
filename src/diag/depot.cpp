// The chain store (default build): every call chain a released block must
// keep until it is handed out again, its allocation's and its release's,
// stored once however many blocks share it (hash-consed, as the stack
// depots of AddressSanitizer and the kernel store theirs), so that the
// write-after-release check names both chains whatever the pressure on the
// 3000 trace records, which live blocks need.
//
// A chain is known by its id, 1 + its index in the store; a released block
// keeps two ids (memChainIds, per pool: allocation, release). The store
// holds at most kDepotChains chains and never gives one back: when it is
// full a chain not in it gets kDepotFull, and the entry that would name it
// says so. Its memory is one mapping, made at the first chain kept, whose
// pages are touched as chains arrive (docs/figures.md).
//
// Locks: the store is guarded by the trace-table lock (its writers and
// readers hold it, and a pool lock); a pool's ids by that pool's lock.
#include <sys/mman.h>

#include "../internal.h"

uint32_t *kovamem::memChainIds[kMaxPools];
uint32_t kovamem::memDepotCapacity = kovamem::kDepotChains;

namespace {

constexpr uint32_t kBuckets = 4096;  // a power of two

struct Chain {
    uint32_t next;  // id of the next chain in its bucket, 0: none
    uint32_t hash;
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
};
struct Store {
    uint32_t bucket[kBuckets];  // id of the first chain of each bucket
    Chain chain[kovamem::kDepotChains];
};
Store *gStore;
uint32_t gCount;

uint32_t hashOf(const MemTraceAddr *t) {
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the words
    for (int i = 0; i < MEM_TRACE_ENTRIES; ++i) h = (h ^ static_cast<uint64_t>(t[i])) * 1099511628211ull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

}  // namespace

uint32_t kovamem::memDepotPut(const MemTraceAddr *trace) {
    if (gStore == nullptr) {
        void *p = mmap(nullptr, sizeof(Store), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED) return kDepotFull;
        gStore = static_cast<Store *>(p);
    }
    const uint32_t h = hashOf(trace);
    uint32_t &head = gStore->bucket[h & (kBuckets - 1)];
    for (uint32_t id = head; id != 0; id = gStore->chain[id - 1].next) {
        const Chain &c = gStore->chain[id - 1];
        if (c.hash == h && memcmp(c.trace, trace, sizeof c.trace) == 0) return id;
    }
    if (gCount >= memDepotCapacity || gCount >= kDepotChains) return kDepotFull;
    Chain &c = gStore->chain[gCount];
    c.next = head;
    c.hash = h;
    memcpy(c.trace, trace, sizeof c.trace);
    head = ++gCount;
    return head;
}

kovamem::ChainState kovamem::memDepotGet(uint32_t id, MemTraceAddr *out) {
    if (id == kDepotFull) return kChainLost;
    if (id == 0 || id > gCount) return kChainNone;
    memcpy(out, gStore->chain[id - 1].trace, sizeof gStore->chain[id - 1].trace);
    return kChainKept;
}

uint32_t kovamem::memDepotCount() { return gCount; }

bool kovamem::memChainIdsFor(unsigned k) {
    if (memChainIds[k] != nullptr) return true;
    const size_t bytes = 2u * sizeof(uint32_t) * memPool(k).blockCount;
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return false;
    memChainIds[k] = static_cast<uint32_t *>(p);
    return true;
}

bool kovamem::memDepotConsistent(uint32_t *badId) {
    *badId = 0;
    if (gStore == nullptr) return gCount == 0;
    uint32_t seen = 0;
    for (uint32_t b = 0; b < kBuckets; ++b) {
        for (uint32_t id = gStore->bucket[b]; id != 0; id = gStore->chain[id - 1].next) {
            // Ids fall as a bucket is walked (a new chain goes first), so a
            // walk that does not fall has met a loop or a stray link.
            const Chain &c = gStore->chain[id - 1];
            if (id > gCount || (c.hash & (kBuckets - 1)) != b || c.hash != hashOf(c.trace) ||
                (c.next != 0 && c.next >= id) || ++seen > gCount) {
                *badId = id;
                return false;
            }
        }
    }
    return seen == gCount;
}
