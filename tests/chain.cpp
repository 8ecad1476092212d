// Call chains for the trace tests, compiled like the library (position-
// independent, same optimisation) so that the walk meets real prologues.
// A barrier follows each call, so none becomes a tail call.
#include <dlfcn.h>

#include "support.h"

#if defined(__clang__)
#define KT_CHAIN __attribute__((noinline, used))
#else
#define KT_CHAIN __attribute__((noinline, noclone, used))
#endif
#define KT_BARRIER() __asm__ volatile("" ::: "memory")

extern "C" {

KT_CHAIN int32_t ktChainH(MemTraceAddr *buf, int32_t depth) {
    int32_t n = SYS_StackTrace(buf, depth, 1);
    KT_BARRIER();
    return n;
}

KT_CHAIN int32_t ktChainG(MemTraceAddr *buf, int32_t depth) {
    int32_t n = ktChainH(buf, depth);
    KT_BARRIER();
    return n;
}

KT_CHAIN int32_t ktChainF(MemTraceAddr *buf, int32_t depth) {
    int32_t n = ktChainG(buf, depth);
    KT_BARRIER();
    return n;
}

KT_CHAIN void ktCaptureDeep(int frames, MemTraceAddr *trace) {
    if (frames <= 1)
        memCaptureTrace(trace);
    else
        ktCaptureDeep(frames - 1, trace);
    KT_BARRIER();
}

MemTraceAddr ktSignalTrace[MEM_TRACE_ENTRIES];
int32_t ktSignalDepth;

KT_CHAIN void ktOnSignal(int) {
    for (auto &e : ktSignalTrace) e = MEM_TRACE_END;
    ktSignalDepth = SYS_StackTrace(ktSignalTrace, MEM_TRACE_ENTRIES, 1);
    (void)KovaMemAlloc(0);  // logs a trace captured here
    KT_BARRIER();
}

KT_CHAIN void *ktAllocFrom(uint32_t size) {
    void *p = KovaMemAlloc(size);
    KT_BARRIER();
    return p;
}

}  // extern "C"

std::string kt::functionOf(MemTraceAddr a) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(a), &info) == 0 || info.dli_sname == nullptr) return "?";
    return info.dli_sname;
}
