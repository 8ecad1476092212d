// The fault handler of guarded sampling (default build): a SIGSEGV or
// SIGBUS at an address of the guarded area is an access past the end of a
// guarded block (its slot's inaccessible page) or to a released one (its
// slot's page, inaccessible since the release). The handler writes
//
//      CRIT: KovaMemGuarded: <write|read|access> at 0x<a> K bytes past the end of block 0x<p> (size S)
//      CRIT: KovaMemGuarded: <write|read|access> at 0x<a> K bytes before block 0x<p> (size S)
//      CRIT: KovaMemGuarded: <write|read|access> at 0x<a> inside block 0x<p> released
//
// (", released" after the size when the block was released already.) A
// fault in the inaccessible page between two slots is told of the nearer
// block: the end of the one before, or the start of the one after when it
// sits at its page's start.
// (K = a - (p + S): 0 is the first byte behind the block), then the
// faulting, allocating and releasing chains, each as " INFO: KovaMemGuarded:
// Ptr 0x<p> faulted at:" (allocated by, released by) and a STACK DETAILS
// entry. "access" where the target's context does not tell read from write.
//
// Everything here may run in a signal handler: no lock, no allocation, no
// loader call, no printf (entries are composed by hand and written through
// memLogText); the slot table is read as it is, since the faulting thread
// owns the block or the block is released and its slot not reused yet.
//
// Then either the fault is let pass ("recover", KovaMemSetGuardedRecover:
// the page is made accessible and the slot retired, so each slot reports
// once) or it goes on to the handler the library's replaced (called with
// the same arguments) or, when that was the default or ignore, to the
// default action: the disposition is reset and the faulting instruction
// runs again, so the core dump shows the real fault.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>

#include "../internal.h"
#include "prim/faultctx.h"

using kovamem::GuardedSlot;
using kovamem::memGuarded;
using kovamem::memLoad;

namespace {

struct sigaction gOldSegv, gOldBus;
bool gInstalled;

using Line = kovamem::TextBuffer<MEM_LOG_ENTRY_SIZE>;

void writeLine(Line &l) { memLogText(l.buf, l.len); }

void chainHeader(uintptr_t block, const char *which) {
    Line l;
    l.clear();
    l.put(" INFO: KovaMemGuarded: Ptr 0x");
    l.hex(block, 0, false, false);
    l.put(" ");
    l.put(which);
    l.put(":\n");
    writeLine(l);
}

void chain(uintptr_t block, uint32_t size, const char *which, const MemTraceAddr *trace) {
    chainHeader(block, which);
    kovamem::TraceText t;
    kovamem::memFormatTrace(t, trace, block, static_cast<int32_t>(size), 0);
    Line l;
    l.clear();
    l.put("STACK DETAILS: ");
    l.put(t.buf);
    l.put("\n");
    writeLine(l);
}

const char *accessName(kovamem::FaultAccess a) {
    return a == kovamem::kAccessWrite ? "write" : a == kovamem::kAccessRead ? "read" : "access";
}

// Writes the report of a fault at a (in the area) and, with recover on,
// lets it pass. Returns true when the fault was let pass.
uint32_t stateOf(uint32_t i) {
    return i < memLoad(memGuarded.made) ? memLoad(memGuarded.slot[i].state) : static_cast<uint32_t>(kovamem::kSlotUnused);
}

bool report(uintptr_t a, const void *context) {
    const kovamem::GuardedArea &g = memGuarded;
    uint32_t i = kovamem::memGuardedSlotOf(a);
    uintptr_t page = g.base + static_cast<uintptr_t>(i) * 2u * g.page;
    const uintptr_t faultPage = a >= page + g.page ? page + g.page : page;
    bool inGuardPage = a >= page + g.page;
    // An inaccessible page lies between slot i's page and slot i + 1's: a
    // fault there belongs to the nearer block, slot i's end or the start of
    // slot i + 1's block when it sits at its page's start.
    bool before = false;
    if (inGuardPage && stateOf(i + 1) != kovamem::kSlotUnused && g.slot[i + 1].data == faultPage + g.page) {
        const GuardedSlot &s = g.slot[i];
        const bool overrunKnown = stateOf(i) != kovamem::kSlotUnused && a >= s.data + s.size;
        if (!overrunKnown || g.slot[i + 1].data - a <= a - (s.data + s.size)) {
            ++i;
            page += 2u * g.page;
            inGuardPage = false;
            before = true;
        }
    }
    GuardedSlot &s = g.slot[i];
    const uint32_t state = stateOf(i);
    const bool released = kovamem::memGuardedReleased(s, state);
    const bool known = state != kovamem::kSlotUnused;

    kovamem::FaultContext at;
    (void)kovamem::memFaultContext(context, &at);
    MemTraceAddr faulted[MEM_TRACE_ENTRIES];
    for (MemTraceAddr &e : faulted) e = MEM_TRACE_END;
    int32_t depth = memLoad(gStackDepth);
    if (depth > MEM_TRACE_ENTRIES) depth = MEM_TRACE_ENTRIES;
    (void)kovamem::memWalkContext(faulted, depth, at);

    Line l;
    l.clear();
    l.put(" CRIT: KovaMemGuarded: ");
    l.put(accessName(at.access));
    l.put(" at 0x");
    l.hex(a, 0, false, false);
    if (!known) {
        l.put(" in the guarded area, outside any block\n");
    } else if (before) {
        l.put(" ");
        l.dec(static_cast<int64_t>(s.data - a), 0);
        l.put(" bytes before block 0x");
        l.hex(s.data, 0, false, false);
        l.put(" (size ");
        l.dec(s.size, 0);
        l.put(released ? "), released\n" : ")\n");
    } else if (inGuardPage || a >= s.data + s.size) {
        l.put(" ");
        l.dec(static_cast<int64_t>(a - (s.data + s.size)), 0);
        l.put(" bytes past the end of block 0x");
        l.hex(s.data, 0, false, false);
        l.put(" (size ");
        l.dec(s.size, 0);
        l.put(released ? "), released\n" : ")\n");
    } else if (a >= s.data) {
        l.put(" inside block 0x");
        l.hex(s.data, 0, false, false);
        l.put(" released\n");
    } else {
        l.put(" ");
        l.dec(static_cast<int64_t>(s.data - a), 0);
        l.put(" bytes before block 0x");
        l.hex(s.data, 0, false, false);
        l.put(" released\n");
    }
    writeLine(l);
    const uintptr_t block = known ? s.data : a;
    chain(block, known ? s.size : 0, "faulted at", faulted);
    if (known) chain(s.data, s.size, "allocated by", s.alloc);
    if (known && released) chain(s.data, s.size, "released by", s.release);
    __atomic_fetch_add(&memGuarded.faults, 1u, __ATOMIC_RELAXED);
    const kovamem::RecordKind kind = released ? kovamem::kRecordGuardedUseAfterFree
                                     : before ? kovamem::kRecordGuardedUnderrun
                                              : kovamem::kRecordGuardedOverrun;
    kovamem::memRecord({kind, false, block, known ? s.size : 0, known ? s.alloc : nullptr, faulted}, true);

    l.clear();
    if (memLoad(kovamem::memGuardedRecover) != 0 && known &&
        mprotect(reinterpret_cast<void *>(faultPage), g.page, PROT_READ | PROT_WRITE) == 0) {
        if (state != kovamem::kSlotRetired) {
            s.busyRetired = released ? 0u : 1u;
            __atomic_store_n(&s.state, static_cast<uint32_t>(kovamem::kSlotRetired), __ATOMIC_RELAXED);
            __atomic_fetch_add(&memGuarded.retired, 1u, __ATOMIC_RELAXED);
        }
        l.put(" INFO: KovaMemGuarded: the fault is let pass (recover): slot ");
        l.dec(i, 0);
        l.put(" stays accessible and is not used again\n");
        writeLine(l);
        return true;
    }
    l.put(" INFO: KovaMemGuarded: the fault goes on to the process (signal)\n");
    writeLine(l);
    return false;
}

// Hands the fault to the disposition the library replaced.
void passOn(int sig, siginfo_t *si, void *context) {
    const struct sigaction &old = sig == SIGSEGV ? gOldSegv : gOldBus;
    if ((old.sa_flags & SA_SIGINFO) != 0 && old.sa_sigaction != nullptr) {
        old.sa_sigaction(sig, si, context);
        return;
    }
    if (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
        old.sa_handler(sig);
        return;
    }
    // The default action: a fault runs its instruction again and meets it;
    // a signal sent by someone is sent again.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    if (si == nullptr || si->si_code <= 0) raise(sig);
}

void onFault(int sig, siginfo_t *si, void *context) {
    const int saved = errno;
    const uintptr_t a = si != nullptr ? reinterpret_cast<uintptr_t>(si->si_addr) : 0;
    const bool ours = si != nullptr && si->si_code > 0 && kovamem::memInGuarded(a);
    if (!ours || !report(a, context)) passOn(sig, si, context);
    errno = saved;
}

}  // namespace

bool kovamem::memGuardedInstallHandler() {
    if (gInstalled) return true;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = onFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGSEGV, &sa, &gOldSegv) != 0) return false;
    if (sigaction(SIGBUS, &sa, &gOldBus) != 0) {
        sigaction(SIGSEGV, &gOldSegv, nullptr);
        return false;
    }
    gInstalled = true;
    return true;
}
