// The stack walk on 32-bit MIPS: the frames of o32 position-independent
// code, read through the prologue pattern (see stackwalk.h).
#include "../../internal.h"
#include "stackwalk.h"

namespace {

// Reads the running process's own code and stack.
struct LiveReader {
    uint32_t code(uintptr_t a) const { return *reinterpret_cast<const volatile uint32_t *>(a); }
    uintptr_t stack(uintptr_t a) const { return *reinterpret_cast<const volatile uintptr_t *>(a); }
};

}  // namespace

// Entered by a jump from SYS_StackTrace, so its return address is the one
// into SYS_StackTrace's caller and its caller's stack pointer is its own
// stack pointer plus its own frame size, which it reads from its own code.
// This unit is built without shrink-wrapping, so the frame is allocated at
// entry, before the stack pointer is read.
extern "C" __attribute__((noinline)) int32_t memWalkStack(MemTraceAddr *buf, int32_t depth) {
    if (depth == 0) return 0;
    if (buf == nullptr || depth < 0) return -1;
    uintptr_t sp;
    __asm__ volatile("move %0, $sp" : "=r"(sp));
    const LiveReader rd;
    sp += kovamem::memOwnFrameSize(rd, reinterpret_cast<uintptr_t>(&memWalkStack));
    const uintptr_t pc = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    return kovamem::memWalkFrames(rd, buf, depth, pc, sp);
}
