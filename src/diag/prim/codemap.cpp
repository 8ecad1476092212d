// The executable mappings of the loaded modules (see codemap.h).
#include "codemap.h"
#include "seqcount.h"

#include <elf.h>
#include <link.h>
#include <stddef.h>

namespace kovamem {

uint32_t memCodeMapGeneration;

namespace {

constexpr int kMaxRanges = 256;

struct Table {
    uint32_t seq;  // odd while being rebuilt
    int count;
    uintptr_t lo[kMaxRanges];  // sorted
    uintptr_t hi[kMaxRanges];  // exclusive
    unsigned long long adds, subs;
    bool learned;
};

Table gTable;
uint32_t gWriter;  // 1 while one thread rebuilds

// The scratch of a rebuild, used only by the thread holding gWriter.
struct Scratch {
    int count;
    bool full;
    bool unchanged;
    uintptr_t lo[kMaxRanges], hi[kMaxRanges];
    unsigned long long adds, subs;
} gScratch;

int collect(struct dl_phdr_info *info, size_t size, void *) {
    Scratch &s = gScratch;
    if (s.count == 0 && !s.full && size >= offsetof(struct dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
        s.adds = info->dlpi_adds;
        s.subs = info->dlpi_subs;
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

// Rebuilds the table when modules came or went; a rebuild already under way
// in another thread is not waited for.
void relearn() {
    uint32_t idle = 0;
    if (!__atomic_compare_exchange_n(&gWriter, &idle, 1u, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    Scratch &s = gScratch;
    s.count = 0;
    s.full = s.unchanged = false;
    dl_iterate_phdr(collect, nullptr);
    if (!s.unchanged) {
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
        Table &t = gTable;
        const bool change = t.learned;  // the first learning invalidates nothing
        __atomic_store_n(&t.seq, t.seq + 1, __ATOMIC_RELAXED);
        seqWriteFence();
        for (int i = 0; i < s.count; ++i) {
            seqStore(&t.lo[i], s.lo[i]);
            seqStore(&t.hi[i], s.hi[i]);
        }
        seqStore(&t.count, s.count);
        t.adds = s.adds;
        t.subs = s.subs;
        t.learned = true;
        __atomic_store_n(&t.seq, t.seq + 1, __ATOMIC_RELEASE);
        if (change) __atomic_fetch_add(&memCodeMapGeneration, 1u, __ATOMIC_RELEASE);
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

}  // namespace

bool memCodeRange(uintptr_t pc, uintptr_t *lo, uintptr_t *hi) {
    if (lookup(pc, lo, hi) == 1) return true;
    relearn();  // a module may have come since the table was learned
    return lookup(pc, lo, hi) == 1;
}

}  // namespace kovamem
