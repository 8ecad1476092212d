// The parts of a fault's signal context the guarded-fault report uses, and
// the walk of the faulting chain from them (prim/stack_*.cpp). Both run in
// a signal handler: they call nothing of the loader or the C heap.
#ifndef KOVAMEM_FAULTCTX_H
#define KOVAMEM_FAULTCTX_H

#include <stdint.h>

#include "kovamem.h"

namespace kovamem {

enum FaultAccess : uint8_t { kAccessUnknown, kAccessRead, kAccessWrite };

struct FaultContext {
    uintptr_t pc;   // the faulting instruction
    uintptr_t sp;   // the stack pointer there
    uintptr_t ra;   // the return-address register, where the target has one
    FaultAccess access;
};

// Fills *out from the context a SA_SIGINFO handler received; false when
// the target's context is not known here (nothing but access is usable).
bool memFaultContext(const void *context, FaultContext *out);

// Writes the faulting chain into buf (depth entries at most, the rest left
// as they are): the faulting pc, then the return addresses of its callers.
// Returns the number written (at least 1 when pc is known).
int32_t memWalkContext(MemTraceAddr *buf, int32_t depth, const FaultContext &at);

}  // namespace kovamem

#endif  // KOVAMEM_FAULTCTX_H
