// Fallback notes that do not flood the log (default build).
//
// The rule: the " System alloc", " Mem Full and going for System alloc" and
// " System realloc" entries of one request size, and the " Pool is full"
// entries of one pool,
// are written at the 1st, 2nd, 4th, 8th ... occurrence (each power of two),
// each with the running count as " (count N)". The first 64 sizes met of
// each kind are counted apart; sizes beyond them share one count, said as
// " (count N, sizes past the first 64 counted together)". The entries are
// notes (memLogNote): left out once the log is past three quarters of its
// cap, so that status reports and fault entries always find room. A host
// that falls back a million times for one size writes 21 entries.
//
// The counts are raised without the manager lock (the fallback paths do
// not take it): relaxed atomics, a size claimed for a table entry by
// compare-and-swap from 0 (no fallback has size 0).
#include "../internal.h"

namespace {

constexpr int kSizesApart = 64;

struct SizeCounts {
    uint32_t size[kSizesApart];
    uint32_t count[kSizesApart];
    uint32_t others;
};

SizeCounts gSizes[3];                // kNoteSysAlloc, kNoteMemFull, kNoteSysRealloc
uint32_t gPoolFull[MEM_POOL_SLOTS];  // kNotePoolFull, by pool

bool powerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

// The running count of size in t after this occurrence; *shared when the
// size is counted with the others.
uint32_t countSize(SizeCounts &t, uint32_t size, bool *shared) {
    *shared = false;
    const uint32_t start = (size * 2654435761u) >> 26;  // 6 bits: where the probe starts
    for (int i = 0; i < kSizesApart; ++i) {
        const int e = static_cast<int>((start + static_cast<uint32_t>(i)) % kSizesApart);
        uint32_t seen = __atomic_load_n(&t.size[e], __ATOMIC_RELAXED);
        if (seen == 0) {
            uint32_t expected = 0;
            if (__atomic_compare_exchange_n(&t.size[e], &expected, size, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED))
                seen = size;
            else
                seen = expected;  // taken meanwhile, perhaps by this size
        }
        if (seen == size) return __atomic_add_fetch(&t.count[e], 1u, __ATOMIC_RELAXED);
    }
    *shared = true;
    return __atomic_add_fetch(&t.others, 1u, __ATOMIC_RELAXED);
}

}  // namespace

void kovamem::memNoteFallback(NoteKind kind, uint32_t key) {
    if (kind == kNotePoolFull) {
        if (key >= MEM_POOL_SLOTS) return;
        const uint32_t n = __atomic_add_fetch(&gPoolFull[key], 1u, __ATOMIC_RELAXED);
        if (powerOfTwo(n))
            memLogNote(" REQ: KovaMemAlloc: %d Pool is full and so going to next Pool (count %u)\n",
                       static_cast<int>(key), n);
        return;
    }
    bool shared;
    const uint32_t n = countSize(gSizes[kind == kNoteSysAlloc ? 0 : 1], key, &shared);
    if (!powerOfTwo(n)) return;
    const char *what = kind == kNoteSysAlloc ? "System alloc" : "Mem Full and going for System alloc";
    if (shared)
        memLogNote(" EXIT: ERROR: KovaMemAlloc: %s with size %d (count %u, sizes past the first 64 counted together)\n",
                   what, static_cast<int32_t>(key), n);
    else
        memLogNote(" EXIT: ERROR: KovaMemAlloc: %s with size %d (count %u)\n", what, static_cast<int32_t>(key), n);
}

void kovamem::memNoteSysRealloc(uintptr_t ptr, uint32_t size) {
    bool shared;
    const uint32_t n = countSize(gSizes[2], size, &shared);
    if (!powerOfTwo(n)) return;
    memLogNote(" EXIT: ERROR: KovaMemReAlloc: System realloc with Ptr 0x%" PRIxPTR " and size %d (count %u%s)\n", ptr,
               static_cast<int32_t>(size), n, shared ? ", sizes past the first 64 counted together" : "");
}
