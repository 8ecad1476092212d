#include <stdint.h>
#include <stdio.h>
#include "kovamem.h"
#define CHAIN __attribute__((noinline))
CHAIN void markBegin(void) { __asm__ volatile(""); }
CHAIN void markEnd(void) { __asm__ volatile(""); }
static MemTraceAddr buf[MEM_TRACE_ENTRIES];
static int32_t got;
CHAIN int chain(int n) {
    if (n == 0) {
        markBegin();
        got = SYS_StackTrace(buf, MEM_TRACE_ENTRIES, 1);
        markEnd();
        return got;
    }
    int r = chain(n - 1);
    __asm__ volatile("" ::: "memory");
    return r + 1;
}
int main(void) {
    chain(12);  /* first capture: frames resolved and kept */
    chain(12);  /* second: through frames seen before */
    chain(12);
    printf("recorded %d\n", got);
    return 0;
}
