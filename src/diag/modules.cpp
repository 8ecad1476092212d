// The module map in the log: for each loaded module its path, load address,
// ELF build ID and the address ranges of its loadable segments, so that the
// return addresses of the traces can be symbolized later on another machine
// (kovamem-analyze), also for position-independent code and stripped
// firmware. One line per fact, in the library's entry style:
//
//  " INFO: KovaMemLogModules: module <n> base 0x<load address> build-id <hex or -> path <path>"
//  " INFO: KovaMemLogModules: module <n> segment 0x<start>-0x<end> <r|-><w|-><x|->"
//
// Lines are gathered into as few entries as the 2047-character entry limit
// allows, and a module's lines are never split between two entries.
//
// A map is written when the log lacks one: the first call, the first after
// KovaMemResetFile, the first in a child of fork (its own log). After that,
// only when a module is loaded that the last written map does not list (by
// path and load address): a map that only lost modules still names every
// address a new chain can hold, so a program that loads and unloads the
// same library in a loop writes one map, not one per round. Such later maps
// are notes (written only below three quarters of the log's cap), so that
// maps never take the room the reports and fault entries need.
//
// The whole call runs inside the fork guard: a child of fork never inherits
// the loader's lock or this function's own lock held by another thread.
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <unistd.h>

#include "../internal.h"
#include "prim/codemap.h"

namespace {

using Entry = kovamem::TextBuffer<MEM_LOG_ENTRY_SIZE>;

// Modules of the last written map, each as its load address and a hash of
// its path; past kMaxKnown modules every later map is written.
constexpr int kMaxKnown = 512;
struct Known {
    int count;
    uintptr_t base[kMaxKnown];
    uint32_t path[kMaxKnown];
};

struct Walk {
    Entry entry;  // lines not yet written
    int index;
    bool write;     // false: only compare the modules with the last map
    bool news;      // a module the last map lacks was met
    bool note;      // the map's entries are notes
    bool dropped;   // a note of the map was left out
    Known seen;     // the modules of this walk
    char exe[512];  // the main program's path (its own name is empty)
};

Known gLast;             // the modules of the last written map
char gLastLog[31];       // the log it was written to
uint32_t gLastResets;    // memLogResets when it was written
bool gWritten;

uint32_t pathHash(const char *s) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (; *s != '\0'; ++s) h = (h ^ static_cast<uint8_t>(*s)) * 16777619u;
    return h;
}

bool inLast(uintptr_t base, uint32_t path) {
    for (int i = 0; i < gLast.count; ++i)
        if (gLast.base[i] == base && gLast.path[i] == path) return true;
    return false;
}

void flush(Walk &w) {
    if (w.entry.len == 0) return;
    if (!w.note)
        memLogPrint("%s", w.entry.buf);
    else if (memLogNote("%s", w.entry.buf) == 0)
        w.dropped = true;
    w.entry.clear();
}

}  // namespace

// The build ID from the module's note segments, as hex, or "-".
void kovamem::memModuleBuildId(const struct dl_phdr_info *info, char *out, size_t cap) {
    snprintf(out, cap, "-");
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) continue;
        const uint8_t *p = reinterpret_cast<const uint8_t *>(info->dlpi_addr + ph.p_vaddr);
        const uint8_t *end = p + ph.p_memsz;
        while (p + sizeof(ElfW(Nhdr)) <= end) {
            const ElfW(Nhdr) *n = reinterpret_cast<const ElfW(Nhdr) *>(p);
            const uint8_t *name = p + sizeof *n;
            const uint8_t *desc = name + ((n->n_namesz + 3u) & ~3u);
            if (n->n_type == NT_GNU_BUILD_ID && n->n_namesz == 4 && memcmp(name, "GNU", 4) == 0 &&
                desc + n->n_descsz <= end && n->n_descsz * 2 < cap) {
                for (uint32_t b = 0; b < n->n_descsz; ++b) snprintf(out + 2 * b, 3, "%02x", desc[b]);
                return;
            }
            p = desc + ((n->n_descsz + 3u) & ~3u);
        }
    }
}

namespace {

int onModule(struct dl_phdr_info *info, size_t, void *arg) {
    Walk &w = *static_cast<Walk *>(arg);
    const char *path = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : w.exe;
    const uintptr_t base = static_cast<uintptr_t>(info->dlpi_addr);
    const uint32_t hash = pathHash(path);
    if (w.seen.count < kMaxKnown) {
        w.seen.base[w.seen.count] = base;
        w.seen.path[w.seen.count++] = hash;
    }
    if (!inLast(base, hash)) w.news = true;
    if (!w.write || w.dropped) return 0;
    char id[2 * 64 + 1];
    kovamem::memModuleBuildId(info, id, sizeof id);
    Entry m;
    m.clear();
    // A path is cut at 1024 characters so that a module always fits an entry.
    m.add(" INFO: KovaMemLogModules: module %d base 0x%" PRIxPTR " build-id %s path %.1024s\n", w.index,
          static_cast<uintptr_t>(info->dlpi_addr), id, path);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        m.add(" INFO: KovaMemLogModules: module %d segment 0x%" PRIxPTR "-0x%" PRIxPTR " %c%c%c\n", w.index, lo,
              static_cast<uintptr_t>(lo + ph.p_memsz), (ph.p_flags & PF_R) ? 'r' : '-', (ph.p_flags & PF_W) ? 'w' : '-',
              (ph.p_flags & PF_X) ? 'x' : '-');
    }
    if (w.entry.len + m.len >= MEM_LOG_ENTRY_SIZE) flush(w);
    w.entry.add("%s", m.buf);
    ++w.index;
    return 0;
}

// One walk of the loaded modules; with write, the map goes to the log.
void walk(Walk &w, bool write, bool note) {
    w.entry.clear();
    w.index = 0;
    w.write = write;
    w.note = note;
    w.dropped = false;
    w.news = false;
    w.seen.count = 0;
    dl_iterate_phdr(onModule, &w);
    if (write) flush(w);
}

}  // namespace

extern "C" void KovaMemLogModules(void) {
    kovamem::memCodeMapCheck();  // the stack walk learns what came or went too
    while (!kovamem::memForkGuardEnter()) sched_yield();  // a fork is being prepared: after it
    static Walk w;  // 12 KiB: kept off the caller's stack; calls are serialised
    static pthread_mutex_t one = PTHREAD_MUTEX_INITIALIZER;
    kovamem::memLockCounted(one);
    const uint32_t resets = __atomic_load_n(&memLogResets, __ATOMIC_RELAXED);
    const bool fresh = !gWritten || resets != gLastResets || strcmp(gLastLog, memLogPath) != 0;
    const ssize_t n = readlink("/proc/self/exe", w.exe, sizeof w.exe - 1);
    w.exe[n > 0 ? n : 0] = '\0';
    bool write = fresh;
    if (!fresh) {
        walk(w, false, false);
        write = w.news;
    }
    if (write) walk(w, true, !fresh);
    // A map left out (past three quarters of the cap) is written in full
    // the next time a call finds room: the last written map stays the one
    // the next is compared with.
    if (write && !w.dropped) {
        gLast = w.seen;
        memcpy(gLastLog, memLogPath, sizeof gLastLog);
        gLastResets = resets;
        gWritten = true;
    }
    kovamem::memUnlockCounted(one);
    kovamem::memForkGuardExit();
}
