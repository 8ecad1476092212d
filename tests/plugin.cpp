// A plugin that captures its own call chain, built twice with the same code
// and different frame sizes (KT_FRAME): loaded one after the other at the
// same base, the two put their return addresses at the same places behind
// frames of different layout.
#include <kovamem.h>

#define KT_PLUGIN __attribute__((noinline, used, visibility("default")))
#define KT_BARRIER() __asm__ volatile("" ::: "memory")

// One frame of KT_FRAME bytes around a call: the same code in each.
#define KT_FRAME_FUNCTION(name, call)               \
    KT_PLUGIN int32_t name(MemTraceAddr *buf, int32_t depth) { \
        volatile char frame[KT_FRAME];              \
        frame[0] = 1;                               \
        int32_t n = call;                           \
        KT_BARRIER();                               \
        return n + frame[0] - 1;                    \
    }

extern "C" {

KT_FRAME_FUNCTION(ktPlugInner, SYS_StackTrace(buf, depth, 1))
KT_FRAME_FUNCTION(ktPlugMiddle, ktPlugInner(buf, depth))
KT_FRAME_FUNCTION(ktPlugOuter, ktPlugMiddle(buf, depth))

}  // extern "C"
