// The process-wide memory barrier that lets a pool's owning thread take
// its lock with plain stores (core/poollock.cpp): membarrier(2) with
// MEMBARRIER_CMD_PRIVATE_EXPEDITED makes every running thread of the
// process execute a full memory barrier before the call returns, so a
// compiler barrier on the owner's side pairs with it as a full fence would.
// The registration the command needs is made by the first query, which is
// the first claim of a pool by a thread (after KovaMemInit); a kernel
// without the command (before 4.14, or one that refuses it) leaves every
// pool on its mutex. The registration is kept across fork.
#ifndef KOVAMEM_MEMBARRIER_H
#define KOVAMEM_MEMBARRIER_H

namespace kovamem {

// Whether the barrier can be used; the first call queries the kernel and
// registers the process. Safe from any thread; the answer never changes
// (a child of fork keeps its parent's).
bool memHeavyBarrierReady();
// The barrier; false when the kernel refused it (never once ready, unless
// the process changed since).
bool memHeavyBarrier();
// Tests: whether the barrier is there to be used (1), not (2), or not yet
// known (0); a test that stores 2 before the first lock runs every pool on
// its mutex.
extern int memHeavyBarrierState;

}  // namespace kovamem

#endif  // KOVAMEM_MEMBARRIER_H
