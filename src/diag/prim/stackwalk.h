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
// and steps to the caller's frame. Beyond the prologue pattern the walk is
// guarded: the backward scan is bounded, the saved-address offset must lie
// inside its frame and be word-aligned, and a pc must be word-aligned. A
// walk that fails a guard ends there, with the entries it has.
#ifndef KOVAMEM_STACKWALK_H
#define KOVAMEM_STACKWALK_H

#include <stdint.h>

#include "kovamem.h"

namespace kovamem {

constexpr uint32_t kOpAddiuSpSp = 0x27BD;
constexpr uint32_t kOpSwRaSp = 0xAFBF;
constexpr uint32_t kOpLuiGp = 0x3C1C;
constexpr uint32_t kInsnJrRa = 0x03E00008;
// Longest stretch of code scanned for one prologue: 64 KiB.
constexpr uint32_t kMaxScanWords = 16384;

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

// Records return addresses from pc (the return address into the first
// frame's function) and sp (that function's stack pointer) outward. The
// caller has checked buf and depth (> 0). Returns the number written.
template <class Reader>
int32_t memWalkFrames(const Reader &rd, MemTraceAddr *buf, int32_t depth, uintptr_t pc, uintptr_t sp) {
    if (pc == 0) return 0;
    int32_t n = 0;
    for (;;) {
        if ((pc & 3u) != 0) return n;  // not an instruction address: not recorded
        buf[n] = pc;
        int32_t offset = 0;
        uint32_t size = 0;
        uintptr_t a = pc;
        for (uint32_t i = 0;; ++i, a -= 4) {
            if (i == kMaxScanWords || a < 4) return n + 1;
            uint32_t w = rd.code(a);
            uint32_t up = insnUpper(w);
            if (up == kOpLuiGp) return n + 1;
            if (up == kOpSwRaSp)
                offset = insnImm(w);
            else if (up == kOpAddiuSpSp)
                size = insnAbsImm(w);
            if (offset != 0 && size != 0) break;
        }
        if (offset < 0 || (offset & 3) != 0 || static_cast<uint32_t>(offset) + 4u > size) return n + 1;
        ++n;
        if (n >= depth) return n;
        pc = rd.stack(sp + static_cast<uintptr_t>(offset));
        sp += size;
        if (pc == 0) return n;
    }
}

}  // namespace kovamem

#endif  // KOVAMEM_STACKWALK_H
