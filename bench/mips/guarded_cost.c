/* Guarded sampling's cost and footprint in one process: resident memory
 * (VmRSS) before the area is made, after, and with every slot holding a
 * live guarded block; then the time of an allocation+release pair of 256
 * bytes with sampling off (the area made) and at one in RATE, interleaved
 * over rounds so that drift hits both alike. Built for the host and for
 * MIPS by guarded.sh; under qemu the times are the emulator's, so only the
 * ratio means anything there. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kovamem.h"

static long rssKb(void) {
    FILE *f = fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (f != NULL && fgets(line, sizeof line, f) != NULL)
        if (strncmp(line, "VmRSS:", 6) == 0) kb = atol(line + 6);
    if (f != NULL) fclose(f);
    return kb;
}

static double nsPerPair(long n) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    for (long i = 0; i < n; ++i) {
        void *p = KovaMemAlloc(256);
        __asm__ volatile("" : : "r"(p) : "memory");
        KovaMemFree(p);
    }
    clock_gettime(CLOCK_MONOTONIC, &b);
    return ((b.tv_sec - a.tv_sec) * 1e9 + (b.tv_nsec - a.tv_nsec)) / n;
}

int main(int argc, char **argv) {
    const long n = argc > 1 ? atol(argv[1]) : 2000000;
    const unsigned rate = argc > 2 ? (unsigned)atoi(argv[2]) : 1000;
    int32_t cfg[MEM_POOL_SLOTS] = {0, 0, 0, 0, 0, 512};
    KovaMemInit(cfg);
    const long before = rssKb();
    KovaMemSetGuardedSampling(1, 64);
    const long made = rssKb();
    void *live[64];
    for (int i = 0; i < 64; ++i) live[i] = KovaMemAlloc(256);
    const long full = rssKb();
    for (int i = 0; i < 64; ++i) KovaMemFree(live[i]);
    KovaMemStats st;
    memset(&st, 0, sizeof st);
    st.size = sizeof st;
    KovaMemGetStats(&st);
    printf("area: %u slots, %llu KiB of address space; VmRSS %ld KiB before, +%ld KiB made, +%ld KiB with 64 live\n",
           st.guardedSlots, (unsigned long long)st.guardedAreaBytes / 1024, before, made - before, full - before);
    double off = 0, on = 0;
    for (int round = 0; round < 5; ++round) {
        KovaMemSetGuardedSampling(0, 0);
        off += nsPerPair(n / 5);
        KovaMemSetGuardedSampling(rate, 64);
        on += nsPerPair(n / 5);
    }
    printf("pair/256: %.1f ns off, %.1f ns at 1/%u: %.3fx\n", off / 5, on / 5, rate, on / off);
    char log[64];
    snprintf(log, sizeof log, "/tmp/memmgr-%d.log", (int)getpid());
    unlink(log);  /* this process's own log */
    return 0;
}
