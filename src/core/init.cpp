// Initialisation: the pool table, the block layout, the totals, and the
// reset of the trace-record table.
#include <stdio.h>
#include <stddef.h>
#include <stdlib.h>
#include <time.h>
#include <sys/mman.h>
#include <unistd.h>

#include "../internal.h"
#include "magazine.h"

using kovamem::memStore;

namespace {

// Default build (and under Valgrind): block areas and header arrays are
// mappings of their own, zero-filled pages that the kernel provides on
// first touch, so that a pool costs resident memory only for the blocks it
// has handed out. No swap or commit is reserved for them up front.
bool mapsAreas() { return !kovamem::config_classic || kovamem::memShadowMapsAreas(); }

void *mapZeroed(size_t bytes) {
    void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

// Gives back an area or header array that allocArea / allocMeta made.
void releaseZeroed(void *at, size_t bytes, bool mapped) {
    if (at == nullptr) return;
    if (mapped)
        munmap(at, bytes);
    else
        kovamem::memHeap.free(at);
}

// Bytes of the pool table: the built pools, and in the default build room
// for the pools grown later (mapped, so that the room costs no page).
size_t tableBytes(int count) {
    return (kovamem::config_classic ? static_cast<size_t>(count) : kovamem::kMaxPools) * sizeof(MemPool);
}

// Releases everything a failed memMgrInit allocated; pools not reached yet
// are still zero.
void releasePoolTable(MemPool *table, int count) {
    for (int k = 0; k < count; ++k) {
        releaseZeroed(table[k].area, static_cast<size_t>(table[k].blockCount) * kovamem::memSlotStride(table[k].blockSize),
                      mapsAreas());
        releaseZeroed(kovamem::memPoolGeom[k].hdrs.first(), kovamem::memMetaBytes(table[k].blockCount), !kovamem::config_classic);
    }
    releaseZeroed(table, tableBytes(count), !kovamem::config_classic);
    memPoolData = nullptr;
    for (kovamem::PoolGeom &g : kovamem::memPoolGeom) g = kovamem::PoolGeom{};
    for (int e = 0; e < 16; ++e) {  // no range matches
        kovamem::memByAddress.start[e] = UINTPTR_MAX;
        kovamem::memByAddress.end[e] = 0;
    }
}

// Slot bytes of a pool, refused when they do not fit a size_t: on a 32-bit
// target 65535 blocks of 65540 bytes would wrap and carve a short area.
bool areaBytes(uint32_t count, uint32_t blockSize, size_t *out) {
    return !__builtin_mul_overflow(static_cast<size_t>(count),
                                   static_cast<size_t>(kovamem::memSlotStride(blockSize)), out);
}

// A zero-filled block area starting on the slot alignment: mapped (see
// mapsAreas), or in the classic build from the C library's calloc, which
// already aligns to max_align_t.
uint8_t *allocArea(size_t bytes) {
    if (mapsAreas()) return static_cast<uint8_t *>(mapZeroed(bytes));
    return static_cast<uint8_t *>(kovamem::memHeap.calloc(1, bytes));
}

// A zero-filled header allocation for count blocks: every back-link reads
// kNotBusy (every state kBlockUnused), every serial 0.
MemBlockHdr *allocMeta(uint32_t count) {
    if (!kovamem::config_classic) return static_cast<MemBlockHdr *>(mapZeroed(kovamem::memMetaBytes(count)));
    return static_cast<MemBlockHdr *>(kovamem::memHeap.calloc(1, kovamem::memMetaBytes(count)));
}

// The two tables that spare the allocation and the lookup a scan from pool
// 0: pools sorted by the start of their range, and the first pool that holds
// each size class.
void indexPools(const MemPool *table, int count) {
    kovamem::AddressIndex &x = kovamem::memByAddress;
    for (int e = 0; e < 16; ++e) {
        x.start[e] = UINTPTR_MAX;
        x.end[e] = 0;
        x.pool[e] = 0;
    }
    for (int k = 0; k < count; ++k) {
        const kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
        int at = k;  // insertion sort of at most 14 entries
        for (; at > 0 && x.start[at - 1] > g.start; --at) {
            x.start[at] = x.start[at - 1];
            x.end[at] = x.end[at - 1];
            x.pool[at] = x.pool[at - 1];
        }
        x.start[at] = g.start;
        x.end[at] = g.end;
        x.pool[at] = static_cast<uint8_t>(k);
    }
    for (int c = 0, k = 0; c < MEM_POOL_SLOTS; ++c) {
        while (k < count && table[k].blockSize < memPoolSizes[c]) ++k;
        kovamem::memFirstPoolOfClass[c] = static_cast<uint8_t>(k);
    }
}

// Tracing off, all records free (the held ones too), and every header's
// link to a record cleared. A table that was never chained stays untouched:
// its records are chained by the first traced allocation (see
// memChainStackTable), so that a process that never traces never pays for
// the table's pages (default build). The caller excludes other users of the table (its
// lock, or no other thread yet).
void chainStackTable() {
    MemStackData &sd = memStackData;
    memStore(sd.logStack, uint8_t{0});
    sd.busyCount = 0;
    sd.freeCount = MEM_STACK_RECORDS;
    sd.freeHead = &memStackRecords[0];
    sd.busyHead = nullptr;
    if (memStackChained || kovamem::config_classic) {  // classic: chained by every reset, as described
        for (int i = 0; i < MEM_STACK_RECORDS; ++i) {
            MemStackRec &r = memStackRecords[i];
            if (r.hdr != nullptr) r.hdr->stackRec = nullptr;
        }
        memChainStackTable();
    }
    memHeld = MemHeldRecs{};  // their records are back on the free list
}

// Registered once with pthread_atfork: a fork waits until no other thread is
// inside the manager, so the child finds every list and count as they were
// and both locks free; its own entries then go to a log named after it
// (default build; the classic build keeps writing where initialisation
// pointed).
// Default build: every lock, in the lock order (the fault records' lock,
// which is never held with another, then all pools, then the leaves).
void forkPrepare() {
    kovamem::memRecordsHold(true);
    kovamem::memLockAll(true);
    kovamem::memLockLeaf(kovamem::memGuardedLock);
    kovamem::memLockLeaf(kovamem::memQuarantineLock);
    memLock(memStackData.lock);
}
void unlockForked() {
    memUnlock(memStackData.lock);
    kovamem::memUnlockLeaf(kovamem::memQuarantineLock);
    kovamem::memUnlockLeaf(kovamem::memGuardedLock);
    kovamem::memUnlockAll();
    kovamem::memRecordsHold(false);
}
void forkParent() { unlockForked(); }
void forkChild() {
    unlockForked();
    if (!kovamem::config_classic) {
        snprintf(memLogPath, sizeof memLogPath, "/tmp/memmgr-%d.log", static_cast<int>(getpid()));
        memStore(memLogFull, 0u);  // a new file: the parent's cap state is not the child's
        kovamem::memLogSetAside();
    }
}

}  // namespace

extern "C" {

int memMgrInit(const int32_t *memPoolCfg, int poolCount) {
    if (poolCount < 1) return 0;
    kovamem::memShadowLearn();
    MemPool *table = static_cast<MemPool *>(kovamem::config_classic ? kovamem::memHeap.calloc(1, tableBytes(poolCount))
                                                                    : mapZeroed(tableBytes(poolCount)));
    if (table == nullptr) return 0;

    if (memPoolCfg != nullptr) {
        int k = 0;
        for (int i = 0; i < MEM_POOL_SLOTS; ++i) {
            int32_t c = memPoolCfg[i];
            if (c <= 0) continue;
            size_t bytes = 0;
            // More positive entries than poolCount, or a count beyond the
            // range of blockCount, is a configuration the table cannot hold.
            if (k >= poolCount || static_cast<uint32_t>(c) > kovamem::kMaxBlockCount ||
                !areaBytes(static_cast<uint32_t>(c), memPoolSizes[i], &bytes)) {
                releasePoolTable(table, k);
                return 0;
            }
            MemPool &p = table[k];
            const uint32_t stride = kovamem::memSlotStride(memPoolSizes[i]);
            p.blockSize = memPoolSizes[i];
            p.blockCount = static_cast<uint16_t>(c);
            p.area = allocArea(bytes);
            // One allocation for the headers and, behind them, the slots'
            // allocation serials and the blocks' states (classic: the busy
            // list's back-links).
            static_assert(sizeof(MemBlockHdr) % alignof(uint64_t) == 0, "the serials behind the headers are aligned");
            kovamem::PoolGeom &g = kovamem::memPoolGeom[k];
            g = kovamem::PoolGeom{};
            g.hdrs = p.area ? allocMeta(static_cast<uint32_t>(c)) : nullptr;
            if (g.hdrs.first() == nullptr) {
                releasePoolTable(table, k + 1);
                return 0;
            }
            p.firstBlock = reinterpret_cast<uintptr_t>(p.area);
            p.lastBlock = p.firstBlock + static_cast<uintptr_t>(c - 1) * stride;
            g.start = p.firstBlock;
            g.end = kovamem::config_classic ? p.lastBlock : p.firstBlock + (bytes - 1);
            g.stride = stride;
            g.recip = (uint64_t{1} << 32) / stride + 1;
            // Zero: kNotBusy (classic), kBlockUnused (default).
            kovamem::memCarveMeta(g, g.hdrs.first(), static_cast<uint32_t>(c));
            g.original = static_cast<uint16_t>(k);
            g.nextSame = kovamem::kNoPool;
            p.freeCount = static_cast<uint16_t>(c);
            // Classic: the free list names the whole zero-filled header
            // array from here on, as a host that calls this itself expects;
            // KovaMemInit links the headers. Default: blocks are made as
            // they are first handed out, so the list starts empty.
            if (kovamem::config_classic) {
                p.freeHead = g.hdrs.first();
                p.freeTail = g.hdrs + (c - 1);
            }
            ++k;
        }
        if (k != poolCount) {
            releasePoolTable(table, k);
            return 0;
        }
    }

    // Default build: the pools work on their live records (see LivePool);
    // the table is their published copy.
    if (!kovamem::config_classic)
        for (int k = 0; k < poolCount; ++k) kovamem::memLivePools[k].rec = table[k];
    indexPools(table, poolCount);
    kovamem::memPoolsBuilt = static_cast<uint16_t>(poolCount);
    for (int k = 0; k < poolCount; ++k) {
        const MemPool &p = kovamem::memPool(static_cast<unsigned>(k));
        kovamem::memMagSize[k] = kovamem::config_magazines ? kovamem::memMagSizeFor(p.blockSize, p.blockCount) : 0;
    }
    for (int k = 0; k < poolCount; ++k) kovamem::memGrowth.lastOf[k] = static_cast<uint16_t>(k);
    memPoolData = table;
    MemMgrDetails &m = memMgrDetails;
    m.pools = table;
    m.initialized = 0;
    m.stackData = &memStackData;
    m.poolCount = static_cast<uint16_t>(poolCount);
    m.corruptCount = 0;
    m.totalReserved = m.totalData = m.totalMgmt = 0;
    m.lock = nullptr;
    m.corruptList = nullptr;
    return 1;
}

void memInitStackData(void) {
    MemStackData &sd = memStackData;
    if (sd.lock == nullptr) {
        sd.lock = memCreateMutex();
        if (sd.lock == nullptr) {
            memLogPrint(" EXIT: CRIT: memInitStackData: Not able to create Mutex\n");
            return;
        }
    }
    memLock(sd.lock);
    chainStackTable();
    memUnlock(sd.lock);
}

void KovaMemInit(const int32_t *memPoolCfg) {
    // Default build: the manager is built once; a second call would build a
    // second pool table and orphan the blocks of the first.
    if (!kovamem::config_classic && memMgrDetails.initialized != 0) {
        memLogPrint(" EXIT: CRIT: KovaMemInit: already initialized, second call refused \n");
        return;
    }
    snprintf(memLogPath, sizeof memLogPath, "/tmp/memmgr-%d.log", static_cast<int>(getpid()));
    kovamem::memLogSetAside();
    if (memPoolCfg == nullptr) {
        memLogPrint(" EXIT: CRIT: KovaMemInit: memPoolCfg is NULL \n");
        return;
    }
    int count = 0;
    for (int i = 0; i < MEM_POOL_SLOTS; ++i) {
        if (memPoolCfg[i] > static_cast<int32_t>(kovamem::kMaxBlockCount)) {
            memLogPrint(" EXIT: CRIT: KovaMemInit: memPoolCfg[%d] count %d exceeds 65535 \n", i, memPoolCfg[i]);
            return;
        }
        if (memPoolCfg[i] > 0) ++count;
    }
    if (count == 0) {
        memLogPrint(" EXIT: CRIT: KovaMemInit: memPoolCfg is not configured \n");
        return;
    }
    memLogPrint("Number of pools: %d\n", count);
    if (memMgrInit(memPoolCfg, count) == 0) {
        memLogPrint(" EXIT: CRIT: KovaMemInit: memMgrInit init failed \n");
        return;
    }
    memInitStackData();
    // Without its lock the table is still chained: no other thread uses the
    // library yet, and tracing must never find a half-built table.
    if (memStackData.lock == nullptr) chainStackTable();

    MemMgrDetails &m = memMgrDetails;
    m.lock = memCreateMutex();
    if (m.lock == nullptr) {
        memLogPrint(" EXIT: CRIT: KovaMemInit: Not able to create Mutex\n");
        // Nothing built stays behind: the manager is as before the call.
        releasePoolTable(memPoolData, m.poolCount);
        m.pools = nullptr;
        m.poolCount = 0;
        return;
    }
    static bool forkHandlers = false;
    if (!forkHandlers) forkHandlers = pthread_atfork(forkPrepare, forkParent, forkChild) == 0;
    m.memMallocCount = m.memReallocCount = m.memFreeCount = 0;
    m.sysMallocCount = m.sysReallocCount = m.sysFreeCount = 0;
    kovamem::memHot = kovamem::HotCounts{};
    kovamem::memHot.peakEpoch = 1;
    kovamem::memHot.peakEpochStart = static_cast<uint64_t>(time(nullptr));
    m.totalMgmt = kovamem::kMgmtManager;
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        MemPool &p = kovamem::memPool(k);
        uint32_t s = p.blockSize;
        uint16_t n = p.blockCount;
        m.totalData += static_cast<uint32_t>(n) * s;
        m.totalMgmt += kovamem::kMgmtPerPool + kovamem::memMgmtPerBlock(s) * n;
        p.freeCount = n;
        kovamem::memPoolHot[k] = kovamem::PoolHot{};
        kovamem::memPoolHot[k].next = p.area;
        kovamem::memShadowArea(p.area, static_cast<size_t>(n) * kovamem::memSlotStride(s));
        if (!kovamem::config_classic) continue;  // blocks are made as they are first handed out
        const kovamem::HdrArray &hdrs = kovamem::memPoolGeom[k].hdrs;
        for (uint16_t j = 0; j < n; ++j) {
            MemBlockHdr &h = hdrs[j];
            h.opaque = 0;
            h.blockIndex = j;
            h.poolIndex = k;
            h.reqSize = 0;
            h.stackRec = nullptr;
            h.data = kovamem::memSlotData(p, j);
            kovamem::memPutGuard(h.data + s);
            h.next = j + 1 < n ? &hdrs[j + 1] : nullptr;
        }
        p.freeHead = hdrs.first();
        p.freeTail = hdrs + (n - 1);
        kovamem::memPoolHot[k].made = n;
    }
    m.totalReserved = m.totalMgmt + m.totalData;
    for (uint16_t k = 0; k < m.poolCount; ++k) kovamem::memPublishPool(k);
    m.initialized = 1;
    memLogPrint(" EXIT: KovaMemInit: Success\n");
    if (!kovamem::config_classic) kovamem::memGuardedInit();  // asked for before initialisation
}

uint8_t KovaMemIsInitialized(void) { return memMgrDetails.initialized; }

}  // extern "C"
