// Stack traces on every target but 32-bit MIPS: the return addresses come
// from the unwind tables, so frame pointers are not needed.
//
// Two walks:
// - libunwind's unw_backtrace with a per-thread cache of frame layouts:
//   after the first capture through a frame, the frame costs a table
//   look-up instead of an interpretation of its unwind entry (about 45
//   times faster than libgcc's _Unwind_Backtrace at depth 10, see
//   bench/README.md). Used when libunwind was found at build time
//   (config_libunwind) and ThreadSanitizer is neither in the library nor in
//   the process: the per-thread cache frees itself in a thread-specific-data
//   destructor that takes a mutex, and under ThreadSanitizer that mutex is
//   intercepted after the sanitizer has torn the exiting thread down (a
//   crash at every thread exit). The choice is made once, at load.
// - the compiler runtime's _Unwind_Backtrace, with no per-thread state: the
//   walk everywhere else, for depths beyond libunwind's buffer, and for a
//   capture that interrupts another capture on the same thread (a signal
//   handler that captures): libunwind's cache may be half-written or being
//   replaced there, so the nested capture leaves it alone. The runtime finds
//   unwind tables through the loader's lock-free object look-up, which is
//   safe in a handler.
#include <unwind.h>

#include "../../internal.h"
#include "codemap.h"
#include "faultctx.h"

#if KOVAMEM_LIBUNWIND
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#endif

#include <dlfcn.h>

// Defined only when ThreadSanitizer's runtime is in the process (a host
// built with it), whatever the library was built with.
extern "C" void __tsan_init() __attribute__((weak));

namespace {

// Frames above the first recorded one: the capturing entry itself, and any
// frames of the unwinder a runtime might report. Past that many the first
// return address was not met and the walk records nothing.
constexpr int32_t kMaxSkipped = 8;

struct Walk {
    MemTraceAddr *buf;
    int32_t depth;
    int32_t n;
    uintptr_t first;  // return address into the caller of the capturing entry
    int32_t skipped;
    int32_t maxSkipped = kMaxSkipped;
};

// The compiler runtime's own walk, looked up by its version in libgcc_s at
// load: libunwind exports functions of the same names (without the
// version) that walk with libunwind's own machinery, which calls the
// loader's locked dl_iterate_phdr and so must not serve a capture that
// interrupted one. libgcc's finds unwind tables through the loader's
// lock-free _dl_find_object.
}  // namespace

#if !defined(__GLIBC__)
// Weak beside a C library without the compiler runtime's shared unwinder
// (musl without libgcc_s): the library still loads, and its captures are
// empty. With glibc the references stay strong, which keeps libgcc_s among
// the library's needed libraries.
extern "C" __attribute__((weak)) _Unwind_Reason_Code _Unwind_Backtrace(_Unwind_Trace_Fn, void *);
extern "C" __attribute__((weak)) _Unwind_Ptr _Unwind_GetIP(struct _Unwind_Context *);
#endif

namespace {

using BacktraceFn = _Unwind_Reason_Code (*)(_Unwind_Trace_Fn, void *);
using GetIpFn = _Unwind_Ptr (*)(struct _Unwind_Context *);
BacktraceFn gBacktrace = _Unwind_Backtrace;
GetIpFn gGetIp = _Unwind_GetIP;

_Unwind_Reason_Code onFrame(struct _Unwind_Context *ctx, void *arg) {
    Walk *w = static_cast<Walk *>(arg);
    const uintptr_t ip = gGetIp(ctx);
    if (w->n == 0 && ip != w->first) {
        return ++w->skipped < w->maxSkipped ? _URC_NO_REASON : _URC_END_OF_STACK;
    }
    if (ip == 0) return _URC_END_OF_STACK;
    w->buf[w->n++] = ip;
    return w->n < w->depth ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// Nonzero while this thread runs a cached capture: a capture that finds it
// set interrupted one (from a signal handler) and must not touch the cache.
__thread uint8_t tInCachedCapture __attribute__((tls_model("initial-exec")));
#if KOVAMEM_LIBUNWIND
// libunwind's per-thread cache of frame layouts cannot be emptied. It is
// keyed by code address, so once a module has been loaded where an unloaded
// one had its code (memCodeReuseGeneration moved), a cache filled before
// may describe the old code at the new code's addresses: the thread that
// owns it walks with the compiler runtime from then on. Threads started
// later get caches of their own. tCacheSince holds the reuse generation the
// thread's cache started under, plus one (0: no cached capture yet).
__thread uint32_t tCacheSince __attribute__((tls_model("initial-exec")));
__thread uint8_t tCacheStale __attribute__((tls_model("initial-exec")));
// The code map generation libunwind's shared caches were last flushed at.
uint32_t gFlushedGeneration;

// Captures at most this many frames in one call of unw_backtrace.
constexpr int32_t kFastFrames = 64;

// Whether this thread's cache may be used. With check (a capture made by
// the library's own operations, never in a signal handler), modules that
// came or went since the last capture are learned first and libunwind's
// shared caches flushed for them. A host's own capture calls nothing of the
// loader or the C heap: a change learned but not flushed yet makes it walk
// without the cache. This thread's own cache is given up for good once a
// module sits where an unloaded one was.
MEM_ALWAYS_INLINE bool cacheStillGood(bool check) {
    uint32_t flushed = __atomic_load_n(&gFlushedGeneration, __ATOMIC_RELAXED);
    if (check) {
        kovamem::memCodeMapCheck();
        const uint32_t now = __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_ACQUIRE);
        if (__builtin_expect(flushed != now, 0) &&
            __atomic_compare_exchange_n(&gFlushedGeneration, &flushed, now, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
            unw_flush_cache(unw_local_addr_space, 0, 0);
    } else if (flushed != __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_ACQUIRE)) {
        return false;
    }
    const uint32_t since = __atomic_load_n(&kovamem::memCodeReuseGeneration, __ATOMIC_ACQUIRE) + 1;
    if (__builtin_expect(tCacheSince != since, 0)) {
        if (tCacheSince != 0) tCacheStale = 1;
        tCacheSince = since;
    }
    return tCacheStale == 0;
}

MEM_ALWAYS_INLINE int32_t walkLibunwind(MemTraceAddr *buf, int32_t depth, uintptr_t first) {
    void *raw[kFastFrames + kMaxSkipped];
    const int got = unw_backtrace(raw, depth + kMaxSkipped);
    int at = 0;
    while (at < got && at < kMaxSkipped && reinterpret_cast<uintptr_t>(raw[at]) != first) ++at;
    if (at == got || at == kMaxSkipped) return 0;
    int32_t n = 0;
    for (; n < depth && at < got && raw[at] != nullptr; ++n, ++at) buf[n] = reinterpret_cast<uintptr_t>(raw[at]);
    return n;
}
#else
constexpr int32_t kFastFrames = 0;
inline bool cacheStillGood(bool) { return false; }
inline int32_t walkLibunwind(MemTraceAddr *, int32_t, uintptr_t) { return 0; }
#endif

// A symbol of libgcc's by its version, where the C library has versions
// (glibc); elsewhere (musl) the one definition there is.
void *versioned(void *lib, const char *name, const char *version) {
#if defined(__GLIBC__)
    return dlvsym(lib, name, version);
#else
    (void)version;
    return dlsym(lib, name);
#endif
}

// Chooses the walk once, when the library is loaded, without touching
// libunwind: its first use creates a pipe (two descriptors the host never
// asked for, libunwind 1.6's memory check) and may allocate, so it is
// started by the first capture the library's own operations make (tracing
// on, never in a signal handler; see startLibunwind). Until then, and in a
// process that never traces, every capture walks with the compiler runtime.
bool gLibunwindAllowed;
uint32_t gLibunwindStarted;  // 0 not yet, 1 being started, 2 done

__attribute__((constructor)) void chooseUnwinder() {
    if (void *gcc = dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_NOLOAD)) {
        void *bt = versioned(gcc, "_Unwind_Backtrace", "GCC_3.3");
        void *ip = versioned(gcc, "_Unwind_GetIP", "GCC_3.0");
        if (bt != nullptr && ip != nullptr) {
            gBacktrace = reinterpret_cast<BacktraceFn>(bt);
            gGetIp = reinterpret_cast<GetIpFn>(ip);
        }
        dlclose(gcc);  // still loaded: the library needs it
    }
    gLibunwindAllowed = kovamem::config_libunwind && !kovamem::config_tsan && &__tsan_init == nullptr;
}

// Sets libunwind's caching policy once, from a capture made by the
// library's own operations, under the thread's capture flag (a handler that
// interrupts it walks with the compiler runtime) and the fork guard. Other
// threads that capture meanwhile walk with the compiler runtime; the cached
// walk serves from the next capture on.
MEM_ALWAYS_INLINE void startLibunwind(volatile uint8_t &busy) {
    if (__builtin_expect(__atomic_load_n(&gLibunwindStarted, __ATOMIC_ACQUIRE) != 0, 1) || !gLibunwindAllowed) return;
    uint32_t idle = 0;
    if (!__atomic_compare_exchange_n(&gLibunwindStarted, &idle, 1u, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) return;
    busy = 1;
    if (kovamem::memForkGuardEnter()) {
#if KOVAMEM_LIBUNWIND
        unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
#endif
        kovamem::memForkGuardExit();
        __atomic_store_n(&memUnwindCached, true, __ATOMIC_RELEASE);
        __atomic_store_n(&gLibunwindStarted, 2u, __ATOMIC_RELEASE);
    } else {
        __atomic_store_n(&gLibunwindStarted, 0u, __ATOMIC_RELEASE);  // a fork was under way: the next capture tries
    }
    busy = 0;
}

// Inlined into each entry so that the unwinder starts in that entry's own
// frame and the entry's return address marks where recording begins. The
// cached walk is bracketed by the thread's flag (set before anything that
// a handler's capture must not re-enter: the check of the modules, which
// holds the loader's lock, and libunwind's cache) and by the fork guard.
MEM_ALWAYS_INLINE int32_t walkFrom(MemTraceAddr *buf, int32_t depth, void *returnAddress, bool check) {
    if (depth == 0) return 0;
    if (buf == nullptr || depth < 0) return -1;
    const uintptr_t first = reinterpret_cast<uintptr_t>(returnAddress);
    if (first == 0) return 0;
    volatile uint8_t &busy = tInCachedCapture;
    if (check && busy == 0) {
        startLibunwind(busy);
        // The module check the cached walk makes for itself (it flushes
        // libunwind's caches too); the compiler runtime's walk needs none,
        // but the module map's readers (KovaMemLogModules, the preload
        // library) learn from it that modules came or went.
        if (!__atomic_load_n(&memUnwindCached, __ATOMIC_RELAXED)) kovamem::memCodeMapCheck();
    }
    if (depth <= kFastFrames && __atomic_load_n(&memUnwindCached, __ATOMIC_RELAXED) && busy == 0) {
        busy = 1;
        int32_t n = -1;
        if (kovamem::memForkGuardEnter()) {
            if (cacheStillGood(check)) n = walkLibunwind(buf, depth, first);
            kovamem::memForkGuardExit();
        }
        busy = 0;
        if (n >= 0) return n;
    }
    Walk w{buf, depth, 0, first, 0};
    if (gBacktrace != nullptr && gGetIp != nullptr) gBacktrace(onFrame, &w);
    return w.n;
}

}  // namespace

extern "C" {

__attribute__((noinline)) int32_t memWalkStack(MemTraceAddr *buf, int32_t depth, uint32_t how) {
    return walkFrom(buf, depth, __builtin_return_address(0), how == kovamem::kCaptureChecksModules);
}

__attribute__((noinline)) int32_t SYS_StackTrace(MemTraceAddr *buf, int32_t depth, uint32_t how) {
    return walkFrom(buf, depth, __builtin_return_address(0), how == kovamem::kCaptureChecksModules);
}

}  // extern "C"

// The faulting chain, from a signal handler: the compiler runtime's walk
// (never libunwind's, whose caches the interrupted code may be using) steps
// through the kernel's signal frame, whose reported address is the
// faulting pc itself; recording starts there, after the handler's frames.
// A walk that does not reach it records the pc alone.
int32_t kovamem::memWalkContext(MemTraceAddr *buf, int32_t depth, const FaultContext &at) {
    if (depth <= 0 || at.pc == 0) return 0;
    Walk w{buf, depth, 0, at.pc, 0, 32};
    if (gBacktrace != nullptr && gGetIp != nullptr) gBacktrace(onFrame, &w);
    if (w.n == 0) buf[w.n++] = at.pc;
    return w.n;
}
