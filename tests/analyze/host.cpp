// A small host for the analyser's tests, with call sites of known names in
// the executable (hostAllocateWidget, hostRememberSession) and in a shared
// library (kthostLibAllocate). It logs its module map, traces allocations,
// overruns one block that a report has seen, and writes three reports; the
// session records it remembers are never released.
//   host [capped]   capped: a log cap so small that the second report is cut
//   host faults     the faults scenario below, with the default log cap
//   host stats      live since a mark, and the snapshot's JSON and
//                   Prometheus text beside the log
//   host sampled    tracing 1 in 4, then a damaged block that was not sampled
//   host grow       growing pools: more than 14 pools in a report, and a
//                   budget spent (default build)
//   host replace    a plugin allocates, is unloaded, and a second plugin is
//                   loaded (often at the same base) and allocates; a report
//                   after each, the module map logged after each dlopen
#include <dlfcn.h>
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

// The barrier keeps a call out of a tail position, so that its function
// has a frame of its own in the chains.
#define BARRIER() __asm__ volatile("" ::: "memory")

// The culprits of the faults scenario, one function each.
SITE void *hostF1Allocate(uint32_t size) { return KovaMemAlloc(size); }
SITE void hostF2Overrun(uint8_t *p, int32_t at) { p[at] ^= 0x80; }
SITE uint8_t hostF3Release(void *p) { return KovaMemFree(p); }
SITE uint8_t hostF4ReleaseAgain(void *p) { return KovaMemFree(p); }
SITE uint8_t hostF5Release(void *p) { return KovaMemFree(p); }
SITE void *hostF6Allocate(uint32_t size) { return KovaMemAlloc(size); }
SITE void *hostF7Reallocate(void *p, uint32_t size) {
    void *q = KovaMemReAlloc(p, size);
    BARRIER();
    return q;
}

// Guarded sampling: who allocates, releases, and does the bad access.
SITE void *hostGuardedAllocate(uint32_t size) {
    void *p = KovaMemAlloc(size);
    BARRIER();
    return p;
}
SITE void hostGuardedRelease(void *p) {
    KovaMemFree(p);
    BARRIER();
}
SITE void hostOverrunWriter(uint8_t *p, uint32_t at) {
    static_cast<volatile uint8_t *>(p)[at] = 0x11;
    BARRIER();
}
SITE void hostUnderrunWriter(uint8_t *p) {
    static_cast<volatile uint8_t *>(p)[-1] = 0x11;
    BARRIER();
}
SITE uint8_t hostStaleReader(const uint8_t *p) {
    const uint8_t v = static_cast<const volatile uint8_t *>(p)[8];
    BARRIER();
    return v;
}
SITE void hostStaleWriter(uint8_t *p) {
    static_cast<volatile uint8_t *>(p)[8] = 0x22;
    BARRIER();
}
static volatile uint8_t sink;

// guarded-overrun, guarded-underrun, guarded-read, guarded-write [recover]: every allocation
// guarded while the 16 slots last, 40 blocks of 64 bytes (a multiple of the
// slot alignment), then one bad access; the log's path is printed first,
// since without recover the access ends the process.
static int guarded(const char *what, bool recover, const char *log) {
    KovaMemSetGuardedRecover(recover ? 1 : 0);
    KovaMemSetGuardedSampling(1, 16);
    printf("%s\n", log);
    fflush(stdout);
    static uint8_t *blocks[40];
    for (uint8_t *&b : blocks) b = static_cast<uint8_t *>(hostGuardedAllocate(64));
    if (strcmp(what, "overrun") == 0) {
        hostOverrunWriter(blocks[2], 64);  // one byte past the end of a block at its page's end
    } else if (strcmp(what, "underrun") == 0) {
        hostUnderrunWriter(blocks[3]);  // one byte before a block at its page's start
    } else {
        hostGuardedRelease(blocks[5]);
        if (strcmp(what, "read") == 0)
            sink = hostStaleReader(blocks[5]);
        else
            hostStaleWriter(blocks[5]);
    }
    for (int i = 0; i < 40; ++i)
        if (i != 5 || strncmp(what, "overrun", 7) == 0 || strcmp(what, "underrun") == 0) KovaMemFree(blocks[i]);
    KovaMemPrintMemStatus();
    return 0;
}

// With the write-after-release check on and the default log cap: a block
// allocated in F1, overrun in F2 and released in F3; one released in F3,
// again in F4 and reallocated in F7; one released in F5, written after,
// and met again by F6's allocations; 5000 requests that fall back to the C
// heap; one more overrun, an underrun, and an overrun never released; a
// report, which finds the last.
static void faults() {
    KovaMemSetFreeCheck(1);
    uint8_t *a = static_cast<uint8_t *>(hostF1Allocate(24));
    hostF2Overrun(a, 24);
    hostF3Release(a);
    void *b = hostF1Allocate(40);
    hostF3Release(b);
    hostF4ReleaseAgain(b);
    if (hostF7Reallocate(b, 60) != nullptr) abort();  // released: refused, named
    uint8_t *c = static_cast<uint8_t *>(hostF1Allocate(100));
    hostF5Release(c);
    c[3] = 1;
    void *met[8];
    for (int i = 0; i < 8; ++i) met[i] = hostF6Allocate(100);
    for (void *p : met) KovaMemFree(p);
    for (int i = 0; i < 5000; ++i) KovaMemFree(KovaMemAlloc(100000));
    uint8_t *d = static_cast<uint8_t *>(hostF1Allocate(10));
    hostF2Overrun(d, 10);
    hostF3Release(d);
    uint8_t *e = static_cast<uint8_t *>(hostF1Allocate(24));
    hostF2Overrun(e, -1);  // an underrun
    hostF3Release(e);
    uint8_t *f = static_cast<uint8_t *>(hostF1Allocate(10));
    hostF2Overrun(f, 10);  // never released: the report finds it
    KovaMemPrintMemStatus();
}

// Figures for a fleet: what is live since a mark (two session records of
// one call site), and the snapshot's JSON and Prometheus text written
// beside the log as <log>.json and <log>.prom.
static void writeText(const char *path, int (*render)(char *, uint32_t)) {
    const int n = render(nullptr, 0);
    char *text = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    render(text, static_cast<uint32_t>(n) + 1);
    FILE *f = fopen(path, "w");
    if (f != nullptr) {
        fputs(text, f);
        fclose(f);
    }
    free(text);
}

static void stats(const char *log) {
    const uint64_t mark = KovaMemMark();
    for (int i = 0; i < two; ++i) hostRememberSession();
    KovaMemFree(KovaMemAlloc(100000));
    KovaMemPrintLiveSince(mark);
    char path[96];
    snprintf(path, sizeof path, "%s.json", log);
    writeText(path, KovaMemStatsJson);
    snprintf(path, sizeof path, "%s.prom", log);
    writeText(path, KovaMemStatsPrometheus);
}

typedef void *(*PluginAllocate)(uint32_t);

static PluginAllocate loadPlugin(const char *name, const char *fn, void **handle) {
    char path[512];
    snprintf(path, sizeof path, "%s/lib%s.so", KT_PLUGIN_DIR, name);
    *handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (*handle == nullptr) return nullptr;
    KovaMemLogModules();
    return reinterpret_cast<PluginAllocate>(dlsym(*handle, fn));
}

// Two plugins, one after the other: two leaked blocks of the first, one of
// the second.
static int replace() {
    void *h;
    PluginAllocate alpha = loadPlugin("kthostplugA", "kthostPlugAlphaAllocate", &h);
    if (alpha == nullptr) return 1;
    for (int i = 0; i < two; ++i) alpha(24);
    KovaMemPrintMemStatus();  // report 1
    dlclose(h);
    PluginAllocate beta = loadPlugin("kthostplugB", "kthostPlugBetaAllocate", &h);
    if (beta == nullptr) return 1;
    beta(40);
    KovaMemPrintMemStatus();  // report 2
    return 0;
}

int main(int argc, char **argv) {
    const int32_t cfg[MEM_POOL_SLOTS] = {8, 8, 8, 8, 8, 8, 0, 0, 0, 0, 0, 0, 0, 0};
    char log[64];
    snprintf(log, sizeof log, "/tmp/memmgr-%d.log", static_cast<int>(getpid()));
    unlink(log);  // a log of an earlier process with this PID would be a second process in it
    KovaMemInit(cfg);
    if (!KovaMemIsInitialized()) return 1;
    const bool faulty = argc > 1 && strcmp(argv[1], "faults") == 0;
    if (argc > 1 && strcmp(argv[1], "untraced") == 0) {
        // No map asked for and nothing traced: the first fault writes the
        // map its chains need.
        (void)hostF1Allocate(24);  // block 0: no guard in front of it
        uint8_t *a = static_cast<uint8_t *>(hostF1Allocate(24));
        hostF2Overrun(a, -1);
        hostF3Release(a);
        hostF4ReleaseAgain(a);
        printf("%s\n", log);
        return 0;
    }
    if (!faulty) KovaMemSetFileSize(argc > 1 && strcmp(argv[1], "capped") == 0 ? 4 : 1024);
    KovaMemLogModules();
    KovaMemUpdateLogStackFlag(1);
    if (argc > 1 && strcmp(argv[1], "stats") == 0) {
        stats(log);
        printf("%s\n", log);
        return 0;
    }
    if (faulty) {
        faults();
        printf("%s\n", log);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "sampled") == 0) {
        KovaMemSetPoolGrowth(4u << 20);
        KovaMemSetTraceSampling(4);
        static void *widgets[400];
        for (void *&w : widgets) w = hostAllocateWidget(100);
        KovaMemPrintMemStatus();  // about 100 of the 400 listed
        KovaMemSetTraceSampling(1u << 30);
        uint8_t *victim = static_cast<uint8_t *>(KovaMemAlloc(10));
        victim[10] ^= 0xFF;
        KovaMemFree(victim);  // its allocation was not sampled
        printf("%s\n", log);
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "grow") == 0) {
        KovaMemUpdateLogStackFlag(0);
        KovaMemSetPoolGrowth(12u << 20);
        static void *blocks[80000];
        for (void *&b : blocks) b = KovaMemAlloc(100);
        KovaMemPrintMemStatus();
        for (void *b : blocks) KovaMemFree(b);
        KovaMemPrintMemStatus();
        printf("%s\n", log);
        return 0;
    }
    if (argc > 1 && strncmp(argv[1], "guarded-", 8) == 0)
        return guarded(argv[1] + 8, argc > 2 && strcmp(argv[2], "recover") == 0, log);
    if (argc > 1 && strcmp(argv[1], "replace") == 0) {
        if (replace() != 0) return 1;
        printf("%s\n", log);
        return 0;
    }
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
    printf("%s\n", log);  // where the log is
    return 0;
}
