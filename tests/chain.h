#ifndef KOVAMEM_TEST_CHAIN_H
#define KOVAMEM_TEST_CHAIN_H

#include "kovamem.h"

#define KT_CHAIN __attribute__((noinline, noclone, used))

extern "C" {
// F calls G calls H, which captures into buf with SYS_StackTrace.
int32_t ktChainF(MemTraceAddr *buf, int32_t depth);
int32_t ktChainG(MemTraceAddr *buf, int32_t depth);
int32_t ktChainH(MemTraceAddr *buf, int32_t depth);
// A chain of `frames` frames whose innermost captures as an allocation does.
void ktCaptureDeep(int frames, MemTraceAddr *trace);
// Calls KovaMemAlloc, so traces taken there name this function as caller.
void *ktAllocFrom(uint32_t size);
}

#endif
