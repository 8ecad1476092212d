// Stack traces on every target but 32-bit MIPS: the return addresses come
// from the unwind tables, so frame pointers are not needed.
//
// Where libunwind is there (config_libunwind), its unw_backtrace with a
// per-thread cache of frame layouts does the walk: after the first capture
// through a frame, the frame costs a table look-up instead of an
// interpretation of its unwind entry (about 45 times faster than libgcc's
// _Unwind_Backtrace at depth 10, see bench/README.md). Otherwise, and for
// depths beyond its buffer, the compiler runtime's _Unwind_Backtrace.
#include <unwind.h>

#include "../../internal.h"

#if KOVAMEM_LIBUNWIND
#define UNW_LOCAL_ONLY
#include <libunwind.h>
#endif

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

#if KOVAMEM_LIBUNWIND
// Captures at most this many frames in one call of unw_backtrace.
constexpr int32_t kFastFrames = 64;

MEM_ALWAYS_INLINE int32_t walkLibunwind(MemTraceAddr *buf, int32_t depth, uintptr_t first) {
    static bool cached;  // the per-thread cache is chosen once; a repeat is harmless
    if (!__atomic_load_n(&cached, __ATOMIC_RELAXED)) {
        unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
        __atomic_store_n(&cached, true, __ATOMIC_RELAXED);
    }
    void *raw[kFastFrames + kMaxSkipped];
    const int got = unw_backtrace(raw, depth + kMaxSkipped);
    int at = 0;
    while (at < got && at < kMaxSkipped && reinterpret_cast<uintptr_t>(raw[at]) != first) ++at;
    if (at == got || at == kMaxSkipped) return 0;
    int32_t n = 0;
    for (; n < depth && at < got && raw[at] != nullptr; ++n, ++at) buf[n] = reinterpret_cast<uintptr_t>(raw[at]);
    return n;
}
#endif

// Inlined into each entry so that the unwinder starts in that entry's own
// frame and the entry's return address marks where recording begins.
MEM_ALWAYS_INLINE int32_t walkFrom(MemTraceAddr *buf, int32_t depth, void *returnAddress) {
    if (depth == 0) return 0;
    if (buf == nullptr || depth < 0) return -1;
    const uintptr_t first = reinterpret_cast<uintptr_t>(returnAddress);
    if (first == 0) return 0;
#if KOVAMEM_LIBUNWIND
    if (depth <= kFastFrames) return walkLibunwind(buf, depth, first);
#endif
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
