// libkovamem-preload.so: the C library's allocation functions, served by
// the pools, for a program that knows nothing of KovaMem.
//
// Each function keeps the C library's contract (glibc's where they differ):
//   malloc(0)            a distinct block of 1 byte, as glibc gives a
//                        distinct minimal block
//   realloc(p, 0)        releases p and returns NULL, as glibc does
//   realloc(NULL, n)     malloc(n)
//   calloc overflow      NULL, errno ENOMEM
//   posix_memalign       EINVAL for an alignment that is no power of two or
//                        no multiple of sizeof(void *), *out untouched
//   memalign             rounds the alignment up to a power of two;
//   aligned_alloc        the same, as glibc before 2.38 does
//   valloc, pvalloc      page alignment (pvalloc: whole pages, one at least)
//   malloc_usable_size   a pool block's requested size, so that a caller
//                        using the slack never writes over the guard
//   failures             NULL and ENOMEM; free leaves errno as it was
// Sizes of 4 GiB or more go to the C library's allocator whole; alignments
// above the blocks' own go to a pool whose blocks all have it, else to the
// C library's posix_memalign (KovaMemAllocAligned). Every block the C heap
// serves is counted in the report's SYS figures and released through
// KovaMemFree, which hands whatever is no pool block to the C library's
// free: blocks from before the start, from the dynamic loader, or from the
// fallback.
//
// Start. The first call (usually from the loader or a constructor, before
// main) finds the C library's functions with dlsym(RTLD_NEXT), points the
// library's own C-heap uses at them, reads KOVAMEM_OPTIONS and builds the
// pools. While dlsym runs, requests are served from a small static area;
// its blocks are never returned. A thread that calls in while the library
// is already inside one of its own calls (tInside) is served by the C
// library directly: the library never waits for a lock it holds. When no
// pool could be built (a configuration with no block, no memory), that is
// said once on standard error and in the log, and every call goes to the C
// library from then on.
//
// Addresses are routed by range first: a pool address never reaches the C
// library's free or realloc, whatever state the library is in. A release of
// a pool block that cannot be served at once (a signal handler that
// interrupted this thread inside the library, which may hold the manager
// lock) waits in a small lock-free table and is made by the next call that
// is outside the library; a reallocation in that state returns NULL with
// ENOMEM and leaves the block as it was. Both are counted in the log.
//
// Each process writes who started it, so that kovamem-run finds the logs
// of its own process tree:
//   " INFO: kovamem-preload: process <pid> parent <pid>"     at the start
//   " INFO: kovamem-preload: process <pid> forked from <pid>" in a child of fork
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "../diag/prim/codemap.h"
#include "preload.h"

using kovamem::memHeap;

namespace {

struct Real {
    void *(*malloc)(size_t);
    void *(*calloc)(size_t, size_t);
    void *(*realloc)(void *, size_t);
    void (*free)(void *);
    int (*memalign)(void **, size_t, size_t);
    size_t (*usable)(void *);
};
Real gReal;

// ---- the static area served while the C library's functions are found ----

constexpr size_t kBootBytes = 256 * 1024;
alignas(64) char gBoot[kBootBytes];
size_t gBootUsed;

bool inBoot(const void *p) {
    const char *c = static_cast<const char *>(p);
    return c >= gBoot && c < gBoot + kBootBytes;
}

// Blocks of the static area carry their size in the 16 bytes before them.
void *bootAlloc(size_t n, size_t align) {
    if (align < 16) align = 16;
    size_t used = __atomic_load_n(&gBootUsed, __ATOMIC_RELAXED);
    for (;;) {
        const size_t start = (used + 16 + align - 1) & ~(align - 1);
        if (n > kBootBytes || start + n > kBootBytes) return nullptr;
        if (__atomic_compare_exchange_n(&gBootUsed, &used, start + n, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
            memcpy(gBoot + start - sizeof n, &n, sizeof n);
            return gBoot + start;
        }
    }
}

size_t bootSize(const void *p) {
    size_t n;
    memcpy(&n, static_cast<const char *>(p) - sizeof n, sizeof n);
    return n;
}

// ---- start ----

enum { kNone, kStarting, kReady, kPassThrough };
int gState = kNone;
kovamem::PreloadOptions gOptions;
__thread int tInside __attribute__((tls_model("initial-exec")));

uint32_t gModulesLogged;

// What waits for the next call made outside the library, as bits of gWork,
// set with atomic operations (also from signal handlers).
enum : uint32_t { kWorkReport = 1, kWorkForked = 2, kWorkPending = 4, kWorkTell = 8 };
uint32_t gWork;
int gForkParent;  // the pid that forked, kept by the prepare handler

void onReportSignal(int) { __atomic_fetch_or(&gWork, kWorkReport, __ATOMIC_RELAXED); }
void onForkPrepare() { gForkParent = static_cast<int>(getpid()); }
void onForkChild() { __atomic_fetch_or(&gWork, kWorkForked, __ATOMIC_RELAXED); }

// ---- releases that cannot be served at once ----

uint32_t gReallocsRefused;  // reallocations of pool blocks that could not be served
uint32_t gToldRefused;

// Into the library's table of releases that wait (a handler's release
// while its thread holds a lock waits there too); made by the next call
// from outside the library, or by the next thread that gives back its
// last lock.
void deferRelease(void *p) {
    kovamem::memDeferRelease(p);
    __atomic_fetch_or(&gWork, kWorkPending, __ATOMIC_RELEASE);
}

// The counts of what could not be served, written as the fallback notes
// are: when a count reaches 1, 2, 4, 8 ..., with the count.
bool passedPowerOfTwo(uint32_t now, uint32_t told) { return now != told && (told == 0 || (now >> 1) >= told); }

void tellRefused() {
    const uint32_t refused = __atomic_load_n(&gReallocsRefused, __ATOMIC_RELAXED);
    if (passedPowerOfTwo(refused, gToldRefused)) {
        memLogNote(" ERROR: kovamem-preload: reallocations of pool blocks from signal handlers that interrupted "
                   "the library: NULL returned, the blocks left as they were (count %u)\n", refused);
        gToldRefused = refused;
    }
}

// ---- the figures for node_exporter's textfile collector ----
//
// With metrics=DIR the process keeps DIR/kovamem_<program>_<pid>.prom: written
// after each status report the preload library makes, from allocation calls
// at most once per metrics_interval seconds (the clock is read every 1024th
// call of a thread: the library has no thread of its own, so a process that
// stops allocating stops updating it), at exit, and removed at a normal
// exit unless metrics_keep=1. With fault records on, each write sends their
// census, and the same ticks send repeat counts that are due.

char gMetricsPath[512];
// Monotonic seconds of the next write from an allocation call: 32 bits, a
// word 32-bit MIPS updates atomically without libatomic (136 years of uptime).
uint32_t gMetricsNext;
__thread uint32_t tMetricsTick __attribute__((tls_model("initial-exec")));
// Allocation calls tick while there are metrics to write or fault records'
// repeat counts to send.
bool gTicking;

void nameMetricsFile() {
    char name[256];
    kovamem::memProgramName(name, sizeof name);
    char clean[64];
    size_t k = 0;
    for (const char *c = name; *c != '\0' && k + 1 < sizeof clean; ++c)
        clean[k++] = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '-'
                         ? *c : '_';
    clean[k] = '\0';
    snprintf(gMetricsPath, sizeof gMetricsPath, "%s/kovamem_%s_%d.prom", gOptions.metricsDir, clean,
             static_cast<int>(getpid()));
}

uint32_t monotonicSeconds() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint32_t>(t.tv_sec);
}

// The caller is outside the library (tInside is raised here).
void writeMetrics() {
    if (gMetricsPath[0] == '\0') return;
    ++tInside;
    if (KovaMemStatsWriteFile(gMetricsPath) != 0)
        memLogNote(" ERROR: kovamem-preload: metrics file %s could not be written\n", gMetricsPath);
    KovaMemFlushReports();  // the fault records' census goes with the figures
    --tInside;
    __atomic_store_n(&gMetricsNext, monotonicSeconds() + gOptions.metricsInterval, __ATOMIC_RELAXED);
}

__attribute__((noinline)) void metricsTick() {
    if (kovamem::memLoad(kovamem::memRecordsOn) != 0) {
        ++tInside;
        kovamem::memReportsDue();
        --tInside;
    }
    if (gMetricsPath[0] == '\0') return;
    uint32_t next = __atomic_load_n(&gMetricsNext, __ATOMIC_RELAXED);
    const uint32_t now = monotonicSeconds();
    if (now < next) return;
    // One thread writes; the others see the next time at once.
    if (__atomic_compare_exchange_n(&gMetricsNext, &next, now + gOptions.metricsInterval, false, __ATOMIC_RELAXED,
                                    __ATOMIC_RELAXED))
        writeMetrics();
}

// Runs what gWork asks for; the caller is outside the library.
__attribute__((noinline)) void work() {
    const uint32_t w = __atomic_exchange_n(&gWork, 0u, __ATOMIC_ACQUIRE);
    ++tInside;
    if (w & kWorkForked) {
        memLogPrint(" INFO: kovamem-preload: process %d forked from %d\n", static_cast<int>(getpid()), gForkParent);
        if (gMetricsPath[0] != '\0') nameMetricsFile();  // the child's own file
    }
    if (w & kWorkPending) kovamem::memReleaseDeferred();
    if (w & kWorkTell) tellRefused();
    if (w & kWorkReport) KovaMemPrintMemStatus();
    --tInside;
    if (w & kWorkReport) writeMetrics();
}

MEM_ALWAYS_INLINE void pollWork() {
    if (__builtin_expect(__atomic_load_n(&gWork, __ATOMIC_RELAXED) != 0, 0)) work();
}

void atExit() {
    __atomic_fetch_or(&gWork, kWorkTell | kWorkPending, __ATOMIC_RELAXED);
    work();  // releases still waiting are made before the report
    if (gOptions.reportAtExit) {
        ++tInside;
        KovaMemPrintMemStatus();
        --tInside;
    }
    kovamem::memReportsAtExit();
    if (gMetricsPath[0] == '\0') return;
    if (gOptions.metricsKeep)
        writeMetrics();
    else
        unlink(gMetricsPath);
}

template <class F>
void find(F *slot, const char *name) {
    *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// False when no pool was built: the C library serves every call.
bool start() {
    find(&gReal.malloc, "malloc");
    find(&gReal.calloc, "calloc");
    find(&gReal.realloc, "realloc");
    find(&gReal.free, "free");
    find(&gReal.memalign, "posix_memalign");
    find(&gReal.usable, "malloc_usable_size");
    if (gReal.malloc == nullptr || gReal.calloc == nullptr || gReal.realloc == nullptr || gReal.free == nullptr ||
        gReal.memalign == nullptr)
        abort();  // no allocator to fall back on: nothing can be served
    memHeap = kovamem::HeapFns{gReal.malloc, gReal.calloc, gReal.realloc, gReal.free, gReal.memalign};
    kovamem::readPreloadOptions(&gOptions);
    KovaMemInit(gOptions.pools);
    KovaMemSetFileSize(gOptions.logKb);
    kovamem::tellPreloadProblems();
    if (KovaMemIsInitialized() == 0) {
        memLogPrint(" ERROR: kovamem-preload: no pool was built: every allocation goes to the C library\n");
        char line[160];
        const int n = snprintf(line, sizeof line,
                               "kovamem: no pool was built (see %s): every allocation goes to the C library\n",
                               memLogPath);
        if (n > 0) (void)!write(2, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
        return false;
    }
    memLogPrint(" INFO: kovamem-preload: process %d parent %d\n", static_cast<int>(getpid()),
                static_cast<int>(getppid()));
    pthread_atfork(onForkPrepare, nullptr, onForkChild);
    if (gOptions.depth >= 0) KovaMemSetStackDepth(gOptions.depth);
    if (gOptions.freeCheck) KovaMemSetFreeCheck(1);
    if (gOptions.reuse != 0) KovaMemSetReuseDistance(gOptions.reuse);
    if (gOptions.growBytes != 0) KovaMemSetPoolGrowth(gOptions.growBytes);
    if (gOptions.traceSampling > 1) KovaMemSetTraceSampling(gOptions.traceSampling);
    if (gOptions.guardedRate != 0) {
        KovaMemSetGuardedRecover(gOptions.guardedRecover ? 1 : 0);
        KovaMemSetGuardedSampling(gOptions.guardedRate, gOptions.guardedSlots);
    }
    // The module map lets kovamem-analyze name the chains of traces and of
    // guarded faults alike.
    if (gOptions.guardedRate != 0 && !gOptions.trace) {
        KovaMemLogModules();
        gModulesLogged = __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_RELAXED);
    }
    if (gOptions.trace) {
        KovaMemLogModules();
        gModulesLogged = __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_RELAXED);
        KovaMemUpdateLogStackFlag(1);
    }
    if (gOptions.metricsDir[0] != '\0') {
        nameMetricsFile();
        writeMetrics();
    }
    // Fault records: the module table is learned now, for a guarded fault's
    // handler; their counts and census are sent at exit.
    const bool records = kovamem::memLoad(kovamem::memRecordsOn) != 0;
    if (records) kovamem::memRecordsPrepare();
    if (gOptions.reportAtExit || gMetricsPath[0] != '\0' || records) atexit(atExit);
    gTicking = gMetricsPath[0] != '\0' || records;
    if (gOptions.reportSignal != 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = onReportSignal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(gOptions.reportSignal, &sa, nullptr);
    }
    return true;
}

// True when the pools serve this call; false while the library is starting
// on this thread or the call comes from inside the library.
bool ready() {
    if (__builtin_expect(__atomic_load_n(&gState, __ATOMIC_ACQUIRE) == kReady, 1)) return tInside == 0;
    int expected = kNone;
    if (__atomic_compare_exchange_n(&gState, &expected, kStarting, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        ++tInside;
        const bool pools = start();
        --tInside;
        __atomic_store_n(&gState, pools ? kReady : kPassThrough, __ATOMIC_RELEASE);
        return pools && tInside == 0;
    }
    if (tInside != 0) return false;  // this thread is starting the library
    int state;
    while ((state = __atomic_load_n(&gState, __ATOMIC_ACQUIRE)) == kStarting) sched_yield();
    return state == kReady;
}

// What waits for the next call: the work of gWork, the module map after
// modules came or went (tracing on).
void poll() {
    pollWork();
    if (__builtin_expect(gTicking, 0) && (++tMetricsTick & 1023u) == 0) metricsTick();
    if (gOptions.trace) {
        const uint32_t g = __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_RELAXED);
        if (__builtin_expect(g != gModulesLogged, 0)) {
            gModulesLogged = g;
            ++tInside;
            KovaMemLogModules();
            --tInside;
        }
    }
}

// The C library's allocator, counted as the library counts its fallback,
// or the static area before the allocator is known.
void *direct(size_t n, size_t align = 0) {
    void *p = nullptr;
    if (gReal.malloc == nullptr) return bootAlloc(n, align);
    if (align <= alignof(max_align_t))
        p = gReal.malloc(n);
    else if (gReal.memalign(&p, align, n) != 0)
        p = nullptr;
    if (p != nullptr && __atomic_load_n(&gState, __ATOMIC_ACQUIRE) == kReady)
        kovamem::memCountUp(memMgrDetails.sysMallocCount);
    return p;
}

// One pool allocation (or the library's fallback) made from the shim.
void *pooled(size_t n, size_t align) {
    ++tInside;
    void *p = align == 0 ? KovaMemAlloc(static_cast<uint32_t>(n)) : KovaMemAllocAligned(static_cast<uint32_t>(n),
                                                                                      static_cast<uint32_t>(align));
    --tInside;
    return p;
}

void *allocate(size_t n, size_t align) {
    if (n == 0) n = 1;
    void *p;
    if (!ready()) {
        p = direct(n, align);
    } else {
        poll();
        p = n > 0xFFFFFFFFu || align > 0xFFFFFFFFu ? direct(n, align) : pooled(n, align);
    }
    if (p == nullptr) errno = ENOMEM;
    return p;
}

bool powerOfTwo(size_t a) { return a != 0 && (a & (a - 1)) == 0; }

bool poolAddress(const void *p) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return kovamem::memPoolOfAddress(a) >= 0 || kovamem::memInGuarded(a);
}

// The requested size of a busy pool block, or 0 when p is none. A thread
// inside the library (a signal handler) cannot take the lock: it reads the
// header as the release's prefetch does, which is exact for a block the
// caller owns.
size_t poolSize(const void *p) {
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    const int k = kovamem::memPoolOfAddress(a);
    if (k < 0 && !kovamem::memInGuarded(a)) return 0;
    if (tInside != 0) {
        if (k < 0) {  // a guarded block: its slot's size, exact for a block the caller owns
            const kovamem::GuardedSlot &s = kovamem::memGuarded.slot[kovamem::memGuardedSlotOf(a)];
            return kovamem::memLoad(s.data) == a ? kovamem::memLoad(s.size) : 0;
        }
        const int32_t j = kovamem::memSlotOf(k, reinterpret_cast<uintptr_t>(p));
        return j < 0 ? 0 : kovamem::memLoad(kovamem::memPoolGeom[k].hdrs[j].reqSize);
    }
    MemFindResult f;
    size_t n = 0;
    int held;
    if (kovamem::memLockAndFind(p, &f, &held) == MEM_FIND_FOUND) n = f.hdr->reqSize;
    kovamem::memUnlockFound(held);
    return n;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void *malloc(size_t n) { return allocate(n, 0); }

__attribute__((visibility("default"))) void free(void *p) {
    if (p == nullptr || inBoot(p)) return;
    const int saved = errno;
    if (ready()) {
        pollWork();
        ++tInside;
        (void)KovaMemFree(p);
        --tInside;
    } else if (poolAddress(p)) {
        deferRelease(p);
    } else if (gReal.free != nullptr) {
        gReal.free(p);
    }
    errno = saved;
}

__attribute__((visibility("default"))) void *calloc(size_t count, size_t size) {
    size_t n;
    if (__builtin_mul_overflow(count, size, &n)) {
        errno = ENOMEM;
        return nullptr;
    }
    void *p = allocate(n, 0);
    if (p != nullptr && !inBoot(p)) memset(p, 0, n);  // the static area is zero already
    return p;
}

__attribute__((visibility("default"))) void *realloc(void *p, size_t n) {
    if (p == nullptr) return malloc(n);
    if (n == 0) {
        free(p);
        return nullptr;
    }
    if (inBoot(p)) {
        void *q = malloc(n);
        if (q != nullptr) memcpy(q, p, bootSize(p) < n ? bootSize(p) : n);
        return q;
    }
    void *q;
    if (!ready()) {
        if (poolAddress(p)) {
            __atomic_fetch_add(&gReallocsRefused, 1u, __ATOMIC_RELAXED);
            __atomic_fetch_or(&gWork, kWorkTell, __ATOMIC_RELAXED);
            errno = ENOMEM;
            return nullptr;
        }
        q = gReal.realloc(p, n);
    } else if (n > 0xFFFFFFFFu) {
        const size_t old = poolSize(p);
        if (old == 0 && kovamem::memPoolOfAddress(reinterpret_cast<uintptr_t>(p)) < 0) {
            q = gReal.realloc(p, n);
            if (q != nullptr) kovamem::memCountUp(memMgrDetails.sysReallocCount);
        } else {
            q = direct(n);
            if (q != nullptr) {
                memcpy(q, p, old);
                free(p);
            }
        }
    } else {
        poll();
        ++tInside;
        q = KovaMemReAlloc(p, static_cast<uint32_t>(n));
        --tInside;
    }
    if (q == nullptr) errno = ENOMEM;
    return q;
}

__attribute__((visibility("default"))) void *reallocarray(void *p, size_t count, size_t size) {
    size_t n;
    if (__builtin_mul_overflow(count, size, &n)) {
        errno = ENOMEM;
        return nullptr;
    }
    return realloc(p, n);
}

__attribute__((visibility("default"))) int posix_memalign(void **out, size_t align, size_t n) {
    if (!powerOfTwo(align) || align % sizeof(void *) != 0) return EINVAL;
    const int saved = errno;
    void *p = allocate(n, align);
    errno = saved;
    if (p == nullptr) return ENOMEM;
    *out = p;
    return 0;
}

__attribute__((visibility("default"))) void *memalign(size_t align, size_t n) {
    if (align > (SIZE_MAX >> 1) + 1) {
        errno = EINVAL;
        return nullptr;
    }
    size_t a = 1;
    while (a < align) a <<= 1;
    return allocate(n, a);
}

// As glibc before 2.38 (and the C standard before DR 460): an alignment
// that is no power of two is rounded up, as memalign does.
__attribute__((visibility("default"))) void *aligned_alloc(size_t align, size_t n) { return memalign(align, n); }

__attribute__((visibility("default"))) void *valloc(size_t n) {
    return allocate(n, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
}

__attribute__((visibility("default"))) void *pvalloc(size_t n) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (n > SIZE_MAX - page) {
        errno = ENOMEM;
        return nullptr;
    }
    const size_t whole = n == 0 ? page : (n + page - 1) & ~(page - 1);
    return allocate(whole, page);
}

__attribute__((visibility("default"))) size_t malloc_usable_size(void *p) {
    if (p == nullptr) return 0;
    if (inBoot(p)) return bootSize(p);
    if (poolAddress(p)) return poolSize(p);
    return gReal.usable != nullptr ? gReal.usable(p) : 0;
}

}  // extern "C"
