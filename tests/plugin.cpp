// A plugin that captures its own call chain, built twice with the same code
// and different frame sizes (KT_FRAME): loaded one after the other at the
// same base, the two put their return addresses at the same places behind
// frames of different layout.
#include <kovamem.h>

#define KT_PLUGIN __attribute__((noinline, used, visibility("default")))
#define KT_BARRIER() __asm__ volatile("" ::: "memory")

extern "C" {

KT_PLUGIN int32_t ktPlugInner(MemTraceAddr *buf, int32_t depth) {
    volatile char frame[KT_FRAME];
    frame[0] = 1;
    int32_t n = SYS_StackTrace(buf, depth, 1);
    KT_BARRIER();
    return n + frame[0] - 1;
}

KT_PLUGIN int32_t ktPlugMiddle(MemTraceAddr *buf, int32_t depth) {
    volatile char frame[KT_FRAME];
    frame[0] = 1;
    int32_t n = ktPlugInner(buf, depth);
    KT_BARRIER();
    return n + frame[0] - 1;
}

KT_PLUGIN int32_t ktPlugOuter(MemTraceAddr *buf, int32_t depth) {
    volatile char frame[KT_FRAME];
    frame[0] = 1;
    int32_t n = ktPlugMiddle(buf, depth);
    KT_BARRIER();
    return n + frame[0] - 1;
}

}  // extern "C"
