// The lock implementation: the manager lock's holder, the pool locks that
// a pool's only thread takes without atomic instructions, the leaf locks,
// and the lookups that take the lock guarding what they find. The order
// the locks are taken in is kept in internal.h, beside the map.
#ifndef KOVAMEM_CORE_LOCKS_H
#define KOVAMEM_CORE_LOCKS_H

#include <pthread.h>

#include "layout.h"

namespace kovamem {

// ---- calls from signal handlers (default build) ----
// How many of the locks an allocation or release may wait for (the manager
// lock, the pool locks, the leaf locks, the trace-table lock) the calling
// thread holds or is taking: raised before a lock is taken, lowered after
// it is given back, so that a signal handler sees it raised wherever its
// thread may hold one. No function calls an allocation or release while it
// holds a lock, so a call that finds the count above 0 was made by a
// signal handler that interrupted its thread inside the library. It waits
// for no lock (the interrupted code may hold the one it would wait for):
// an allocation takes a pool's lock only if it is free (memTryPoolLock)
// and then only a block whose taking needs no other lock, else the C heap;
// a release waits in the deferred table (core/deferred.cpp) and is made
// when a thread next gives back its last lock, which the interrupted call
// does as soon as the handler returns. Checking and telling a release may
// need three locks (the pool's, the trace table's, the quarantine's), so
// the whole release waits rather than a part of it.
extern __thread uint32_t memLocksHeld __attribute__((tls_model("initial-exec")));
// Puts the release of ptr into the deferred table (lock-free; a release
// that finds the table full is counted and told, its block stays busy).
void memDeferRelease(void *ptr);
// Makes the releases waiting in the deferred table, and the status report
// a handler asked for (memDeferReport); called with no lock held.
void memReleaseDeferred();
// A status report asked for by a signal handler inside the library: made
// when a thread next gives back its last lock.
void memDeferReport();
// Whether an operation on all pools would wait for the calling thread
// itself: it holds or takes a lock (memInHandler), or it is inside its
// magazines, whose mark the stop of every magazine waits for. Either way a
// signal handler interrupted it there.
bool memCalledInside();
// An operation on all pools called so (memCalledInside): one entry naming
// op, and true (the caller refuses).
bool memRefusedInHandler(const char *op);
// Set while a release or a report waits (core/deferred.cpp); read relaxed
// at every last lock given back, so kept readable without a call.
extern uint8_t memDeferredAny;
MEM_ALWAYS_INLINE void memLocking() {
    if (config_classic) return;
    memStore(memLocksHeld, memLoad(memLocksHeld) + 1);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}
MEM_ALWAYS_INLINE void memUnlocked() {
    if (config_classic) return;
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    const uint32_t n = memLoad(memLocksHeld) - 1;
    memStore(memLocksHeld, n);
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
    if (__builtin_expect(n == 0 && memLoad(memDeferredAny) != 0, 0)) memReleaseDeferred();
}
// A call made by a signal handler that interrupted its thread while it held,
// or was taking, a lock (see above).
MEM_ALWAYS_INLINE bool memInHandler() { return !config_classic && memLoad(memLocksHeld) != 0; }

}  // namespace kovamem

extern "C" {

// ---- state and locks ----
extern MemStackData memStackData;
extern MemStackRec memStackRecords[MEM_STACK_RECORDS];

MemMutex *memCreateMutex(void);
// -1 for a NULL holder or a failed call, else 0. Inline: every pool
// operation takes and releases the manager lock once.
inline int memLock(MemMutex *m) {
    kovamem::memLocking();
    return (m == nullptr || pthread_mutex_lock(m->mutex) != 0) ? -1 : 0;
}
inline int memUnlock(MemMutex *m) {
    const int r = (m == nullptr || pthread_mutex_unlock(m->mutex) != 0) ? -1 : 0;
    kovamem::memUnlocked();
    return r;
}
}  // extern "C"

namespace kovamem {

// The pool locks and the two leaf locks of the default build (see "Locks"
// at the top): static, so that they need no set-up and no page is touched
// until one is used. In the classic build a pool lock is the manager lock
// and the leaf locks are not taken.
//
// A pool lock is held for a few dozen instructions, so a thread that finds
// its mutex taken spins briefly before it sleeps where the C library offers
// that (glibc's adaptive mutex: two threads on one pool ran 1.3 to 1.7
// times faster than with a plain one in two of three interleaved rounds,
// the same in the third; bench/README.md). musl's plain mutex spins by
// itself.
#ifdef PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
#define KOVAMEM_POOL_MUTEX_INITIALIZER PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP
#else
#define KOVAMEM_POOL_MUTEX_INITIALIZER PTHREAD_MUTEX_INITIALIZER
#endif

// A pool lock owned by the first thread that takes it (config_owned_locks,
// core/poollock.cpp). The owner takes and releases it with plain stores
// and no atomic read-modify-write: it marks itself inside, in a mark of
// its own, and is in when the lock is still its own after that mark. Any
// other thread takes the mutex, ends the ownership (owner = kLockShared),
// makes every running thread pass a full memory barrier
// (prim/membarrier.h) and waits until the owner's mark is clear; every
// thread then takes the mutex, the former owner too, until one thread has
// taken it kLockReownAfter times in a row and owns it again. The owner's
// mark and its reading of owner are ordered by that barrier, the other
// thread's store and its reading of the mark by the system call, so either
// the owner sees the lock shared or the other thread sees the owner
// inside. The marks are each thread's own (ThreadMarks) so that a former
// owner that read owner just before it changed, and marks itself inside
// late, only ever writes its own mark, never the next owner's. A host that
// uses a pool from one thread (most of them, and every pool of a
// single-threaded one) never pays for an atomic instruction on it; each
// change of thread costs one system call. Where the barrier is missing,
// every pool is shared at its first use.
constexpr uintptr_t kLockUnowned = 0;
constexpr uintptr_t kLockShared = 1;
struct alignas(64) PoolLock {
    pthread_mutex_t mutex = KOVAMEM_POOL_MUTEX_INITIALIZER;
    uintptr_t owner = kLockUnowned;  // kLockUnowned, kLockShared or the owner's ThreadMarks
    // Under the mutex: the thread that took it last and how many times in a
    // row it did, for the return to an owner.
    uintptr_t lastBy = 0;
    uint32_t streak = 0;
};
// A shared pool lock taken this many times in a row through its mutex by
// one thread becomes that thread's: a pool used by one thread at a time,
// for long stretches, pays one system call per change of thread instead of
// two atomic instructions per lock.
constexpr uint32_t kLockReownAfter = 4096;
extern PoolLock memPoolLocks[kMaxPools];
extern pthread_mutex_t memQuarantineLock;
extern pthread_mutex_t memGuardedLock;

// A thread's marks, one byte per pool, written by that thread alone: 1
// while it is in, or entering, the pool as its owner. A thread takes a slot
// at its first pool lock that is not the owner's way (the barrier being
// there) and gives it back when it ends (a thread-specific key's
// destructor), clear; the slots outlive their threads, so a thread that
// ends a dead owner's ownership reads a clear mark, and the next thread of
// a slot inherits what the last one owned. Beyond kMaxOwners threads at
// once, the others take every pool lock through its mutex. The table is
// not touched before a thread takes a slot, and then only that slot's 256
// bytes.
constexpr unsigned kMaxOwners = 256;
struct alignas(64) ThreadMarks {
    uint8_t inside[kMaxPools];
};
extern ThreadMarks memThreadMarks[kMaxOwners];
// The calling thread's marks, NULL until its first claim (or when none
// were left).
extern __thread ThreadMarks *memOwnMarks __attribute__((tls_model("initial-exec")));
// The calling thread's marks, claimed now when it has none yet (NULL when
// every slot is taken, or before the heavy barrier is known to be there:
// no thread has marks before). Called with no lock held.
ThreadMarks *memClaimMarks();
// The calling thread as a pool lock's owner names it (0: it has no marks).
MEM_ALWAYS_INLINE uintptr_t memThreadId() { return reinterpret_cast<uintptr_t>(memOwnMarks); }

// The owner's way in: marked inside, then in when lock k is still its own.
// ThreadSanitizer does not know the barrier, so there the mark is a full
// fence of its own and the reading a sequentially consistent one (the
// order the barrier gives, made visible to it).
MEM_ALWAYS_INLINE bool memEnterAsOwner(PoolLock &l, ThreadMarks *t, unsigned k) {
    if (config_tsan) {
        (void)__atomic_exchange_n(&t->inside[k], uint8_t{1}, __ATOMIC_SEQ_CST);
    } else {
        memStore(t->inside[k], uint8_t{1});
        __atomic_signal_fence(__ATOMIC_SEQ_CST);
    }
    if (__builtin_expect(__atomic_load_n(&l.owner, config_tsan ? __ATOMIC_SEQ_CST : __ATOMIC_RELAXED) ==
                             reinterpret_cast<uintptr_t>(t),
                         1))
        return true;
    __atomic_store_n(&t->inside[k], uint8_t{0}, __ATOMIC_RELEASE);
    return false;
}
// Waits until a thread's mark (a former owner's in a pool, a thread's in its
// magazines) is clear.
void memWaitMarkClear(const uint8_t &mark);
// The ways in that are not the owner's: the first claim, and the mutex.
void memTakePoolLockSlow(unsigned k);
// With lock k's mutex held by thread me: an owner left from before gives
// way; a long enough run of me's own makes me the owner.
void memPoolMutexSlow(unsigned k, uintptr_t me);
MEM_ALWAYS_INLINE void memAfterPoolMutex(PoolLock &l, unsigned k, uintptr_t me) {
    if (__builtin_expect(memLoad(l.owner) == kLockShared && l.lastBy == me && ++l.streak < kLockReownAfter, 1)) return;
    memPoolMutexSlow(k, me);
}

MEM_ALWAYS_INLINE void memTakePoolLock(unsigned k) {
    PoolLock &l = memPoolLocks[k];
    if (config_owned_locks) {
        ThreadMarks *const t = memOwnMarks;
        const uintptr_t owner = memLoad(l.owner);
        // The mark set already: a signal handler that interrupted the owner
        // in the pool, which waits as it would for a mutex the interrupted
        // code holds.
        if (__builtin_expect(owner == reinterpret_cast<uintptr_t>(t) && t != nullptr && memLoad(t->inside[k]) == 0, 1)) {
            if (__builtin_expect(memEnterAsOwner(l, t, k), 1)) return;
        } else if (owner == kLockShared && t != nullptr) {
            (void)pthread_mutex_lock(&l.mutex);
            memAfterPoolMutex(l, k, reinterpret_cast<uintptr_t>(t));
            return;
        }
        memTakePoolLockSlow(k);
        return;
    }
    (void)pthread_mutex_lock(&l.mutex);
}
MEM_ALWAYS_INLINE void memGivePoolLock(unsigned k) {
    if (config_owned_locks) {
        // The holder's own mark is set exactly when it came in as the owner.
        ThreadMarks *const t = memOwnMarks;
        if (t != nullptr && memLoad(t->inside[k]) != 0) {
            __atomic_store_n(&t->inside[k], uint8_t{0}, __ATOMIC_RELEASE);
            return;
        }
    }
    (void)pthread_mutex_unlock(&memPoolLocks[k].mutex);
}
// Tests: whether pool k's lock is held by anyone.
bool memPoolLockHeld(unsigned k);

// Pool lock k if it is free and not the calling thread's own (it may be
// the interrupted code's): never waits for a lock another call of this
// thread holds. The lock is then given back with memUnlockPool.
bool memTryPoolLock(unsigned k);

MEM_ALWAYS_INLINE void memLockPool(unsigned k) {
    if (config_classic) {
        (void)memLock(memMgrDetails.lock);
    } else {
        memLocking();
        memTakePoolLock(k);
    }
}
MEM_ALWAYS_INLINE void memUnlockPool(unsigned k) {
    if (config_classic) {
        (void)memUnlock(memMgrDetails.lock);
    } else {
        memGivePoolLock(k);
        memUnlocked();
    }
}
MEM_ALWAYS_INLINE void memLockLeaf(pthread_mutex_t &l) {
    if (config_classic) return;
    memLocking();
    (void)pthread_mutex_lock(&l);
}
MEM_ALWAYS_INLINE void memUnlockLeaf(pthread_mutex_t &l) {
    if (config_classic) return;
    (void)pthread_mutex_unlock(&l);
    memUnlocked();
}
// A mutex of the diagnostics (the fault records' locks, the module log's)
// taken in both builds, and counted among the locks the thread holds
// (default build), so that a signal handler that interrupts its holder
// takes a handler's way and makes no fault record of its own.
MEM_ALWAYS_INLINE void memLockCounted(pthread_mutex_t &m) {
    memLocking();
    (void)pthread_mutex_lock(&m);
}
MEM_ALWAYS_INLINE void memUnlockCounted(pthread_mutex_t &m) {
    (void)pthread_mutex_unlock(&m);
    memUnlocked();
}
// The trace-table lock as a leaf (default build only).
MEM_ALWAYS_INLINE void memLockTrace() {
    if (!config_classic) (void)memLock(memStackData.lock);
}
MEM_ALWAYS_INLINE void memUnlockTrace() {
    if (!config_classic) (void)memUnlock(memStackData.lock);
}
// Every lock an operation on all pools needs: the manager lock, then each
// pool's in index order (default build); the manager lock (classic).
// throughMutexes (fork's prepare handler): every pool lock through its
// mutex, so that the child finds no mutex held by a thread it does not
// have (memUnlockAll gives them back).
void memLockAll(bool throughMutexes = false);
void memUnlockAll();
// Default build, all locks held: the pool counters of memMgrDetails from
// the per-pool figures, and the published pool table from the live records.
void memSumCounts();

// The lookup of addr with the lock that guards it held: its pool's (for an
// address of the guarded area, the pool of the block its slot holds); the
// manager lock in the classic build. *held is what memUnlockFound releases
// (-1: nothing, the address is no pool's).
int memLockAndFind(const void *addr, MemFindResult *out, int *held);
MEM_ALWAYS_INLINE void memUnlockFound(int held) {
    if (held >= 0) memUnlockPool(static_cast<unsigned>(held));
}
// memFindBlock for a caller that holds pool held's lock (-1: all locks, or
// no other thread): a guarded block of another pool is not found.
int memFindBlockHeld(const void *addr, MemFindResult *out, int held);

}  // namespace kovamem

#endif  // KOVAMEM_CORE_LOCKS_H
