// The manager's records, the trace-record table and the mutex holder.
#include <stdlib.h>

#include "../internal.h"
#include "magazine.h"

static_assert(!kovamem::config_word32 || sizeof(MemMgrDetails) == 60, "MemMgrDetails is 60 bytes on 32-bit");
static_assert(!kovamem::config_word32 || sizeof(MemPool) == 52, "MemPool is 52 bytes on 32-bit");
static_assert(!kovamem::config_word32 || sizeof(MemBlockHdr) == 24, "MemBlockHdr is 24 bytes on 32-bit");
static_assert(!kovamem::config_word32 || sizeof(MemStackRec) == 60, "MemStackRec is 60 bytes on 32-bit");
static_assert(sizeof(MEM_TRACE_END) == sizeof(void *), "a trace entry is pointer-wide");

kovamem::PoolGeom kovamem::memPoolGeom[kovamem::kMaxPools];
uint16_t kovamem::memPoolsBuilt;
kovamem::Growth kovamem::memGrowth;
bool kovamem::memUnderValgrind;
kovamem::AddressIndex kovamem::memByAddress;
uint8_t kovamem::memFirstPoolOfClass[MEM_POOL_SLOTS];
kovamem::HeapFns kovamem::memHeap = {malloc, calloc, realloc, free, posix_memalign};
kovamem::HotCounts kovamem::memHot;
alignas(64) kovamem::PoolHot kovamem::memPoolHot[kovamem::kMaxPools];

kovamem::PoolLock kovamem::memPoolLocks[kovamem::kMaxPools];
kovamem::LivePool kovamem::memLivePools[kovamem::kMaxPools];

void kovamem::memPublishPool(unsigned k) {
    if (!config_classic) memMgrDetails.pools[k] = memLivePools[k].rec;
}
pthread_mutex_t kovamem::memQuarantineLock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t kovamem::memGuardedLock = PTHREAD_MUTEX_INITIALIZER;

void kovamem::memLockAll(bool throughMutexes) {
    MemMgrDetails &m = memMgrDetails;
    (void)memLock(m.lock);
    if (config_classic) return;
    if (config_magazines) memMagsStop();
    // Pools are made only under the manager lock: the count stays as read.
    // Through each mutex (fork), any ownership ends: a thread that waits in
    // a mutex for an owner to leave would leave that mutex held by nobody
    // in the child.
    for (unsigned k = 0; k < m.poolCount; ++k) {
        if (!throughMutexes) {
            memTakePoolLock(k);
            continue;
        }
        (void)pthread_mutex_lock(&memPoolLocks[k].mutex);
        memPoolMutexSlow(k, memThreadId());
    }
    if (config_magazines) memMagsEmptyAll();
}

void kovamem::memUnlockAll() {
    MemMgrDetails &m = memMgrDetails;
    if (config_magazines) __atomic_store_n(&memMagStop, uint8_t{0}, __ATOMIC_SEQ_CST);
    if (!config_classic)
        for (unsigned k = m.poolCount; k-- > 0;) memGivePoolLock(k);
    (void)memUnlock(m.lock);
}

void kovamem::memSumCounts() {
    if (config_classic) return;
    MemMgrDetails &m = memMgrDetails;
    uint64_t taken = 0, moved = 0, kept = 0;
    for (unsigned k = 0; k < m.poolCount; ++k) {
        const PoolHot &st = memPoolHot[k];
        taken += st.allocs;
        moved += st.reallocs;
        // Every block taken is busy, or was released intact or damaged.
        kept += static_cast<uint64_t>(memPool(k).busyCount) + st.damaged;
    }
    m.memMallocCount = static_cast<uint32_t>(taken);
    memHot.poolHigh = static_cast<uint32_t>(taken >> 32);
    m.memReallocCount = static_cast<uint32_t>(moved);
    memHot.reallocs = moved;
    m.memFreeCount = static_cast<uint32_t>(taken - kept);
    for (unsigned k = 0; k < m.poolCount; ++k) memPublishPool(k);
}

uint64_t kovamem::memSerialNow() {
    if (!config_classic) {
        uint64_t taken = 0;
        for (unsigned k = 0; k < memMgrDetails.poolCount; ++k) taken += memPoolHot[k].serials;
        const uint64_t low = taken + 1 < kSerialLowMask ? taken + 1 : kSerialLowMask;
        return (static_cast<uint64_t>(memHot.markEpoch) << kSerialLowBits) | low;
    }
    const uint32_t &low = memMgrDetails.sysMallocCount;
    for (;;) {  // the C-heap count's high word read again: no wrap came between
        const uint32_t h = __atomic_load_n(&memHot.sysHigh.malloc, __ATOMIC_RELAXED);
        const uint32_t l = __atomic_load_n(&low, __ATOMIC_RELAXED);
        if (__atomic_load_n(&memHot.sysHigh.malloc, __ATOMIC_RELAXED) == h)
            return ((static_cast<uint64_t>(memHot.poolHigh) << 32) | memMgrDetails.memMallocCount) +
                   ((static_cast<uint64_t>(h) << 32) | l) + 1;  // + 1: never kFreeFilled
    }
}

// A C-heap counter's low word wrapped: its high word follows.
void kovamem::memCountWrapped(uint32_t &counter) {
    MemMgrDetails &m = memMgrDetails;
    uint32_t *high = &counter == &m.sysMallocCount    ? &memHot.sysHigh.malloc
                     : &counter == &m.sysReallocCount ? &memHot.sysHigh.realloc
                     : &counter == &m.sysFreeCount    ? &memHot.sysHigh.free
                                                      : nullptr;
    if (high != nullptr) __atomic_fetch_add(high, 1u, __ATOMIC_RELAXED);
}

extern "C" {

MemMgrDetails memMgrDetails;
MemPool *memPoolData;

MemStackRec memStackRecords[MEM_STACK_RECORDS];

// The records are chained into the free list by the first reset, which
// KovaMemInit performs; until then only the counts and the head are set.
MemStackData memStackData = {
    0,                        // logStack: tracing off
    MEM_STACK_RECORDS,        // freeCount
    0,                        // busyCount
    memStackRecords,          // records
    &memStackRecords[0],      // freeHead
    nullptr,                  // busyHead
    nullptr,                  // lock: created by the first reset
    kovamem::kDebugMemUsage,  // debugMemUsage
};

MemMutex *memCreateMutex(void) {
    MemMutex *m = static_cast<MemMutex *>(kovamem::memHeap.calloc(1, sizeof(MemMutex)));
    if (m == nullptr) return nullptr;
    m->mutex = &m->storage;
    if (pthread_mutex_init(m->mutex, nullptr) != 0) {
        kovamem::memHeap.free(m);
        return nullptr;
    }
    return m;
}

}  // extern "C"
