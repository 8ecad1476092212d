// Trace depth and printing. The capture itself is target code, in prim/.
#include <stdio.h>

#include "../internal.h"

using kovamem::memLoad;
using kovamem::memStore;

extern "C" {

int32_t gStackDepth = MEM_TRACE_ENTRIES;
bool memFrameCacheOff;
bool memUnwindCached;

void KovaMemSetStackDepth(int32_t depth) {
    if (depth < MEM_TRACE_ENTRIES) memStore(gStackDepth, depth);
}

void printStackDetails(const MemTraceAddr *trace, uintptr_t address, int32_t length, uint32_t tag) {
    kovamem::TraceText t;
    kovamem::memFormatTrace(t, trace, address, length, tag);
    memLogPrint("STACK DETAILS: %s\n", t.buf);
}

}  // extern "C"

void kovamem::memFormatTrace(TraceText &t, const MemTraceAddr *trace, uintptr_t address, int32_t length, uint32_t tag) {
    t.clear();
    t.add("A:%6" PRIXPTR " L:%6d T:%8X", address, length, tag);
    // A negative depth, taken as unsigned, is large: at most 10 are printed.
    const uint32_t depth = static_cast<uint32_t>(memLoad(gStackDepth));
    for (uint32_t i = 0; i < MEM_TRACE_ENTRIES && i < depth && trace[i] != MEM_TRACE_END; ++i) {
        t.add("%s[%08" PRIXPTR "] in  /bin/appmain ", i == 0 ? " c: \n" : "\n", trace[i]);
    }
    t.add("\n****************************************************************\n");
}
