/* A program built twice, as firmware 1 and firmware 2 (FW: different code,
 * so different build-ids and offsets), that makes the faults a fleet
 * reports. Which faults a run makes depends on its device number (argv[1]):
 *   an overrun, in both, on every device, (device % 3 + 1) times;
 *   a block released twice, firmware 1 only (fixed in 2), on even devices;
 *   a released block reallocated, in both, on every third device (once in
 *   firmware 1, twice in 2: a regression);
 *   a release inside a block, new in firmware 2, on devices 1, 5, 9, ...
 * and every device keeps (device % 4 + 1) blocks of 64 bytes to its end. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define SITE __attribute__((noinline))
/* After a call that would end its function: no tail call, so the function
 * stays in the chain of what it calls. */
#define STAY() __asm__ volatile("" ::: "memory")

static volatile size_t gExtra = 1; /* unknown to the compiler: no warning, no folding */

SITE static char *readConfig(size_t n) {
    char *p = malloc(n);
    __asm__ volatile("" : : "r"(p) : "memory");
    return p;
}

SITE static void parseConfig(char *p, size_t n) {
    memset(p, 'c', n + gExtra); /* one byte past the end */
    __asm__ volatile("" : : "r"(p) : "memory");
    free(p);
    STAY();
}

SITE static void dropSession(char *s) {
    char *volatile again = s;
    free(s);
    if (FW == 1) free(again); /* released twice */
    STAY();
}

SITE static char *growCache(char *c) {
    char *volatile stale = c;
    free(c);
    char *moved = realloc(stale, 200); /* the block was released */
    STAY();
    return moved;
}

SITE static void resizeTable(char *t) {
    char *volatile inside = t + 16 * gExtra;
    if (FW == 2) free(inside); /* an address inside the block */
    free(t);
    STAY();
}

SITE static void *remember(size_t n) {
    void *p = malloc(n);
    STAY();
    return p;
}

static void *gKept[4];

int main(int argc, char **argv) {
    const int device = argc > 1 ? atoi(argv[1]) : 0;
    for (int i = 0; i <= device % 3; ++i) parseConfig(readConfig(24), 24);
    if (device % 2 == 0) dropSession(readConfig(40));
    for (size_t i = 0; device % 3 == 0 && i < FW * gExtra; ++i) free(growCache(readConfig(64))); /* one call site */
    if (device % 4 == 1) resizeTable(readConfig(100));
    for (int i = 0; i <= device % 4; ++i) gKept[i] = remember(64);
    printf("firmware %d device %d\n", FW, device);
    return 0;
}
