// The pool locks' ways in other than the owner's (core/locks.h, PoolLock).
#include <sched.h>
#include <time.h>

#include "../diag/prim/membarrier.h"
#include "../internal.h"
#include "magazine.h"

__thread kovamem::ThreadMarks *kovamem::memOwnMarks __attribute__((tls_model("initial-exec")));
kovamem::ThreadMarks kovamem::memThreadMarks[kovamem::kMaxOwners];

namespace {

// Which slots of memThreadMarks are a thread's (a set bit), taken with an
// atomic compare-and-swap and given back with an atomic and: no lock, so a
// child of fork finds the table as it was and can use it.
uint32_t gSlotTaken[kovamem::kMaxOwners / 32];
__thread bool tMarksAsked __attribute__((tls_model("initial-exec")));

// A slot goes back when its thread ends, through a thread-specific key made
// at the first claim of any thread (0: not made, 1: being made, 2: made,
// 3: refused). A thread that claims while it is being made, or when it was
// refused, keeps its slot for good.
pthread_key_t gSlotKey;
int gSlotKeyState;

// At the end of a thread that had a slot (its key's destructor; the C
// library's later destructors may still call in: they take the mutexes).
// A thread ends outside every pool, so its marks are clear and the next
// thread may take them; one that ended inside one (a thread ended from a
// signal handler) keeps its slot, and its pool waits as for a mutex held by
// a thread that is gone.
void giveSlotBack(void *p) {
    auto *slot = static_cast<kovamem::ThreadMarks *>(p);
    // Its magazines' blocks back to the pools first, while its marks are
    // still its own; later calls of this thread take the locked way.
    if (kovamem::config_magazines) kovamem::memMagsEmptyOwn(static_cast<unsigned>(slot - kovamem::memThreadMarks));
    kovamem::memOwnMarks = nullptr;
    kovamem::memMagsOwn = nullptr;
    tMarksAsked = true;
    for (uint8_t mark : slot->inside)
        if (mark != 0) return;
    // A pool this thread still owns passes with the slot to its next
    // thread: still one thread at a time in that pool as its owner.
    const auto i = static_cast<unsigned>(slot - kovamem::memThreadMarks);
    __atomic_fetch_and(&gSlotTaken[i / 32], ~(1u << (i % 32)), __ATOMIC_RELEASE);
}

// The key goes with the library: a host that unloads it must not have
// threads that end later call a destructor that is no longer mapped.
__attribute__((destructor)) void dropSlotKey() {
    if (__atomic_load_n(&gSlotKeyState, __ATOMIC_ACQUIRE) == 2) (void)pthread_key_delete(gSlotKey);
}

bool slotKeyReady() {
    int st = __atomic_load_n(&gSlotKeyState, __ATOMIC_ACQUIRE);
    if (st == 0 && __atomic_compare_exchange_n(&gSlotKeyState, &st, 1, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) {
        st = pthread_key_create(&gSlotKey, giveSlotBack) == 0 ? 2 : 3;
        __atomic_store_n(&gSlotKeyState, st, __ATOMIC_RELEASE);
    }
    return st == 2;
}

// The calling thread's marks, given on its first call (NULL when every
// slot is taken: the thread uses the mutexes). Called with no lock held:
// pthread_setspecific may allocate (from the C library: the host's own
// calls, and the preload's from inside the library, go there).
kovamem::ThreadMarks *ownMarks() {
    if (kovamem::memOwnMarks != nullptr || tMarksAsked) return kovamem::memOwnMarks;
    tMarksAsked = true;
    for (unsigned w = 0; w < kovamem::kMaxOwners / 32; ++w) {
        uint32_t bits = __atomic_load_n(&gSlotTaken[w], __ATOMIC_RELAXED);
        while (bits != ~0u) {
            const unsigned b = static_cast<unsigned>(__builtin_ctz(~bits));
            if (__atomic_compare_exchange_n(&gSlotTaken[w], &bits, bits | (1u << b), false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED)) {
                kovamem::ThreadMarks *slot = &kovamem::memThreadMarks[w * 32 + b];
                if (slotKeyReady()) (void)pthread_setspecific(gSlotKey, slot);
                kovamem::memOwnMarks = slot;
                return slot;
            }
        }
    }
    return nullptr;
}

}  // namespace

kovamem::ThreadMarks *kovamem::memClaimMarks() { return memHeavyBarrierReady() ? ownMarks() : nullptr; }

// A mark is set for a few dozen instructions, or a refill or seal: spins,
// then yields, then sleeps, so that a thread of lower real-time priority
// preempted inside gets the processor back.
void kovamem::memWaitMarkClear(const uint8_t &mark) {
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

void kovamem::memTakePoolLockSlow(unsigned k) {
    PoolLock &l = memPoolLocks[k];
    // The first thread to take the lock owns it, once the barrier is known
    // to be there; a thread that has just taken its slot may find itself
    // the owner already, by its slot's last thread.
    ThreadMarks *const t = memHeavyBarrierReady() ? ownMarks() : nullptr;
    if (t != nullptr) {
        uintptr_t none = kLockUnowned;
        if (memLoad(l.owner) == kLockUnowned)
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
        memWaitMarkClear(reinterpret_cast<const ThreadMarks *>(was)->inside[k]);
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

bool kovamem::memTryPoolLock(unsigned k) {
    PoolLock &l = memPoolLocks[k];
    memLocking();
    if (config_owned_locks) {
        ThreadMarks *const t = memOwnMarks;
        // The thread's own mark set: the interrupted code is in pool k, or
        // entering it, as its owner.
        if (t != nullptr && memLoad(t->inside[k]) != 0) {
            memUnlocked();
            return false;
        }
        if (t != nullptr && memLoad(l.owner) == reinterpret_cast<uintptr_t>(t) && memEnterAsOwner(l, t, k)) return true;
        if (pthread_mutex_trylock(&l.mutex) != 0) {
            memUnlocked();
            return false;
        }
        // Another thread's ownership ends here as at any take of the mutex:
        // the wait is for that thread, never for this one.
        memAfterPoolMutex(l, k, reinterpret_cast<uintptr_t>(t));
        return true;
    }
    if (pthread_mutex_trylock(&l.mutex) == 0) return true;
    memUnlocked();
    return false;
}
