// The frame walk over o32 position-independent MIPS code.
//
// The walk reads its words through a reader, so that host tests can feed it
// synthetic code and stack images; on the target the reader dereferences
// the running process's memory. From each return address it scans the code
// backwards for the prologue of the function holding it:
//
//     lui   gp, hi(_gp_disp)     0x3C1C....  function start: the walk ends
//     addiu sp, sp, -size        0x27BD....  frame size |imm|
//     sw    ra, offset(sp)       0xAFBF....  saved return address at sp+imm
//
// and steps to the caller's frame.
//
// The walk never faults. A return address is followed only inside the
// executable mappings of the loaded modules (the reader's codeRange), and
// the backward scan never leaves the mapping that holds it. A signal-return
// trampoline (li v0, sigreturn or rt_sigreturn; syscall) ends the walk: the
// frame behind it is the interrupted context, not a caller. Saved return
// addresses are read only within a window above the first frame's stack
// pointer. Beyond the prologue pattern the walk is guarded too: the scan is
// bounded, the saved-address offset must lie inside its frame and be
// word-aligned, and a pc must be word-aligned. A walk that fails a guard
// ends there, with the entries it has.
//
// What the backward scan finds for a return address depends only on the
// code, so it is kept in a frame cache keyed by the address: a capture
// through frames seen before only reads the stack. The cache is static, of
// fixed size and lock-free: each entry is guarded by a sequence count that a
// writer claims with one compare-and-swap; a reader that meets an entry
// being written, or a writer that cannot claim one, simply does without.
// That holds for any number of threads and for signal handlers.
#ifndef KOVAMEM_STACKWALK_H
#define KOVAMEM_STACKWALK_H

#include <stddef.h>
#include <stdint.h>

#include "kovamem.h"
#include "seqcount.h"

#define MEM_CACHE_INLINE inline __attribute__((always_inline))

namespace kovamem {

constexpr uint32_t kOpAddiuSpSp = 0x27BD;
constexpr uint32_t kOpSwRaSp = 0xAFBF;
constexpr uint32_t kOpLuiGp = 0x3C1C;
constexpr uint32_t kInsnJrRa = 0x03E00008;
constexpr uint32_t kInsnLiV0Sigreturn = 0x24021017;    // addiu v0, zero, 4119
constexpr uint32_t kInsnLiV0RtSigreturn = 0x24021061;  // addiu v0, zero, 4193
constexpr uint32_t kInsnSyscall = 0x0000000C;
// Longest stretch of code scanned for one prologue: 64 KiB.
constexpr uint32_t kMaxScanWords = 16384;
// Saved return addresses are read below the first frame's stack pointer
// plus this much: ten frames of the largest size an addiu can allocate.
constexpr uintptr_t kStackWindow = 10u * 32768u;

constexpr uint32_t insnUpper(uint32_t w) { return w >> 16; }
constexpr int32_t insnImm(uint32_t w) { return static_cast<int16_t>(w & 0xFFFFu); }
constexpr uint32_t insnAbsImm(uint32_t w) {
    return insnImm(w) < 0 ? static_cast<uint32_t>(-insnImm(w)) : static_cast<uint32_t>(insnImm(w));
}

// Frame size of a function, read forward from its first instruction: the
// first addiu sp, sp, imm with imm != 0, or 0 when jr ra comes first.
template <class Reader>
uint32_t memOwnFrameSize(const Reader &rd, uintptr_t entry) {
    for (uint32_t i = 0; i < kMaxScanWords; ++i) {
        uint32_t w = rd.code(entry + 4u * i);
        if (w == kInsnJrRa) return 0;
        if (insnUpper(w) == kOpAddiuSpSp && insnImm(w) != 0) return insnAbsImm(w);
    }
    return 0;
}

// What the walk learns of one return address.
struct FrameInfo {
    enum Kind : uint8_t { kStop, kLast, kStep } kind;
    //  kStop: end without recording it (not code, a signal trampoline, a
    //         misaligned or zero address); an empty cache entry reads so;
    //  kLast: record it and end (function start met, scan bound, guard);
    //  kStep: record it, read the caller's return address at sp + offset
    //         and go on at sp + size.
    uint16_t offset;
    uint16_t size;  // up to 32768
};

// The backward scan from pc, which lies in the code mapping [lo, hi).
template <class Reader>
FrameInfo memResolveFrame(const Reader &rd, uintptr_t pc, uintptr_t lo, uintptr_t hi) {
    const uint32_t first = rd.code(pc);
    if ((first == kInsnLiV0Sigreturn || first == kInsnLiV0RtSigreturn) && hi - pc >= 8 &&
        rd.code(pc + 4) == kInsnSyscall)
        return {FrameInfo::kStop, 0, 0};
    int32_t offset = 0;
    uint32_t size = 0;
    uintptr_t a = pc;
    for (uint32_t i = 0;; ++i, a -= 4) {
        if (i == kMaxScanWords) return {FrameInfo::kLast, 0, 0};
        const uint32_t w = i == 0 ? first : rd.code(a);
        const uint32_t up = insnUpper(w);
        if (up == kOpLuiGp) return {FrameInfo::kLast, 0, 0};
        if (up == kOpSwRaSp)
            offset = insnImm(w);
        else if (up == kOpAddiuSpSp)
            size = insnAbsImm(w);
        if (offset != 0 && size != 0) break;
        if (a < lo + 4) return {FrameInfo::kLast, 0, 0};  // the mapping's first word was the last to read
    }
    if (offset < 0 || (offset & 3) != 0 || static_cast<uint32_t>(offset) + 4u > size) return {FrameInfo::kLast, 0, 0};
    return {FrameInfo::kStep, static_cast<uint16_t>(offset), static_cast<uint16_t>(size)};
}

// The frame cache: N entries (a power of two), direct-mapped by address.
template <size_t N>
struct FrameCache {
    static_assert((N & (N - 1)) == 0, "a power of two");
    struct alignas(4 * sizeof(uintptr_t)) Entry {
        uint32_t seq;    // odd while written
        uint32_t info;   // kind | offset << 2 | size << 17
        uintptr_t pc;    // 0 with info 0: empty, which reads as kStop for 0
    };
    Entry e[N];

    // Return addresses are words: their low bits spread them over the table.
    static size_t slot(uintptr_t pc) { return static_cast<size_t>(pc >> 2) & (N - 1); }
    static uint32_t pack(FrameInfo f) {
        return static_cast<uint32_t>(f.kind) | static_cast<uint32_t>(f.offset) << 2 | static_cast<uint32_t>(f.size) << 17;
    }
    static FrameInfo unpack(uint32_t v) {
        return {static_cast<FrameInfo::Kind>(v & 3u), static_cast<uint16_t>((v >> 2) & 0x7FFFu),
                static_cast<uint16_t>(v >> 17)};
    }
    MEM_CACHE_INLINE bool find(uintptr_t pc, FrameInfo *out) const {
        const Entry *x = e + slot(pc);
        const uint32_t s1 = __atomic_load_n(&x->seq, __ATOMIC_ACQUIRE);
        const uintptr_t key = seqLoad(&x->pc);
        const uint32_t v = seqLoad(&x->info);
        seqReadFence();
        const uint32_t s2 = __atomic_load_n(&x->seq, __ATOMIC_RELAXED);
        // One test for all three: no write under way, none since, same key.
        if (((s1 & 1u) | (s1 ^ s2) | static_cast<uint32_t>(key ^ pc) | static_cast<uint32_t>((key ^ pc) >> 16 >> 16)) != 0)
            return false;
        *out = unpack(v);
        return true;
    }
    void put(uintptr_t pc, FrameInfo f) {
        if (f.size > 0x7FFF || f.offset > 0x7FFF) return;  // does not pack: not kept
        Entry &x = e[slot(pc)];
        uint32_t s = __atomic_load_n(&x.seq, __ATOMIC_RELAXED);
        if ((s & 1u) || !__atomic_compare_exchange_n(&x.seq, &s, s + 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
            return;
        seqWriteFence();
        seqStore(&x.pc, pc);
        seqStore(&x.info, pack(f));
        __atomic_store_n(&x.seq, s + 2, __ATOMIC_RELEASE);
    }
    void clear() {
        for (Entry &x : e) {
            uint32_t s = __atomic_load_n(&x.seq, __ATOMIC_RELAXED);
            if ((s & 1u) || !__atomic_compare_exchange_n(&x.seq, &s, s + 1, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
                continue;
            seqWriteFence();
            seqStore(&x.pc, uintptr_t{0});
            seqStore(&x.info, 0u);
            __atomic_store_n(&x.seq, s + 2, __ATOMIC_RELEASE);
        }
    }
};

// No cache: every frame resolved by its scan.
struct NoFrameCache {
    MEM_CACHE_INLINE bool find(uintptr_t, FrameInfo *) const { return false; }
    void put(uintptr_t, FrameInfo) {}
};

// A frame not in the cache: not code, or resolved by its scan and kept.
// Out of line, so that the walk through cached frames stays a tight loop.
template <class Reader, class Cache>
__attribute__((noinline)) FrameInfo memFrameMiss(const Reader &rd, Cache &cache, uintptr_t pc) {
    if (pc == 0 || (pc & 3u) != 0) return {FrameInfo::kStop, 0, 0};  // not an instruction address
    uintptr_t lo, hi;
    if (!rd.codeRange(pc, &lo, &hi) || hi - pc < 4) return {FrameInfo::kStop, 0, 0};  // not code: not recorded
    const FrameInfo f = memResolveFrame(rd, pc, lo, hi);
    cache.put(pc, f);
    return f;
}

// Records return addresses from pc (the return address into the first
// frame's function) and sp (that function's stack pointer) outward. The
// caller has checked buf and depth (> 0). Returns the number written.
template <class Reader, class Cache>
int32_t memWalkFrames(const Reader &rd, Cache &cache, MemTraceAddr *buf, int32_t depth, uintptr_t pc, uintptr_t sp) {
    // A zero or misaligned pc is never in the cache (only code addresses
    // are kept; an empty entry reads as kStop): the miss path ends there.
    const uintptr_t sp0 = sp;
    int32_t n = 0;
    for (;;) {
        FrameInfo f;
        if (__builtin_expect(!cache.find(pc, &f), 0)) f = memFrameMiss(rd, cache, pc);
        if (f.kind == FrameInfo::kStop) return n;
        buf[n] = pc;
        if (f.kind == FrameInfo::kLast) return n + 1;
        if (++n >= depth) return n;
        const uintptr_t at = sp + f.offset;
        if (at - sp0 >= kStackWindow) return n;  // also below sp0: the difference wraps
        pc = rd.stack(at);
        sp += f.size;
    }
}

}  // namespace kovamem

#endif  // KOVAMEM_STACKWALK_H
