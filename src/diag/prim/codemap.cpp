// The executable mappings of the loaded modules (see codemap.h).
#include "codemap.h"

#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <stddef.h>

#include "seqcount.h"

namespace kovamem {

uint32_t memCodeMapGeneration;
uint32_t memCodeReuseGeneration;
void (*memCodeMapRebuildHook)();

namespace {

constexpr int kMaxRanges = 256;
// Executable ranges of modules unloaded since the library was loaded; past
// this many every later change counts as a reuse.
constexpr int kMaxRetired = 64;

struct Table {
    uint32_t seq;  // odd while being rebuilt
    int count;
    uintptr_t lo[kMaxRanges];  // sorted
    uintptr_t hi[kMaxRanges];  // exclusive
    uint32_t adds, subs;  // the loader's counts it was learned at (low 32 bits:
                          // a word, so that readers on 32-bit targets load it whole)
    bool learned;
};

Table gTable;
uint32_t gWriter;  // 1 while one thread rebuilds

// What only the thread holding gWriter touches: the scratch of a rebuild
// and the retired ranges.
struct Scratch {
    int count;
    bool full;
    bool unchanged;
    uintptr_t lo[kMaxRanges], hi[kMaxRanges];
    uint32_t adds, subs;
    int retired;
    bool retiredFull;
    bool unloadedUnseen;  // modules were unloaded since the last reuse was told
    uintptr_t retiredLo[kMaxRetired], retiredHi[kMaxRetired];
} gScratch;

// fork and the walks: a child inherits every lock as the parent's threads
// held it, and a thread of the parent inside dl_iterate_phdr (the loader's
// lock) or inside libunwind (its own locks, taken with every signal
// blocked) at the fork leaves that lock held in the child for good. So a
// fork waits until no other thread is inside such a call made by this
// library, and calls that would start meanwhile are not made (see
// memForkGuardEnter). The waiting thread's own calls do not count: a fork
// from a signal handler that interrupted one of them must not wait for it.
uint32_t gForking, gInFlight;
__thread uint32_t tInFlight __attribute__((tls_model("initial-exec")));

bool iterate(int (*cb)(struct dl_phdr_info *, size_t, void *), void *arg) {
    if (!memForkGuardEnter()) return false;
    dl_iterate_phdr(cb, arg);
    memForkGuardExit();
    return true;
}

struct Counts {
    uint32_t adds, subs;
    bool known;
};

bool hasCounts(size_t size) { return size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof(unsigned long long); }

int readCounts(struct dl_phdr_info *info, size_t size, void *arg) {
    Counts *c = static_cast<Counts *>(arg);
    if (hasCounts(size)) {
        c->adds = static_cast<uint32_t>(info->dlpi_adds);
        c->subs = static_cast<uint32_t>(info->dlpi_subs);
        c->known = true;
    }
    return 1;  // the counts are the same in every module's info: stop at the first
}

int collect(struct dl_phdr_info *info, size_t size, void *) {
    Scratch &s = gScratch;
    if (s.count == 0 && !s.full && hasCounts(size)) {
        s.adds = static_cast<uint32_t>(info->dlpi_adds);
        s.subs = static_cast<uint32_t>(info->dlpi_subs);
        if (gTable.learned && s.adds == gTable.adds && s.subs == gTable.subs) {
            s.unchanged = true;
            return 1;  // nothing came or went: stop here
        }
    }
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD || (ph.p_flags & PF_X) == 0) continue;
        if (s.count == kMaxRanges) {
            s.full = true;
            return 1;
        }
        s.lo[s.count] = info->dlpi_addr + ph.p_vaddr;
        s.hi[s.count] = info->dlpi_addr + ph.p_vaddr + ph.p_memsz;
        ++s.count;
    }
    return 0;
}

// Whether [lo, hi) is one of the count ranges los[i], his[i].
bool holds(const uintptr_t *los, const uintptr_t *his, int count, uintptr_t lo, uintptr_t hi) {
    for (int i = 0; i < count; ++i)
        if (los[i] == lo && his[i] == hi) return true;
    return false;
}

// Keeps the ranges of the old table that the new one lacks.
void retireOnly() {
    Scratch &s = gScratch;
    const Table &t = gTable;
    if (!t.learned) return;
    for (int i = 0; i < t.count; ++i) {
        if (holds(s.lo, s.hi, s.count, t.lo[i], t.hi[i])) continue;
        if (s.retired == kMaxRetired) {
            s.retiredFull = true;
            return;
        }
        s.retiredLo[s.retired] = t.lo[i];
        s.retiredHi[s.retired] = t.hi[i];
        ++s.retired;
    }
}

// Keeps the ranges of the old table that the new one lacks, and tells
// whether new code may sit where unloaded code was: a range of the new table
// overlaps one kept so far, or it is new and modules were unloaded since
// the last such answer (a module may come and go between two learnings,
// its ranges never seen).
bool retireAndCheckReuse() {
    Scratch &s = gScratch;
    const Table &t = gTable;
    if (t.learned && s.subs != t.subs) s.unloadedUnseen = true;
    retireOnly();
    bool fresh = false;
    for (int i = 0; i < s.count && !fresh; ++i) fresh = !holds(t.lo, t.hi, t.count, s.lo[i], s.hi[i]);
    if (fresh && s.unloadedUnseen) {
        s.unloadedUnseen = false;
        return true;
    }
    if (s.retiredFull) return true;
    for (int r = 0; r < s.retired; ++r)
        for (int i = 0; i < s.count; ++i)
            if (s.lo[i] < s.retiredHi[r] && s.retiredLo[r] < s.hi[i]) return true;
    return false;
}

// Rebuilds the table when modules came or went; a rebuild already under way
// in another thread is not waited for.
void relearn() {
    uint32_t idle = 0;
    if (!__atomic_compare_exchange_n(&gWriter, &idle, 1u, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    Scratch &s = gScratch;
    s.count = 0;
    s.full = s.unchanged = false;
    if (iterate(collect, nullptr) && !s.unchanged) {
        for (int i = 1; i < s.count; ++i) {  // insertion sort by start
            const uintptr_t lo = s.lo[i], hi = s.hi[i];
            int j = i;
            for (; j > 0 && s.lo[j - 1] > lo; --j) {
                s.lo[j] = s.lo[j - 1];
                s.hi[j] = s.hi[j - 1];
            }
            s.lo[j] = lo;
            s.hi[j] = hi;
        }
        const bool reuse = retireAndCheckReuse();
        Table &t = gTable;
        const bool change = t.learned;  // the first learning invalidates nothing
        __atomic_store_n(&t.seq, t.seq + 1, __ATOMIC_RELAXED);
        seqWriteFence();
        if (void (*hook)() = memCodeMapRebuildHook) hook();
        for (int i = 0; i < s.count; ++i) {
            seqStore(&t.lo[i], s.lo[i]);
            seqStore(&t.hi[i], s.hi[i]);
        }
        seqStore(&t.count, s.count);
        seqStore(&t.adds, s.adds);
        seqStore(&t.subs, s.subs);
        t.learned = true;
        __atomic_store_n(&t.seq, t.seq + 1, __ATOMIC_RELEASE);
        if (change) __atomic_fetch_add(&memCodeMapGeneration, 1u, __ATOMIC_RELEASE);
        if (change && reuse) __atomic_fetch_add(&memCodeReuseGeneration, 1u, __ATOMIC_RELEASE);
    }
    __atomic_store_n(&gWriter, 0u, __ATOMIC_RELEASE);
}

// 1 found, 0 not found, -1 the table was being rebuilt.
int lookup(uintptr_t pc, uintptr_t *lo, uintptr_t *hi) {
    const Table &t = gTable;
    const uint32_t s1 = __atomic_load_n(&t.seq, __ATOMIC_ACQUIRE);
    if (s1 & 1u) return -1;
    int a = 0, b = seqLoad(&t.count);  // first range starting above pc
    if (b > kMaxRanges) b = kMaxRanges;
    while (a < b) {
        const int m = (a + b) / 2;
        if (seqLoad(&t.lo[m]) <= pc)
            a = m + 1;
        else
            b = m;
    }
    const uintptr_t start = a > 0 ? seqLoad(&t.lo[a - 1]) : 0;
    const uintptr_t end = a > 0 ? seqLoad(&t.hi[a - 1]) : 0;
    seqReadFence();
    if (__atomic_load_n(&t.seq, __ATOMIC_RELAXED) != s1) return -1;
    if (pc >= end) return 0;
    *lo = start;
    *hi = end;
    return 1;
}

// In the child of a fork only the forking thread lives on: a rebuild that
// another thread had under way never ends there. The child takes the writer
// role back, makes the count even, forgets what the frame caches learned
// and learns the modules again at its first capture.
void afterForkInChild() {
    Table &t = gTable;
    if (t.seq & 1u) ++t.seq;
    t.adds = t.subs = ~0u;  // matches no loader counts: the next check relearns
    ++memCodeMapGeneration;
    gWriter = 0;
    gInFlight = tInFlight;  // the forking thread's own calls, if a handler forked
    __atomic_store_n(&gForking, 0u, __ATOMIC_SEQ_CST);
}

void beforeFork() {
    __atomic_store_n(&gForking, 1u, __ATOMIC_SEQ_CST);
    while (__atomic_load_n(&gInFlight, __ATOMIC_SEQ_CST) != tInFlight) sched_yield();
}

void afterForkInParent() { __atomic_store_n(&gForking, 0u, __ATOMIC_SEQ_CST); }

// The first capture, possibly a crash handler's, finds the table learned.
__attribute__((constructor)) void learnAtLoad() {
    relearn();
    pthread_atfork(beforeFork, afterForkInParent, afterForkInChild);
}

}  // namespace

bool memForkGuardEnter() {
    if (__atomic_load_n(&gForking, __ATOMIC_SEQ_CST)) return false;
    __atomic_fetch_add(&gInFlight, 1u, __ATOMIC_SEQ_CST);
    ++tInFlight;
    if (__atomic_load_n(&gForking, __ATOMIC_SEQ_CST)) {
        memForkGuardExit();
        return false;
    }
    return true;
}

void memForkGuardExit() {
    --tInFlight;
    __atomic_fetch_sub(&gInFlight, 1u, __ATOMIC_SEQ_CST);
}

void memCodeMapCheck() {
    Counts c{0, 0, false};
    if (!iterate(readCounts, &c)) return;
    const Table &t = gTable;
    if (c.known && __atomic_load_n(&t.seq, __ATOMIC_ACQUIRE) % 2 == 0 && seqLoad(&t.adds) == c.adds &&
        seqLoad(&t.subs) == c.subs)
        return;
    relearn();
}

bool memCodeRange(uintptr_t pc, uintptr_t *lo, uintptr_t *hi, bool relearnOnMiss) {
    if (lookup(pc, lo, hi) == 1) return true;
    if (!relearnOnMiss) return false;
    relearn();  // a module may have come since the table was learned
    return lookup(pc, lo, hi) == 1;
}

}  // namespace kovamem
