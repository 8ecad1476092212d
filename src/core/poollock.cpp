// The pool locks' ways in other than the owner's (internal.h, PoolLock).
#include <sched.h>
#include <time.h>

#include "../diag/prim/membarrier.h"
#include "../internal.h"

__thread kovamem::ThreadMarks *kovamem::memOwnMarks __attribute__((tls_model("initial-exec")));
kovamem::ThreadMarks kovamem::memThreadMarks[kovamem::kMaxOwners];

namespace {

uint32_t gMarksHandedOut;               // slots of memThreadMarks given to threads
__thread bool tMarksAsked __attribute__((tls_model("initial-exec")));

// The calling thread's marks, given on its first call (NULL when every
// slot is taken: the thread uses the mutexes).
kovamem::ThreadMarks *ownMarks() {
    if (kovamem::memOwnMarks != nullptr || tMarksAsked) return kovamem::memOwnMarks;
    tMarksAsked = true;
    const uint32_t i = __atomic_fetch_add(&gMarksHandedOut, 1u, __ATOMIC_RELAXED);
    if (i < kovamem::kMaxOwners) kovamem::memOwnMarks = &kovamem::memThreadMarks[i];
    return kovamem::memOwnMarks;
}

// Waits until a former owner's mark for the pool is clear: it is in for a
// few dozen instructions, or in the middle of finding the lock shared.
// Spins, then yields, then sleeps, so that an owner of lower real-time
// priority preempted inside gets the processor back.
void waitOwnerOut(const uint8_t &mark) {
    for (unsigned n = 0; __atomic_load_n(&mark, __ATOMIC_ACQUIRE) != 0; ++n) {
        if (n < 64) continue;
        if (n < 80) {
            sched_yield();
            continue;
        }
        const struct timespec pause = {0, 50 * 1000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

void kovamem::memTakePoolLockSlow(unsigned k) {
    PoolLock &l = memPoolLocks[k];
    // The first thread to take the lock owns it, once the barrier is known
    // to be there.
    ThreadMarks *const t = memHeavyBarrierReady() ? ownMarks() : nullptr;
    if (t != nullptr && memLoad(l.owner) == kLockUnowned) {
        uintptr_t none = kLockUnowned;
        (void)__atomic_compare_exchange_n(&l.owner, &none, reinterpret_cast<uintptr_t>(t), false, __ATOMIC_RELAXED,
                                          __ATOMIC_RELAXED);
        if (memLoad(l.owner) == reinterpret_cast<uintptr_t>(t) && memLoad(t->inside[k]) == 0 && memEnterAsOwner(l, t, k))
            return;
    }
    (void)pthread_mutex_lock(&l.mutex);
    memPoolMutexSlow(k, reinterpret_cast<uintptr_t>(t));
}

void kovamem::memPoolMutexSlow(unsigned k, uintptr_t me) {
    PoolLock &l = memPoolLocks[k];
    // A thread that has met only shared locks gets its marks here, so that
    // a long run of its own can make it an owner.
    if (me == 0 && memHeavyBarrierReady()) me = reinterpret_cast<uintptr_t>(ownMarks());
    // Under the mutex, which every thread but the owner takes: the lock
    // is shared, at the latest now.
    const uintptr_t was = memLoad(l.owner) == kLockShared ? kLockShared
                                                          : __atomic_exchange_n(&l.owner, kLockShared, __ATOMIC_SEQ_CST);
    if (was != kLockUnowned && was != kLockShared) {
        // An owner gives way (a signal handler's own thread needs no
        // barrier: it waits for the code it interrupted, as on a mutex that
        // code held).
        if (was != me && !memHeavyBarrier()) {
            // Never once the barrier was found there; should the kernel
            // refuse it after all, a pause far longer than any store takes
            // to be seen stands in for it.
            const struct timespec pause = {0, 10 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        waitOwnerOut(reinterpret_cast<const ThreadMarks *>(was)->inside[k]);
    }
    if (l.lastBy != me) {
        l.lastBy = me;
        l.streak = 0;
    } else if (l.streak >= kLockReownAfter) {
        // One thread alone for a long run: its own again from its next
        // lock on. Any other thread that comes takes the mutex, after this
        // holder has given it back, and finds an owner to end.
        l.streak = 0;
        if (me != 0 && memHeavyBarrierReady()) __atomic_store_n(&l.owner, me, __ATOMIC_SEQ_CST);
    }
}

bool kovamem::memPoolLockHeld(unsigned k) {
    PoolLock &l = memPoolLocks[k];
    const uintptr_t owner = memLoad(l.owner);
    if (owner != kLockUnowned && owner != kLockShared &&
        memLoad(reinterpret_cast<const ThreadMarks *>(owner)->inside[k]) != 0)
        return true;
    if (pthread_mutex_trylock(&l.mutex) != 0) return true;
    (void)pthread_mutex_unlock(&l.mutex);
    return false;
}
