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
    // Composed without printf ("A:%6X L:%6d T:%8X", then "[%08X] in
    // /bin/appmain " per entry), so that the fault handler may use it.
    t.clear();
    t.put("A:");
    t.hex(address, 6, false, true);
    t.put(" L:");
    t.dec(length, 6);
    t.put(" T:");
    t.hex(tag, 8, false, true);
    // A negative depth, taken as unsigned, is large: at most 10 are printed.
    const uint32_t depth = static_cast<uint32_t>(memLoad(gStackDepth));
    for (uint32_t i = 0; i < MEM_TRACE_ENTRIES && i < depth && trace[i] != MEM_TRACE_END; ++i) {
        t.put(i == 0 ? " c: \n[" : "\n[");
        t.hex(trace[i], 8, true, true);
        t.put("] in  /bin/appmain ");
    }
    t.put("\n****************************************************************\n");
}
