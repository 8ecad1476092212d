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
#include <elf.h>
#include <link.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include "../internal.h"
#include "prim/codemap.h"

namespace {

using Entry = kovamem::TextBuffer<MEM_LOG_ENTRY_SIZE>;

struct Walk {
    Entry entry;  // lines not yet written
    int index;
    char exe[512];  // the main program's path (its own name is empty)
};

// The build ID from the module's note segments, as hex, or "-".
void buildId(const struct dl_phdr_info *info, char *out, size_t cap) {
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

int onModule(struct dl_phdr_info *info, size_t, void *arg) {
    Walk &w = *static_cast<Walk *>(arg);
    char id[2 * 64 + 1];
    buildId(info, id, sizeof id);
    const char *path = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : w.exe;
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
    if (w.entry.len + m.len >= MEM_LOG_ENTRY_SIZE) {
        memLogPrint("%s", w.entry.buf);
        w.entry.clear();
    }
    w.entry.add("%s", m.buf);
    ++w.index;
    return 0;
}

}  // namespace

extern "C" void KovaMemLogModules(void) {
    kovamem::memCodeMapCheck();  // the stack walk learns what came or went too
    static Walk w;  // 2.5 KiB: kept off the caller's stack; calls are serialised
    static pthread_mutex_t one = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&one);
    w.entry.clear();
    w.index = 0;
    const ssize_t n = readlink("/proc/self/exe", w.exe, sizeof w.exe - 1);
    w.exe[n > 0 ? n : 0] = '\0';
    dl_iterate_phdr(onModule, &w);
    if (w.entry.len > 0) memLogPrint("%s", w.entry.buf);
    pthread_mutex_unlock(&one);
}
