// Releases that a signal handler made while its thread held a lock of the
// library (core/locks.h, memLocksHeld), the status report such a handler
// asked for, the refusal of its other operations on all pools, and the
// count of locks held.
//
// The table is lock-free: a release claims an empty slot with a
// compare-and-swap and raises the waiting flag after it; a thread that gives
// back its last lock, or the preload library's next call from outside it,
// clears the flag, then takes each slot with an atomic exchange and makes
// the release as any other. So a slot is made once, whoever empties the
// table (two at once, or a handler that interrupts the emptying), and a
// release that claims a slot after the emptying passed it raises the flag
// again for the next. The table is shared by all threads and small: a
// handler interrupts one call, and that call gives back its locks within
// microseconds of the handler's return.
#include "../internal.h"
#include "magazine.h"

__thread uint32_t kovamem::memLocksHeld __attribute__((tls_model("initial-exec")));

namespace {

constexpr unsigned kWaitMax = 64;
void *gWaiting[kWaitMax];
uint32_t gLost;      // releases that found every slot taken: their blocks stay busy
uint32_t gLostTold;  // the count last told
uint8_t gReport;     // a status report asked for by a handler

}  // namespace

// Set after a slot was filled, a release lost or a report asked for;
// cleared before the slots are read.
uint8_t kovamem::memDeferredAny;

void kovamem::memDeferRelease(void *ptr) {
    for (void *&slot : gWaiting) {
        void *idle = nullptr;
        if (__atomic_compare_exchange_n(&slot, &idle, ptr, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED)) {
            __atomic_store_n(&memDeferredAny, uint8_t{1}, __ATOMIC_RELEASE);
            return;
        }
    }
    __atomic_fetch_add(&gLost, 1u, __ATOMIC_RELAXED);
    __atomic_store_n(&memDeferredAny, uint8_t{1}, __ATOMIC_RELEASE);  // to be told
}

void kovamem::memDeferReport() {
    __atomic_store_n(&gReport, uint8_t{1}, __ATOMIC_RELAXED);
    __atomic_store_n(&memDeferredAny, uint8_t{1}, __ATOMIC_RELEASE);
}

bool kovamem::memCalledInside() {
    if (memInHandler()) return true;
    const ThreadMags *own = config_magazines ? memOwnMagsPeek() : nullptr;
    return own != nullptr && memLoad(own->inside) != 0;
}

bool kovamem::memRefusedInHandler(const char *op) {
    if (!memCalledInside()) return false;
    memLogPrint(" ERROR: %s: called from a signal handler inside the library: refused, it would wait for a lock "
                "its thread holds\n",
                op);
    return true;
}

void kovamem::memReleaseDeferred() {
    if (__atomic_exchange_n(&memDeferredAny, uint8_t{0}, __ATOMIC_ACQ_REL) != 0)
        for (void *&slot : gWaiting) {
            void *p = __atomic_exchange_n(&slot, nullptr, __ATOMIC_ACQ_REL);
            if (p != nullptr) (void)KovaMemFree(p);
        }
    // After the releases, so that it counts them; not while this thread is
    // inside its magazines (a refill's lock given back), whose mark the
    // report would wait for: then at a later thread's last lock.
    if (memLoad(gReport) != 0) {
        if (memCalledInside())
            __atomic_store_n(&memDeferredAny, uint8_t{1}, __ATOMIC_RELEASE);
        else if (__atomic_exchange_n(&gReport, uint8_t{0}, __ATOMIC_ACQ_REL) != 0)
            KovaMemPrintMemStatus();
    }
    // Told as the fallback notes are: at 1, 2, 4, 8 ... with the count.
    const uint32_t lost = memLoad(gLost), told = memLoad(gLostTold);
    if (lost != told && (told == 0 || (lost >> 1) >= told)) {
        memStore(gLostTold, lost);
        memLogNote(" ERROR: KovaMemFree: releases from signal handlers found no place to wait: "
                   "their blocks stay busy (count %u)\n", lost);
    }
}
