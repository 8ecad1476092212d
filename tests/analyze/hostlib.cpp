// The shared library of the analyser's test host.
#include "kovamem.h"

extern "C" __attribute__((noinline, visibility("default"))) void *kthostLibAllocate(uint32_t size) {
    void *p = KovaMemAlloc(size);
    __asm__ volatile("" ::: "memory");
    return p;
}
