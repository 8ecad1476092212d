// A host with one deliberate fault per case, for memcheck and ASan to
// report: faults <case>. Each fault sits in a function of its own, which
// the report must name. "clean" uses every call correctly and must draw no
// report at all.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kovamem.h"

#define FAULT extern "C" __attribute__((noinline, used))

static volatile uint8_t sink;

FAULT void faultOverrun(uint8_t *p) { p[10] = 1; }            // one byte past a 10-byte request
FAULT void faultReadAfterRelease(uint8_t *p) { sink = p[0]; }  // p released before
FAULT void faultSecondRelease(uint8_t *p) { KovaMemFree(p); }  // p released before
FAULT void faultReadBeforeWrite(uint8_t *p) {                  // nothing written into p yet
    if (p[3] == 7) puts("seven");
}
FAULT void faultReadOldAfterMove(uint8_t *p) { sink = p[0]; }  // p moved away by a reallocation
FAULT void *faultLeak(void) { return KovaMemAlloc(24); }      // the caller drops it

int main(int argc, char **argv) {
    const int32_t cfg[MEM_POOL_SLOTS] = {4, 4, 4, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    KovaMemInit(cfg);
    if (!KovaMemIsInitialized() || argc != 2) return 2;
    const char *c = argv[1];
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(10));
    memset(p, 0x11, 10);
    if (!strcmp(c, "overrun")) {
        faultOverrun(p);
    } else if (!strcmp(c, "read-after-release")) {
        KovaMemFree(p);
        faultReadAfterRelease(p);
        p = nullptr;
    } else if (!strcmp(c, "second-release")) {
        KovaMemFree(p);
        faultSecondRelease(p);
        p = nullptr;
    } else if (!strcmp(c, "read-before-write")) {
        faultReadBeforeWrite(static_cast<uint8_t *>(KovaMemAlloc(16)));
    } else if (!strcmp(c, "read-old-after-move")) {
        uint8_t *q = static_cast<uint8_t *>(KovaMemReAlloc(p, 100));  // 16-byte pool -> 128-byte pool
        if (q == p || q[9] != 0x11) return 3;
        faultReadOldAfterMove(p);
        p = q;
    } else if (!strcmp(c, "leak")) {
        if (faultLeak() == nullptr) return 3;
    } else if (!strcmp(c, "clean")) {
        uint8_t *z = static_cast<uint8_t *>(KovaMemCalloc(4, 4));
        for (int i = 0; i < 16; ++i) sink = z[i];
        // In place: 12 bytes usable (the classic build keeps the first 10).
        p = static_cast<uint8_t *>(KovaMemReAlloc(p, 12));
        memset(p, 0x22, KOVAMEM_CLASSIC ? 10 : 12);
        p = static_cast<uint8_t *>(KovaMemReAlloc(p, 60));  // moved: 60 bytes usable
        memset(p, 0x33, 60);
        uint8_t *bad = static_cast<uint8_t *>(KovaMemAlloc(5));
        KovaMemUpdateLogStackFlag(1);
        void *traced = KovaMemAlloc(30);
        KovaMemPrintMemStatus();
        KovaMemFree(traced);
        KovaMemFree(z);
        KovaMemFree(bad);
        KovaMemCleanMemBlocks();
        KovaMemDebugModes(MEM_DEBUG_CHECK_POINTER, "0x10");
    } else {
        return 2;
    }
    KovaMemFree(p);
    printf("faults: %s done\n", c);
    return 0;
}
