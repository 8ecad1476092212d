// Stack traces on every target but 32-bit MIPS: the return addresses come
// from the compiler runtime's unwinder, which reads the unwind tables and
// so needs no frame pointers.
#include <unwind.h>

#include "../../internal.h"

namespace {

struct Walk {
    MemTraceAddr *buf;
    int32_t depth;
    int32_t n;
    uintptr_t first;  // return address into the caller of the capturing entry
    int32_t skipped;
};

// Frames above the first recorded one: the capturing entry itself, and any
// frames of the unwinder a runtime might report. Past that many the first
// return address was not met and the walk records nothing.
constexpr int32_t kMaxSkipped = 8;

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

// Inlined into each entry so that the unwinder starts in that entry's own
// frame and the entry's return address marks where recording begins.
MEM_ALWAYS_INLINE int32_t walkFrom(MemTraceAddr *buf, int32_t depth, void *returnAddress) {
    if (depth == 0) return 0;
    if (buf == nullptr || depth < 0) return -1;
    Walk w{buf, depth, 0, reinterpret_cast<uintptr_t>(returnAddress), 0};
    if (w.first == 0) return 0;
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
