// Trace depth and printing. The capture itself is target code, in prim/.
#include <stdarg.h>
#include <stdio.h>

#include "../internal.h"

using kovamem::memLoad;
using kovamem::memStore;

namespace {

constexpr size_t kTraceTextSize = 2000;

// Appends to a fixed text buffer; a full buffer keeps what fitted.
struct Text {
    char buf[kTraceTextSize];
    size_t len = 0;
    void add(const char *format, ...) MEM_PRINTF(2, 3);
};

void Text::add(const char *format, ...) {
    if (len >= sizeof buf - 1) return;
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf + len, sizeof buf - len, format, ap);
    va_end(ap);
    if (n > 0) len += static_cast<size_t>(n) < sizeof buf - len ? static_cast<size_t>(n) : sizeof buf - len - 1;
}

}  // namespace

extern "C" {

int32_t gStackDepth = MEM_TRACE_ENTRIES;

void KovaMemSetStackDepth(int32_t depth) {
    if (depth < MEM_TRACE_ENTRIES) memStore(gStackDepth, depth);
}

void printStackDetails(const MemTraceAddr *trace, uintptr_t address, int32_t length, uint32_t tag) {
    Text t;
    t.buf[0] = '\0';
    t.add("A:%6" PRIXPTR " L:%6d T:%8X", address, length, tag);
    // A negative depth, taken as unsigned, is large: at most 10 are printed.
    const uint32_t depth = static_cast<uint32_t>(memLoad(gStackDepth));
    for (uint32_t i = 0; i < MEM_TRACE_ENTRIES && i < depth && trace[i] != MEM_TRACE_END; ++i) {
        t.add("%s[%08" PRIXPTR "] in  /bin/appmain ", i == 0 ? " c: \n" : "\n", trace[i]);
    }
    t.add("\n****************************************************************\n");
    memLogPrint("STACK DETAILS: %s\n", t.buf);
}

}  // extern "C"
