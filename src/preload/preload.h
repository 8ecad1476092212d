// The preload library: the C library's allocation functions served by the
// pools, for programs that know nothing of KovaMem.
#ifndef KOVAMEM_PRELOAD_H
#define KOVAMEM_PRELOAD_H

#include "../internal.h"

namespace kovamem {

struct PreloadOptions {
    int32_t pools[MEM_POOL_SLOTS];  // block counts, as KovaMemInit takes them
    bool trace;                     // allocation tracing from the start
    uint32_t traceSampling;         // one allocation in this many traced
    int32_t depth;                  // trace depth, -1: the library's default
    uint32_t logKb;                 // log cap in KiB
    bool reportAtExit;              // a status report when the program exits
    int reportSignal;               // a report at the next allocation after it, 0: none
    bool freeCheck;                 // the write-after-release check
    uint32_t reuse;                 // the reuse distance in blocks (0: the default)
    char metricsDir[256];           // where the Prometheus text file goes, "": none
    uint32_t metricsInterval;       // seconds between files written from allocation calls
    bool metricsKeep;               // the file stays after a normal exit
    uint64_t growBytes;             // budget of growing pools, 0: none grow
    uint32_t guardedRate;           // one allocation in this many guarded, 0: none
    uint32_t guardedSlots;          // slots of the guarded area, 0: the default
    bool guardedRecover;            // a fault on a guarded block is let pass
};

// Reads KOVAMEM_OPTIONS (once, before the pools exist); problems are kept
// and written by tellPreloadProblems once the log can be written.
void readPreloadOptions(PreloadOptions *o);
void tellPreloadProblems();

}  // namespace kovamem

#endif  // KOVAMEM_PRELOAD_H
