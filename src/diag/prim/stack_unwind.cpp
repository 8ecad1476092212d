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

#if KOVAMEM_LIBUNWIND
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#endif

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
};

_Unwind_Reason_Code onFrame(struct _Unwind_Context *ctx, void *arg) {
    Walk *w = static_cast<Walk *>(arg);
    const uintptr_t ip = _Unwind_GetIP(ctx);
    if (w->n == 0 && ip != w->first) {
        return ++w->skipped < kMaxSkipped ? _URC_NO_REASON : _URC_END_OF_STACK;
    }
    if (ip == 0) return _URC_END_OF_STACK;
    w->buf[w->n++] = ip;
    return w->n < w->depth ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// Nonzero while this thread runs a cached capture: a capture that finds it
// set interrupted one (from a signal handler) and must not touch the cache.
__thread uint8_t tInCachedCapture __attribute__((tls_model("initial-exec")));

#if KOVAMEM_LIBUNWIND
// Captures at most this many frames in one call of unw_backtrace.
constexpr int32_t kFastFrames = 64;

MEM_ALWAYS_INLINE int32_t walkLibunwind(MemTraceAddr *buf, int32_t depth, uintptr_t first) {
    void *raw[kFastFrames + kMaxSkipped];
    volatile uint8_t &busy = tInCachedCapture;
    busy = 1;
    const int got = unw_backtrace(raw, depth + kMaxSkipped);
    busy = 0;
    int at = 0;
    while (at < got && at < kMaxSkipped && reinterpret_cast<uintptr_t>(raw[at]) != first) ++at;
    if (at == got || at == kMaxSkipped) return 0;
    int32_t n = 0;
    for (; n < depth && at < got && raw[at] != nullptr; ++n, ++at) buf[n] = reinterpret_cast<uintptr_t>(raw[at]);
    return n;
}
#else
constexpr int32_t kFastFrames = 0;
inline int32_t walkLibunwind(MemTraceAddr *, int32_t, uintptr_t) { return 0; }
#endif

// Chooses the walk once, before any capture can run in this process: the
// first capture must not set libunwind's caching policy itself, since that
// may allocate and a crash handler's capture may be the first.
__attribute__((constructor)) void chooseUnwinder() {
    if (!kovamem::config_libunwind || kovamem::config_tsan || &__tsan_init != nullptr) return;
#if KOVAMEM_LIBUNWIND
    unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
#endif
    __atomic_store_n(&memUnwindCached, true, __ATOMIC_RELAXED);
}

// Inlined into each entry so that the unwinder starts in that entry's own
// frame and the entry's return address marks where recording begins.
MEM_ALWAYS_INLINE int32_t walkFrom(MemTraceAddr *buf, int32_t depth, void *returnAddress) {
    if (depth == 0) return 0;
    if (buf == nullptr || depth < 0) return -1;
    const uintptr_t first = reinterpret_cast<uintptr_t>(returnAddress);
    if (first == 0) return 0;
    if (depth <= kFastFrames && __atomic_load_n(&memUnwindCached, __ATOMIC_RELAXED) &&
        *static_cast<volatile uint8_t *>(&tInCachedCapture) == 0)
        return walkLibunwind(buf, depth, first);
    Walk w{buf, depth, 0, first, 0};
    _Unwind_Backtrace(onFrame, &w);
    return w.n;
}

}  // namespace

extern "C" {

__attribute__((noinline)) int32_t memWalkStack(MemTraceAddr *buf, int32_t depth) {
    return walkFrom(buf, depth, __builtin_return_address(0));
}

__attribute__((noinline)) int32_t SYS_StackTrace(MemTraceAddr *buf, int32_t depth, uint32_t) {
    return walkFrom(buf, depth, __builtin_return_address(0));
}

}  // extern "C"
