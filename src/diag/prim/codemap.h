// The executable mappings of the process's modules, for the stack walk:
// a return address outside them is not code, and a backward scan from one
// never leaves the mapping that holds it. Learned with dl_iterate_phdr and
// learned again when an address is not found and the loader's counts of
// added and removed modules have moved; no system call per lookup.
//
// Readers take no lock and may run in signal handlers: the table is read
// under a sequence count, and a reader that meets a rebuild in progress
// treats the address as unknown.
#ifndef KOVAMEM_CODEMAP_H
#define KOVAMEM_CODEMAP_H

#include <stdint.h>

namespace kovamem {

// True when pc lies in an executable segment of a loaded module; [*lo, *hi)
// is then that segment.
bool memCodeRange(uintptr_t pc, uintptr_t *lo, uintptr_t *hi);

// Counts the rebuilds of the table that found modules come or go: whatever
// was learned about code addresses before a change may be stale.
extern uint32_t memCodeMapGeneration;

}  // namespace kovamem

#endif  // KOVAMEM_CODEMAP_H
