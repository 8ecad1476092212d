// A plugin of the analyser's test host, built twice under two names
// (KT_PLUGIN_FN): the host loads one, unloads it and loads the other, often
// at the same base, so that a chain is named right only with the module map
// in force when it was traced.
#include "kovamem.h"

extern "C" __attribute__((noinline, visibility("default"))) void *KT_PLUGIN_FN(uint32_t size) {
    void *p = KovaMemAlloc(size);
    __asm__ volatile("" ::: "memory");
    return p;
}
