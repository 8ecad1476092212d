// A small host for the analyser's tests, with call sites of known names in
// the executable (hostAllocateWidget, hostRememberSession) and in a shared
// library (kthostLibAllocate). It logs its module map, traces allocations,
// overruns one block that a report has seen, and writes three reports; the
// session records it remembers are never released.
//   host [capped]   capped: a log cap so small that the second report is cut
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kovamem.h"

extern "C" void *kthostLibAllocate(uint32_t size);

#define SITE extern "C" __attribute__((noinline, used))

SITE void *hostAllocateWidget(uint32_t size) { return KovaMemAlloc(size); }
SITE void *hostRememberSession(void) { return KovaMemAlloc(48); }

static volatile int two = 2;  // a loop count the compiler cannot unroll: one call site each

int main(int argc, char **argv) {
    const int32_t cfg[MEM_POOL_SLOTS] = {8, 8, 8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    KovaMemInit(cfg);
    if (!KovaMemIsInitialized()) return 1;
    KovaMemResetFile();
    KovaMemSetFileSize(argc > 1 && strcmp(argv[1], "capped") == 0 ? 4 : 1024);
    KovaMemLogModules();
    KovaMemUpdateLogStackFlag(1);
    void *widgets[3];
    for (int i = 0; i < two + 1; ++i) widgets[i] = hostAllocateWidget(100);
    void *lib[2], *sessions[2];
    for (int i = 0; i < two; ++i) lib[i] = kthostLibAllocate(20);
    for (int i = 0; i < two; ++i) sessions[i] = hostRememberSession();
    uint8_t *victim = static_cast<uint8_t *>(hostAllocateWidget(10));
    KovaMemAlloc(100000);  // beyond every pool
    KovaMemPrintMemStatus();            // report 1: everything live
    victim[10] ^= 0xFF;                 // one byte past the request
    KovaMemFree(victim);                // quarantined
    void *more[2];
    for (int i = 0; i < two; ++i) more[i] = hostAllocateWidget(100);
    KovaMemPrintMemStatus();            // report 2
    for (void *p : widgets) KovaMemFree(p);
    for (void *p : lib) KovaMemFree(p);
    KovaMemPrintMemStatus();            // report 3: sessions and more still live
    (void)sessions;
    (void)more;
    printf("/tmp/memmgr-%d.log\n", static_cast<int>(getpid()));  // where the log is
    return 0;
}
