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
// library directly: the library never waits for a lock it holds.
#include <dlfcn.h>
#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
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

enum { kNone, kStarting, kReady };
int gState = kNone;
kovamem::PreloadOptions gOptions;
__thread int tInside __attribute__((tls_model("initial-exec")));

volatile sig_atomic_t gReportAsked;
uint32_t gModulesLogged;

void onReportSignal(int) { gReportAsked = 1; }

void reportAtExit() {
    ++tInside;
    KovaMemPrintMemStatus();
    --tInside;
}

template <class F>
void find(F *slot, const char *name) {
    *slot = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void start() {
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
    if (gOptions.depth >= 0) KovaMemSetStackDepth(gOptions.depth);
    if (gOptions.freeCheck) KovaMemSetFreeCheck(1);
    if (gOptions.trace) {
        KovaMemLogModules();
        gModulesLogged = __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_RELAXED);
        KovaMemUpdateLogStackFlag(1);
    }
    if (gOptions.reportAtExit) atexit(reportAtExit);
    if (gOptions.reportSignal != 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = onReportSignal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(gOptions.reportSignal, &sa, nullptr);
    }
}

// True when the pools serve this call; false while the library is starting
// on this thread or the call comes from inside the library.
bool ready() {
    if (__builtin_expect(__atomic_load_n(&gState, __ATOMIC_ACQUIRE) == kReady, 1)) return tInside == 0;
    int expected = kNone;
    if (__atomic_compare_exchange_n(&gState, &expected, kStarting, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        ++tInside;
        start();
        --tInside;
        __atomic_store_n(&gState, kReady, __ATOMIC_RELEASE);
        return tInside == 0;
    }
    if (tInside != 0) return false;  // this thread is starting the library
    while (__atomic_load_n(&gState, __ATOMIC_ACQUIRE) != kReady) sched_yield();
    return true;
}

// What waits for the next call: a report asked for by the signal, the
// module map after modules came or went (tracing on).
void poll() {
    if (__builtin_expect(gReportAsked != 0, 0)) {
        gReportAsked = 0;
        ++tInside;
        KovaMemPrintMemStatus();
        --tInside;
    }
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
        p = n > 0xFFFFFFFFu ? direct(n, align) : pooled(n, align);
    }
    if (p == nullptr) errno = ENOMEM;
    return p;
}

bool powerOfTwo(size_t a) { return a != 0 && (a & (a - 1)) == 0; }

// The requested size of a busy pool block, or 0 when p is none.
size_t poolSize(const void *p) {
    if (kovamem::memPoolOfAddress(reinterpret_cast<uintptr_t>(p)) < 0) return 0;
    MemFindResult f;
    size_t n = 0;
    memLock(memMgrDetails.lock);
    if (memFindBlock(p, &f) == MEM_FIND_FOUND) n = f.hdr->reqSize;
    memUnlock(memMgrDetails.lock);
    return n;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void *malloc(size_t n) { return allocate(n, 0); }

__attribute__((visibility("default"))) void free(void *p) {
    if (p == nullptr || inBoot(p)) return;
    const int saved = errno;
    if (ready()) {
        ++tInside;
        (void)KovaMemFree(p);
        --tInside;
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
    if (__atomic_load_n(&gState, __ATOMIC_ACQUIRE) == kReady &&
        kovamem::memPoolOfAddress(reinterpret_cast<uintptr_t>(p)) >= 0)
        return poolSize(p);
    return gReal.usable != nullptr ? gReal.usable(p) : 0;
}

}  // extern "C"
