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
// not take it), with a relaxed load and store rather than an atomic
// increment: a fallback passes over up to 13 pools and notes each, and a
// locked increment each would cost more than the fallback. Threads that
// race may lose a count between them, so under contention a note's count
// can lag; the report's SYS figures stay exact. A size claims a table entry
// by compare-and-swap from 0 (no fallback has size 0).
#include "../internal.h"

namespace {

constexpr uint32_t kSizesApart = 64;
constexpr uint32_t kSlots = 256;  // four times the sizes kept: a size not kept is told in a probe or two

struct SizeCounts {
    uint32_t size[kSlots];
    uint32_t count[kSlots];
    uint32_t claimed;  // sizes kept, at most kSizesApart
    uint32_t others;
};

SizeCounts gSizes[4];                // kNoteSysAlloc, kNoteMemFull, kNoteSysRealloc, kNoteHandlerAlloc
uint32_t gPoolFull[MEM_POOL_SLOTS];  // kNotePoolFull, by pool

bool powerOfTwo(uint32_t n) { return n != 0 && (n & (n - 1)) == 0; }

// A count raised by one, see above.
uint32_t bump(uint32_t &count) {
    const uint32_t n = __atomic_load_n(&count, __ATOMIC_RELAXED) + 1;
    __atomic_store_n(&count, n, __ATOMIC_RELAXED);
    return n;
}

// The running count of size in t after this occurrence; *shared when the
// size is counted with the others.
uint32_t countSize(SizeCounts &t, uint32_t size, bool *shared) {
    *shared = false;
    const uint32_t start = (size * 2654435761u) >> 24;  // 8 bits: where the probe starts
    for (uint32_t i = 0; i < kSlots; ++i) {
        const uint32_t e = (start + i) % kSlots;
        uint32_t seen = __atomic_load_n(&t.size[e], __ATOMIC_RELAXED);
        if (seen == 0) {
            // An empty slot: the size is not kept. Keep it if fewer than
            // kSizesApart are, claiming the slot.
            if (__atomic_fetch_add(&t.claimed, 1u, __ATOMIC_RELAXED) >= kSizesApart) {
                __atomic_fetch_sub(&t.claimed, 1u, __ATOMIC_RELAXED);
                break;
            }
            uint32_t expected = 0;
            if (__atomic_compare_exchange_n(&t.size[e], &expected, size, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
                seen = size;
            } else {
                __atomic_fetch_sub(&t.claimed, 1u, __ATOMIC_RELAXED);  // taken meanwhile, perhaps by this size
                seen = expected;
            }
        }
        if (seen == size) return bump(t.count[e]);
    }
    *shared = true;
    return bump(t.others);
}

}  // namespace

void kovamem::memNoteFallback(NoteKind kind, uint32_t key) {
    if (kind == kNotePoolFull) {
        if (key >= MEM_POOL_SLOTS) return;
        const uint32_t n = bump(gPoolFull[key]);
        if (powerOfTwo(n))
            memLogNote(" REQ: KovaMemAlloc: %d Pool is full and so going to next Pool (count %u)\n",
                       static_cast<int>(key), n);
        return;
    }
    bool shared;
    const uint32_t n = countSize(gSizes[kind == kNoteSysAlloc ? 0 : kind == kNoteHandlerAlloc ? 3 : 1], key, &shared);
    if (!powerOfTwo(n)) return;
    const char *what = kind == kNoteSysAlloc       ? "System alloc"
                       : kind == kNoteHandlerAlloc ? "Called from a signal handler inside the library, no pool free to "
                                                     "take without waiting: NULL returned"
                                                   : "Mem Full and going for System alloc";
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
