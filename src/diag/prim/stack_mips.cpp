// The stack walk on 32-bit MIPS: the frames of o32 position-independent
// code, read through the prologue pattern (see stackwalk.h).
#include "../../internal.h"
#include "codemap.h"
#include "faultctx.h"
#include "stackwalk.h"

namespace {

// Reads the running process's own code and stack; code only inside the
// executable mappings of its modules. A capture that may run in a signal
// handler (nested: a host's own, or one that interrupts another capture on
// this thread) never learns the modules again: what the code map does not
// know ends its chain.
struct LiveReader {
    bool nested;
    uint32_t code(uintptr_t a) const { return *reinterpret_cast<const volatile uint32_t *>(a); }
    uintptr_t stack(uintptr_t a) const { return *reinterpret_cast<const volatile uintptr_t *>(a); }
    bool codeRange(uintptr_t pc, uintptr_t *lo, uintptr_t *hi) const {
        return kovamem::memCodeRange(pc, lo, hi, !nested);
    }
};

// Nonzero while this thread captures.
__thread uint8_t tCapturing __attribute__((tls_model("initial-exec")));

// What the walk learned of each return address; forgotten when modules
// come or go, since code may then sit where other code was.
kovamem::FrameCache<1024> gFrames;
uint32_t gFramesGeneration;  // the code map's generation the cache was filled under

}  // namespace

// Entered by a jump from SYS_StackTrace, so its return address is the one
// into SYS_StackTrace's caller and its caller's stack pointer is its own
// stack pointer plus its own frame size, which it reads from its own code.
// This unit is built without shrink-wrapping, so the frame is allocated at
// entry, before the stack pointer is read.
extern "C" __attribute__((noinline)) int32_t memWalkStack(MemTraceAddr *buf, int32_t depth, uint32_t how) {
    if (depth == 0) return 0;
    if (buf == nullptr || depth < 0) return -1;
    uintptr_t sp;
    __asm__ volatile("move %0, $sp" : "=r"(sp));
    // The library's own captures (never in a signal handler) learn the
    // modules that came or went since the last capture, and the frame cache
    // below is emptied for them; a host's capture, and any capture that
    // interrupts another on this thread, never calls into the loader.
    volatile uint8_t &busy = tCapturing;
    const LiveReader rd{busy != 0 || how != kovamem::kCaptureChecksModules};
    const uint8_t outer = busy;
    busy = 1;
    if (!rd.nested) kovamem::memCodeMapCheck();
    // The frame size never changes: read from the code once (0 is never a
    // result here: this function keeps a frame).
    static uint32_t ownFrame;
    uint32_t own = __atomic_load_n(&ownFrame, __ATOMIC_RELAXED);
    if (own == 0) {
        own = kovamem::memOwnFrameSize(rd, reinterpret_cast<uintptr_t>(&memWalkStack));
        __atomic_store_n(&ownFrame, own, __ATOMIC_RELAXED);
    }
    sp += own;
    const uintptr_t pc = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    uint32_t seen = __atomic_load_n(&gFramesGeneration, __ATOMIC_RELAXED);
    const uint32_t now = __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_ACQUIRE);
    if (seen != now && __atomic_compare_exchange_n(&gFramesGeneration, &seen, now, false, __ATOMIC_RELAXED,
                                                   __ATOMIC_RELAXED))
        gFrames.clear();
    int32_t n;
    if (__atomic_load_n(&memFrameCacheOff, __ATOMIC_RELAXED)) {
        kovamem::NoFrameCache none;
        n = kovamem::memWalkFrames(rd, none, buf, depth, pc, sp);
    } else {
        n = kovamem::memWalkFrames(rd, gFrames, buf, depth, pc, sp);
    }
    busy = outer;
    return n;
}

// The faulting chain, from a signal handler: the walk starts at the
// faulting pc with the interrupted stack pointer, as a nested capture (no
// loader call). A function that ends the walk at its own first frame keeps
// its return address in ra (a leaf, or one that faulted before saving it):
// the walk goes on from there with the same stack pointer.
int32_t kovamem::memWalkContext(MemTraceAddr *buf, int32_t depth, const FaultContext &at) {
    if (depth <= 0 || at.pc == 0) return 0;
    const LiveReader rd{true};
    int32_t n = kovamem::memWalkFrames(rd, gFrames, buf, depth, at.pc, at.sp);
    if (n == 0) buf[n++] = at.pc;
    if (n == 1 && depth > 1 && at.ra != 0) n += kovamem::memWalkFrames(rd, gFrames, buf + 1, depth - 1, at.ra, at.sp);
    return n;
}
