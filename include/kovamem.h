/*
 * KovaMem: a fixed-block pool memory manager with built-in debugging.
 *
 * The host calls KovaMemInit once, with the block counts of the fourteen
 * size classes, before other threads use the library. From then on
 * KovaMemAlloc, KovaMemCalloc, KovaMemReAlloc and KovaMemFree serve
 * requests from the pools; requests no pool can serve, and every request
 * made before initialisation, go to the C heap. Diagnostics go to the log
 * file /tmp/memmgr-<pid>.log.
 *
 * Word width: on a 32-bit target every record has the exact layout the
 * management-memory figures count (60, 52, 24 and 60 bytes). On a 64-bit
 * host pointer and address fields, and the entries of a trace
 * (MemTraceAddr), are pointer-sized; sizes, counts and tags stay 32-bit.
 */
#ifndef KOVAMEM_H
#define KOVAMEM_H

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KOVAMEM_API __attribute__((visibility("default")))
#else
#define KOVAMEM_API
#endif

/* ---- Constants ---------------------------------------------------------- */

#define MEM_POOL_SLOTS 14          /* entries of memPoolCfg, size classes   */
#define MEM_GUARD_WORD 0xBEDC0FEEu /* one native 32-bit word behind data    */
#define MEM_STACK_RECORDS 3000     /* allocation trace records              */
#define MEM_TRACE_ENTRIES 10       /* return addresses in one trace         */
#define MEM_LOG_ENTRY_SIZE 2048    /* one log entry: 2047 chars and NUL     */

/* One entry of a trace: a code address, as wide as a pointer. */
typedef uintptr_t MemTraceAddr;
#define MEM_TRACE_END (~(MemTraceAddr)0) /* ends a trace shorter than 10 */

/* Block size of each size class, in bytes; the table rises strictly. */
static const uint32_t memPoolSizes[MEM_POOL_SLOTS] = {
    8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16400, 40000, 65536};

/* Results of the block lookup. */
#define MEM_FIND_FOUND 1
#define MEM_FIND_NOT_MANAGED 241
#define MEM_FIND_NOT_BUSY 242

/* KovaMemFree: the address lies in a pool but is not a busy block. */
#define MEM_FREE_NOT_BUSY 255

/* Directions of a trace-record move. */
#define MEM_STACK_TO_BUSY 1
#define MEM_STACK_TO_FREE 2

/* Command codes of KovaMemDebugModes. */
#define MEM_DEBUG_SET_MODE 3
#define MEM_DEBUG_CHECK_POINTER 4
#define MEM_DEBUG_CHECK_INDEX 5

/* ---- Records ------------------------------------------------------------ */

/* A mutex holder allocated zero-filled from the C heap: a pointer to the
 * mutex, then the mutex itself; the pointer points at the embedded mutex. */
typedef struct MemMutex {
    pthread_mutex_t *mutex;
    pthread_mutex_t storage;
} MemMutex;

struct MemStackRec;

/* One block header, kept in a per-pool array, never inside the blocks. */
typedef struct MemBlockHdr {
    uint32_t opaque;               /* cleared on every change of state   */
    uint16_t blockIndex;           /* slot number within its pool        */
    uint16_t poolIndex;            /* index of its pool                  */
    uint32_t reqSize;              /* bytes asked for while busy, else 0 */
    uint8_t *data;                 /* area + blockIndex * (S + 4)        */
    struct MemStackRec *stackRec;  /* trace record of this allocation    */
    struct MemBlockHdr *next;      /* link of the list holding it        */
} MemBlockHdr;

/* One pool of blockCount blocks of blockSize bytes. */
typedef struct MemPool {
    uint32_t blockSize;            /* S: bytes a caller may use          */
    uint16_t blockCount;           /* N                                  */
    uint8_t *area;                 /* N slots of S + 4 bytes             */
    uintptr_t firstBlock;          /* data address of the first slot     */
    uintptr_t lastBlock;           /* data address of the last slot      */
    MemBlockHdr *freeHead;         /* allocation takes from here         */
    MemBlockHdr *freeTail;         /* release appends here               */
    uint16_t freeCount;            /* F                                  */
    MemBlockHdr *busyHead;         /* oldest busy header                 */
    MemBlockHdr *busyTail;         /* newest busy header                 */
    uint16_t busyCount;            /* B                                  */
    uint32_t reqBytes;             /* A: sum of reqSize over busy blocks */
    uint16_t peakCount;            /* P: highest busyCount reached       */
    uint16_t corruptCount;         /* C: headers on the quarantine list  */
} MemPool;

/* One allocation trace record. */
typedef struct MemStackRec {
    struct MemStackRec *prev;
    struct MemStackRec *next;
    MemBlockHdr *hdr;              /* the busy block described, or NULL  */
    uint32_t size;                 /* requested size of that allocation  */
    uint32_t tag;                  /* 0 on every attachment              */
    MemTraceAddr trace[MEM_TRACE_ENTRIES];
} MemStackRec;

/* Control record of the trace-record table. */
typedef struct MemStackData {
    uint8_t logStack;              /* 1 while allocation tracing is on   */
    uint16_t freeCount;
    uint16_t busyCount;
    MemStackRec *records;          /* the MEM_STACK_RECORDS records      */
    MemStackRec *freeHead;
    MemStackRec *busyHead;         /* newest first                       */
    MemMutex *lock;                /* guards a reset of the table        */
    uint32_t debugMemUsage;        /* memory held by tracing, in bytes   */
} MemStackData;

/* The manager record. */
typedef struct MemMgrDetails {
    uint8_t initialized;
    uint16_t poolCount;
    uint16_t corruptCount;         /* headers on corruptList             */
    uint32_t totalReserved;        /* totalData + totalMgmt              */
    uint32_t totalData;
    uint32_t totalMgmt;
    MemMutex *lock;                /* the manager lock                   */
    MemBlockHdr *corruptList;      /* quarantine list, newest first      */
    MemPool *pools;
    MemStackData *stackData;
    uint32_t memMallocCount;
    uint32_t memReallocCount;
    uint32_t memFreeCount;
    uint32_t sysMallocCount;
    uint32_t sysReallocCount;
    uint32_t sysFreeCount;
} MemMgrDetails;

/* ---- Statistics snapshot ------------------------------------------------ */

/* One consistent copy of the manager's figures (KovaMemGetStats). Fixed-width
 * fields with explicit padding: the same layout on 32-bit MIPS and on 64-bit
 * hosts (832 bytes in version 1). Fields are only ever appended; a caller
 * sets size to the sizeof it was compiled with. */
#define KOVAMEM_STATS_VERSION 5

typedef struct KovaMemPoolStats {
    uint32_t blockSize;            /* S                                   */
    uint32_t blockCount;           /* N                                   */
    uint32_t freeCount;            /* F                                   */
    uint32_t busyCount;            /* B                                   */
    uint32_t corruptCount;         /* C: quarantined                      */
    uint32_t reqBytes;             /* A: bytes asked for by busy blocks   */
    uint32_t peakCount;            /* highest B since the last reset      */
    uint32_t peakCountLifetime;    /* highest B ever (the report's P)     */
    uint64_t allocCount;           /* blocks taken from this pool         */
    uint64_t releaseCount;         /* blocks returned to it intact        */
} KovaMemPoolStats;

typedef struct KovaMemStats {
    uint32_t size;                 /* set by the caller: sizeof(KovaMemStats) */
    uint32_t version;              /* KOVAMEM_STATS_VERSION of the library    */
    uint32_t poolCount;
    uint32_t corruptCount;         /* quarantined blocks, all pools           */
    uint64_t memMallocCount;       /* the report's counters, 64-bit           */
    uint64_t memReallocCount;
    uint64_t memFreeCount;
    uint64_t sysMallocCount;
    uint64_t sysReallocCount;
    uint64_t sysFreeCount;
    uint64_t totalReserved;        /* the report's memory totals, in bytes    */
    uint64_t totalMgmt;
    uint64_t totalData;
    uint64_t freeBytes;            /* free blocks x block size                */
    uint64_t requiredBytes;        /* bytes asked for by busy blocks          */
    uint64_t usedBytes;            /* busy blocks x block size                */
    uint64_t peakBytes;            /* lifetime peaks x block size             */
    uint64_t peakBytesWindow;      /* peaks since the last reset x block size */
    uint32_t traceOn;              /* 1 while allocation tracing is on        */
    uint32_t traceRecordsFree;
    uint32_t traceRecordsBusy;
    uint32_t traceRecordsHeld;     /* kept by released blocks (free check)    */
    uint32_t traceMemory;          /* the report's Debug Memory Usage         */
    uint32_t peakEpoch;            /* 1 at initialisation, +1 per reset       */
    uint64_t peakEpochStart;       /* seconds since 1970 when it began        */
    KovaMemPoolStats pools[MEM_POOL_SLOTS]; /* poolCount of them in use      */
    /* Version 2. What the pools' management and the trace-record table
     * really take in this build on this target (headers, allocation
     * serials, busy back-links, guard words and slot padding, the tables;
     * not the C library's own bookkeeping), where totalMgmt and the
     * report keep the described per-block constants. */
    uint64_t managementBytes;
    uint64_t traceTableBytes;
    /* Version 3. With growing pools there may be more pools than pools[]
     * holds: poolCount counts those in pools[] (at most 14), poolCountAll
     * all of them; KovaMemGetPoolStats reads any of them. The totals and
     * sums above are over all pools. */
    uint32_t poolCountAll;
    uint32_t reserved3;
    uint64_t growthBudget;         /* KovaMemSetPoolGrowth's budget, bytes    */
    uint64_t growthBytes;          /* what the grown pools take of it         */
    /* Version 4. Guarded sampling (KovaMemSetGuardedSampling): the rate
     * (0: off), the area's slots and what they hold; guarded blocks are
     * counted in their pools above as well. */
    uint32_t guardedRate;
    uint32_t guardedSlots;         /* 0: no guarded area                      */
    uint32_t guardedBusy;          /* slots holding a live guarded block      */
    uint32_t guardedWaiting;       /* released, inaccessible, waiting         */
    uint32_t guardedRetired;       /* let pass after a fault, never reused    */
    uint32_t guardedFaults;        /* faults reported                         */
    uint64_t guardedAllocs;        /* guarded allocations made                */
    uint64_t guardedAreaBytes;     /* address space of the area               */
    /* Version 5. Refills of a thread's allocation magazine that found fewer
     * free blocks than the reuse distance asks and took blocks released
     * more recently (KovaMemSetReuseDistance), all pools. */
    uint64_t reuseShortfalls;
} KovaMemStats;

/* ---- Exported data ------------------------------------------------------ */

extern KOVAMEM_API MemMgrDetails memMgrDetails;
extern KOVAMEM_API MemPool *memPoolData;
extern KOVAMEM_API int32_t gStackDepth;

/* ---- Initialisation ----------------------------------------------------- */

/* Builds the pools from MEM_POOL_SLOTS block counts (0 or below: no pool).
 * Success is told by KovaMemIsInitialized, failure by one log entry. */
KOVAMEM_API void KovaMemInit(const int32_t *memPoolCfg);
KOVAMEM_API uint8_t KovaMemIsInitialized(void);
/* Allocates and fills the pool table; 1 on success, 0 on failure.
 * poolCount must equal the number of positive entries of memPoolCfg. */
KOVAMEM_API int memMgrInit(const int32_t *memPoolCfg, int poolCount);

/* ---- Allocation, release, reallocation ---------------------------------- */

KOVAMEM_API void *KovaMemAlloc(uint32_t size);
KOVAMEM_API void *KovaMemCalloc(uint32_t count, uint32_t size);
/* 1 released (or NULL, or C-heap block), 0 damaged guard and quarantined,
 * MEM_FREE_NOT_BUSY a pool address that is not a busy block. */
KOVAMEM_API uint8_t KovaMemFree(void *ptr);
KOVAMEM_API void *KovaMemReAlloc(void *ptr, uint32_t size);
/* Releases a busy block found by the lookup; the caller holds the manager
 * lock (default build: the block's pool lock, so a host calls it only while
 * no other thread uses the library). 1 when released intact, 0 when
 * quarantined. */
KOVAMEM_API int KovaMemFreeNode(MemPool *pool, MemBlockHdr *hdr, MemBlockHdr *prev);
/* Returns every quarantined block to its pool with a fresh guard word. */
KOVAMEM_API void KovaMemCleanMemBlocks(void);
/* Write-after-release check, off by default (default build; the classic
 * build accepts the call and checks nothing). While on, a release fills the
 * block's bytes with 0xDD; an allocation that takes such a block checks them
 * first, and a block found changed is quarantined instead of handed out,
 * with a " CRIT: KovaMemAlloc: ..." entry naming the first changed offset,
 * the chain that released it (while tracing is on) and the chain of the
 * allocation that found it. */
KOVAMEM_API void KovaMemSetFreeCheck(uint8_t on);
/* Growing pools, off by default (default build; the classic build accepts
 * the call and grows nothing). With a budget of budgetBytes (0: off), an
 * allocation that finds every pool of its size class busy gets a further
 * pool of the same block size before it falls through to a larger pool or
 * the C heap, as long as the grown pools' areas and headers fit in the
 * budget. Grown pools are set up lazily, appear in the report, the snapshot
 * and its renderings after the built ones, and are never given back. May be
 * called before or after KovaMemInit, any number of times. */
KOVAMEM_API void KovaMemSetPoolGrowth(uint64_t budgetBytes);
/* Tracing by sampling (default build; the classic build accepts the call
 * and traces every allocation): while tracing is on, one allocation in n
 * (per thread, at random distances of mean n) gets a trace record; 0 and 1
 * trace every allocation, the default. The report says the rate; a fault
 * on a block that was not sampled says "not sampled" where its chain would
 * be. */
KOVAMEM_API void KovaMemSetTraceSampling(uint32_t n);
/* The reuse distance (default build; the classic build accepts the call and
 * reuses strictly first in first out): a block released into a thread's
 * magazine is handed out again only after `blocks` further releases of its
 * pool were returned to the pool after it, or all its free blocks when
 * fewer (the pool then counts a shortfall). 0 (the default): 4 x the
 * pool's magazine size, 64 blocks for pools of 256 blocks and more. Applies
 * from the next refill of a magazine. */
KOVAMEM_API void KovaMemSetReuseDistance(uint32_t blocks);
/* Guarded sampling, off by default (default build; the classic build
 * accepts the calls and guards nothing). One allocation of at most a page
 * in rate (per thread, at random distances of mean rate; 0: off) is placed
 * in a page of its own whose end meets an inaccessible page, in one of
 * slots slots (0: 64, at most 4096; fixed when the area is first made). A
 * released guarded block's page is made inaccessible and waits, first in
 * first out, before its slot is reused. An access past the block's end, or
 * to it after its release, faults: a SIGSEGV/SIGBUS handler (installed with
 * the area, chained to the one it replaced) writes a " CRIT:
 * KovaMemGuarded: ..." entry with the faulting, allocating and releasing
 * chains, then lets the fault take its course (the previous handler, or
 * the default action and its core dump). May be called before or after
 * KovaMemInit. */
KOVAMEM_API void KovaMemSetGuardedSampling(uint32_t rate, uint32_t slots);
/* With on != 0, a fault on a guarded block is reported once and let pass:
 * the page is made accessible, its slot never reused, and the process goes
 * on. Off by default. */
KOVAMEM_API void KovaMemSetGuardedRecover(uint8_t on);

/* Default build: fault records that leave the device. options is a list of
 * items separated by ';', as KOVAMEM_OPTIONS spells them:
 *   report_to=LIST     where records go, comma-separated: file (the log; on
 *                      unless LIST omits it), syslog[:FACILITY],
 *                      syslog-udp://ADDR:PORT, syslog-tcp://ADDR:PORT,
 *                      journald, spool:DIR
 *   fw=TEXT, device=TEXT          the identity records carry (by default
 *                      /etc/os-release or /etc/openwrt_release, and
 *                      /etc/machine-id or the host name)
 *   report_first=N     records of one fault signature sent whole (3)
 *   report_interval=S  seconds between repeat counts of a signature (60)
 *   spool_files=N, spool_kb=N     a spool directory's bounds (100, 512)
 * Each fault entry of the log then also gets one record: a line
 * "kovamem/1 kind=... sig=..." (docs/reports.md). Refused items are written
 * to the log and the rest applies; returns 0 when every item applied, -1
 * otherwise (and always in the classic build). */
KOVAMEM_API int32_t KovaMemSetReportOptions(const char *options);
/* Default build: sends the repeat counts not yet sent and a census record
 * (the process's figures). Also done once when the process ends. */
KOVAMEM_API void KovaMemFlushReports(void);

/* Allocation with an alignment (a power of two): at most the slot
 * alignment, as KovaMemAlloc; larger, from a pool whose every block is
 * that aligned when one exists and has a free block, else from the C heap
 * with the alignment honoured (counted as a C-heap allocation). Released
 * with KovaMemFree. NULL for an alignment that is no power of two. */
KOVAMEM_API void *KovaMemAllocAligned(uint32_t size, uint32_t alignment);

/* ---- Figures for programs and fleets ------------------------------------ */

/* Fills *out (out->size set by the caller) with one consistent snapshot,
 * zeroes whatever the caller's struct has beyond this library's, sets
 * version; 0, or -1 with nothing written when the manager is not
 * initialised or out->size is below sizeof(KovaMemStats) of version 1. */
KOVAMEM_API int KovaMemGetStats(KovaMemStats *out);
/* Pools first .. first + count - 1 of one snapshot (pool k of the report,
 * grown pools included) into out; returns how many were filled (fewer
 * when the pools end), or -1 when not initialised. */
KOVAMEM_API int KovaMemGetPoolStats(uint32_t first, KovaMemPoolStats *out, uint32_t count);
/* A snapshot as JSON and as Prometheus text exposition (format 0.0.4),
 * written into buf (NUL-terminated when cap > 0); each returns the length
 * of the whole text, as snprintf does, or -1 when not initialised. */
KOVAMEM_API int KovaMemStatsJson(char *buf, uint32_t cap);
KOVAMEM_API int KovaMemStatsPrometheus(char *buf, uint32_t cap);
/* The Prometheus text, every series labelled with the process's program
 * and pid, written to a temporary file beside path and renamed over it, as
 * node_exporter's textfile collector asks (no timestamps); 0, or -1 when
 * not initialised or the file cannot be written (nothing left behind). */
KOVAMEM_API int KovaMemStatsWriteFile(const char *path);
/* Starts a new peak window: every window peak becomes the current figure.
 * The lifetime peaks and the report's P column never reset. */
KOVAMEM_API void KovaMemResetPeaks(void);
/* The current allocation serial: every pool and C-heap allocation counts. */
KOVAMEM_API uint64_t KovaMemMark(void);
/* Writes to the log the pool blocks allocated after the mark and still
 * live, grouped by call chain when traced, by pool and size otherwise. */
KOVAMEM_API void KovaMemPrintLiveSince(uint64_t mark);

/* ---- Log file ----------------------------------------------------------- */

KOVAMEM_API void KovaMemSetFileSize(uint32_t kilobytes);
KOVAMEM_API void KovaMemResetFile(void);

/* ---- Stack traces ------------------------------------------------------- */

/* Writes up to depth return addresses, innermost first, entry 0 being the
 * return address into the caller; returns the number written, 0 or -1. */
KOVAMEM_API int32_t SYS_StackTrace(MemTraceAddr *buf, int32_t depth, uint32_t unused);
KOVAMEM_API void printStackDetails(const MemTraceAddr *trace, uintptr_t address,
                                   int32_t length, uint32_t tag);
/* Accepts only values below 10. */
KOVAMEM_API void KovaMemSetStackDepth(int32_t depth);

/* ---- Allocation tracing, status, debug commands ------------------------- */

/* 0 switches tracing off and resets the trace table; anything else on. */
KOVAMEM_API void KovaMemUpdateLogStackFlag(int flag);
KOVAMEM_API void KovaMemPrintMemStatus(void);
/* Writes the loaded modules into the log (path, load address, ELF build ID,
 * loadable segments), so that kovamem-analyze can symbolize the traces.
 * Call it after KovaMemInit and again after each dlopen. */
KOVAMEM_API void KovaMemLogModules(void);
KOVAMEM_API void KovaMemDebugModes(uint32_t command, const char *arg);

#ifdef __cplusplus
}
#endif

#endif /* KOVAMEM_H */
