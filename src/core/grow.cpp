// Growing pools (default build): a size class whose pools are all busy
// gains a further pool of the same block size, within a byte budget, before
// the request falls through to a larger pool or the C heap.
//
// Each original (a pool KovaMemInit built) that grows gets one reservation
// of address space, inaccessible until used; its grown pools are carved
// from it at fixed power-of-two distances, so that the pool of an address
// is found by one subtraction and one shift (memGrownPoolOf), and their
// areas and header arrays are set up lazily as the built pools' are. The
// budget counts the bytes each grown pool may come to touch: its area and
// its header array, page-rounded. Pools are never given back: a block's
// pool stays valid for every release, report and check.
#include <sys/mman.h>
#include <unistd.h>

#include "../internal.h"
#include "magazine.h"

using kovamem::memGrowth;

namespace {

// Every grown pool aims at this many bytes (area and headers), or at a
// 32nd of the budget when that is more, so that a budget is spent in a few
// dozen pools, not in hundreds of report lines.
constexpr uint64_t kGrowTarget = 1u << 20;

size_t pageBytes() {
    static size_t page = 0;
    if (page == 0) page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

size_t roundPage(size_t n) { return (n + pageBytes() - 1) & ~(pageBytes() - 1); }

// Bytes of one block's header, serial and state, near enough for sizing.
constexpr size_t kMetaPerBlock = kovamem::memMetaBytes(kovamem::kStatesPerLine) / kovamem::kStatesPerLine;

// Blocks per grown pool of original o.
uint16_t blocksPerPool(const MemPool &o, uint64_t budget) {
    const uint64_t target = budget / 32 > kGrowTarget ? budget / 32 : kGrowTarget;
    uint64_t n = target / (kovamem::memSlotStride(o.blockSize) + kMetaPerBlock);
    if (n < 1) n = 1;
    if (n > kovamem::kMaxBlockCount) n = kovamem::kMaxBlockCount;
    return static_cast<uint16_t>(n);
}

// The bytes a grown pool of n blocks of size s counts against the budget.
uint64_t poolCost(uint32_t s, uint16_t n) {
    return roundPage(static_cast<size_t>(n) * kovamem::memSlotStride(s)) + roundPage(kovamem::memMetaBytes(static_cast<uint32_t>(n)));
}

void refuse(uint16_t o, const char *why) {
    if (memGrowth.refused & (1u << o)) return;
    memGrowth.refused |= 1u << o;
    memLogPrint(" ERROR: KovaMemAlloc: Pool %d (size %d) cannot grow: %s\n", o, kovamem::memPool(o).blockSize, why);
}

// The region of original o, reserved at its first growth: room for as many
// pools as the budget left would pay for (at least one).
kovamem::GrowRegion *regionFor(uint16_t o, uint16_t blocks, uint64_t cost) {
    if (memGrowth.regionOf[o] != 0) return &memGrowth.regions[memGrowth.regionOf[o] - 1];
    const uint32_t r = memGrowth.regionCount;
    if (r >= MEM_POOL_SLOTS) return nullptr;
    const MemPool &p = kovamem::memPool(o);
    const size_t area = roundPage(static_cast<size_t>(blocks) * kovamem::memSlotStride(p.blockSize));
    uint32_t shift = 0;
    while ((size_t{1} << shift) < area) ++shift;
    uint64_t fits = (memGrowth.budget - memGrowth.used) / cost;
    if (fits < 1) fits = 1;
    if (fits > kovamem::kMaxPools) fits = kovamem::kMaxPools;
    // A reservation the address space cannot hold (a 32-bit target) is
    // halved until it fits.
    void *at = MAP_FAILED;
    for (; fits >= 1 && at == MAP_FAILED; fits /= 2) {
        at = mmap(nullptr, static_cast<size_t>(fits) << shift, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                  -1, 0);
        if (at != MAP_FAILED) break;
    }
    if (at == MAP_FAILED) return nullptr;
    kovamem::GrowRegion &g = memGrowth.regions[r];
    g.base = reinterpret_cast<uintptr_t>(at);
    g.bytes = static_cast<uintptr_t>(fits) << shift;
    g.shift = shift;
    g.count = 0;
    g.capacity = static_cast<uint32_t>(fits);
    g.blocks = blocks;
    g.original = o;
    memGrowth.regionOf[o] = static_cast<uint16_t>(r + 1);
    __atomic_store_n(&memGrowth.regionCount, r + 1, __ATOMIC_RELEASE);
    return &g;
}

}  // namespace

int kovamem::memGrownPoolOf(uintptr_t a) {
    const uint32_t n = __atomic_load_n(&memGrowth.regionCount, __ATOMIC_ACQUIRE);
    for (uint32_t r = 0; r < n; ++r) {
        const GrowRegion &g = memGrowth.regions[r];
        if (a - g.base >= g.bytes) continue;
        const uintptr_t i = (a - g.base) >> g.shift;
        if (i >= __atomic_load_n(&g.count, __ATOMIC_ACQUIRE)) return -1;
        const int k = g.pools[i];
        return a <= memPoolGeom[k].end ? k : -1;
    }
    return -1;
}

int kovamem::memGrowLocked(uint16_t o) {
    MemMgrDetails &m = memMgrDetails;
    const uint64_t budget = memGrowth.budget;
    if (config_classic || budget == 0) return -1;
    const MemPool &orig = memPool(o);
    GrowRegion *g = memGrowth.regionOf[o] != 0 ? &memGrowth.regions[memGrowth.regionOf[o] - 1] : nullptr;
    const uint16_t blocks = g != nullptr ? g->blocks : blocksPerPool(orig, budget);
    const uint64_t cost = poolCost(orig.blockSize, blocks);
    if (memGrowth.used + cost > budget) return refuse(o, "the growth budget is spent"), -1;
    if (m.poolCount >= kMaxPools) return refuse(o, "the pool table is full"), -1;
    if (g == nullptr) g = regionFor(o, blocks, cost);
    if (g == nullptr) return refuse(o, "no address space for its reservation"), -1;
    if (g->count >= g->capacity) return refuse(o, "its reservation is full"), -1;

    const size_t bytes = static_cast<size_t>(blocks) * memSlotStride(orig.blockSize);
    uint8_t *area = reinterpret_cast<uint8_t *>(g->base + (static_cast<uintptr_t>(g->count) << g->shift));
    if (mprotect(area, roundPage(bytes), PROT_READ | PROT_WRITE) != 0) return refuse(o, "its area cannot be mapped"), -1;
    void *meta = mmap(nullptr, roundPage(kovamem::memMetaBytes(blocks)), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (meta == MAP_FAILED) {
        mprotect(area, roundPage(bytes), PROT_NONE);
        return refuse(o, "its headers cannot be mapped"), -1;
    }

    const uint16_t k = m.poolCount;
    MemPool &p = memPool(k);
    p.blockSize = orig.blockSize;
    p.blockCount = blocks;
    p.area = area;
    p.firstBlock = reinterpret_cast<uintptr_t>(area);
    p.lastBlock = p.firstBlock + static_cast<uintptr_t>(blocks - 1) * memSlotStride(p.blockSize);
    p.freeCount = blocks;
    PoolGeom &pg = memPoolGeom[k];
    pg.start = p.firstBlock;
    pg.end = p.firstBlock + (bytes - 1);
    pg.stride = memSlotStride(p.blockSize);
    pg.recip = (uint64_t{1} << 32) / pg.stride + 1;
    memCarveMeta(pg, meta, blocks);
    pg.original = o;
    pg.nextSame = kNoPool;
    memPoolHot[k] = PoolHot{};
    memPoolHot[k].next = area;
    // Magazines as a built pool of its size and count has them, when its
    // original has them too: a chain's allocations reach the magazines
    // through its built pool, and so does the return of their blocks
    // (memMagsReclaim). Every thread's are empty: this index was never a
    // pool.
    memMagSize[k] = memMagSize[o] != 0 ? memMagSizeFor(p.blockSize, blocks) : 0;
    memShadowArea(area, bytes);
    // The report's described totals count the grown pools too.
    m.totalData += static_cast<uint32_t>(blocks) * p.blockSize;
    m.totalMgmt += kMgmtPerPool + memMgmtPerBlock(p.blockSize) * blocks;
    m.totalReserved = m.totalMgmt + m.totalData;
    memGrowth.used += cost;

    // Copied to the published table before the pool is linked: from the
    // link on, other threads' allocations change its live record.
    memPublishPool(k);
    g->pools[g->count] = k;
    __atomic_store_n(&g->count, g->count + 1, __ATOMIC_RELEASE);
    __atomic_store_n(&memPoolGeom[memGrowth.lastOf[o]].nextSame, k, __ATOMIC_RELEASE);
    memGrowth.lastOf[o] = k;
    __atomic_store_n(&m.poolCount, static_cast<uint16_t>(k + 1), __ATOMIC_RELEASE);
    memLogNote(" INFO: KovaMemAlloc: Pool %d (size %d) grows by Pool %d of %d blocks, %llu of %llu growth bytes\n", o,
               p.blockSize, k, blocks, static_cast<unsigned long long>(memGrowth.used),
               static_cast<unsigned long long>(budget));
    return k;
}

extern "C" {

// Default build: the byte budget of grown pools (0: no pool grows; a pool
// grown stays). Takes effect from the next allocation that finds a size
// class's pools busy, before or after initialisation. The classic build
// accepts it and grows nothing.
void KovaMemSetPoolGrowth(uint64_t budgetBytes) {
    if (kovamem::config_classic) return;
    MemMutex *lock = memMgrDetails.lock;
    if (lock != nullptr) memLock(lock);
    memGrowth.budget = budgetBytes;
    kovamem::memStore(memGrowth.on, static_cast<uint32_t>(budgetBytes != 0));
    if (lock != nullptr) memUnlock(lock);
}

}  // extern "C"
