// The executable mappings of the process's modules, for the stack walk:
// a return address outside them is not code, and a backward scan from one
// never leaves the mapping that holds it. Learned with dl_iterate_phdr when
// the library is loaded, and learned again whenever the loader's counts of
// added and removed modules have moved: each capture compares them
// (memCodeMapCheck, one dl_iterate_phdr call that stops at its first
// module, no system call).
//
// Readers take no lock and may run in signal handlers: the table is read
// under a sequence count, and a reader that meets a rebuild in progress
// treats the address as unknown. A capture from a signal handler never
// rebuilds: what the table does not know ends its chain.
//
// A child of fork starts with a table that is whole and no rebuild under
// way, whatever other threads of the parent were doing, and learns again at
// its first capture.
#ifndef KOVAMEM_CODEMAP_H
#define KOVAMEM_CODEMAP_H

#include <stdint.h>

namespace kovamem {

// True when pc lies in an executable segment of a loaded module; [*lo, *hi)
// is then that segment. With relearn, a pc the table does not know makes it
// check the loader's counts and learn again before it answers.
bool memCodeRange(uintptr_t pc, uintptr_t *lo, uintptr_t *hi, bool relearn);

// Learns the table again when modules came or went since it was learned.
void memCodeMapCheck();

// Brackets a call that takes locks a child of fork could inherit held
// (dl_iterate_phdr, libunwind): false, and nothing entered, while a fork is
// being prepared; the call is then not made. A fork waits until every other
// thread has left its brackets.
bool memForkGuardEnter();
void memForkGuardExit();

// Set by tests: called by a rebuild in the middle of writing the table
// (count odd, writer role held), where a fork from another thread may land.
extern void (*memCodeMapRebuildHook)();

// Counts the rebuilds of the table that found modules come or go: whatever
// was learned about code addresses before a change may be stale.
extern uint32_t memCodeMapGeneration;

// Counts the rebuilds after which a loaded module's code lies where a
// module unloaded earlier had its code: a cache of frame layouts keyed by
// code address that was filled before such a rebuild may describe the old
// module's code at an address that now holds the new one's.
extern uint32_t memCodeReuseGeneration;

}  // namespace kovamem

#endif  // KOVAMEM_CODEMAP_H
