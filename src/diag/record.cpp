// Fault records (default build): for every fault entry the library writes,
// one compact line that a fleet's pipelines can carry off the device
// (diag/sinks.cpp sends it), in addition to the log's entries:
//
//   kovamem/1 kind=<kind> sig=<16 hex> prog=<name> pid=<pid> t=<unix s>
//     up=<uptime s> boot=<8 hex> fw=<firmware> device=<device> [found=report]
//     [ptr=0x<address> size=<bytes>] mods=<i>:<build-id|->:<name>;...
//     [alloc=<i>+<hex offset>,...] [fault=<i>+<hex offset>,...]
//
// on one line, fields separated by single spaces. A chain's frames are
// offsets into the modules listed in mods= (only those the chains use); a
// frame in no known module is "?+<hex address>". The signature is FNV-1a 64
// over the kind and the top kSigFrames frames of each chain, each frame as
// its module's build-id (its name when it has none) and offset, hashed as
// bytes of text: equal on every target for the same modules.
//
// Repeats of a signature: the first report_first (3) records of it in a
// process are sent whole; later ones are counted and sent as
//
//   kovamem/1 kind=repeat of=<kind> sig=<sig> count=<since the last> total=<all> prog=... device=...
//
// at most once per report_interval (60) seconds per signature, and at exit,
// so a fault in a loop sends a few lines and no count is lost. A census line
// (kind=census) at exit, and whenever a host or the preload's metrics
// interval asks (KovaMemFlushReports), gives the fleet its denominator; with
// tracing on it also names the three biggest live allocation sites,
// " mods=... sites=<bytes>/<blocks>/<frames>|...".
//
// Records are built under one lock, taken with a try in a signal handler (a
// record that finds it held is dropped and counted), with no allocation and
// only async-signal-safe calls: the guarded handler sends them too. The
// module table is learned outside handlers (at the options, at every record
// built outside one, when the loader's modules changed); a handler uses it
// as it is.
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include "../internal.h"
#include "prim/codemap.h"

uint8_t kovamem::memRecordsOn;
uint8_t kovamem::memLogOff;

namespace {

using kovamem::RecordOut;

constexpr int kSigFrames = 4;
constexpr int kMaxMods = 64;
constexpr int kDedupSlots = 128;
constexpr uint32_t kCensusSites = 3;  // live allocation sites a census names

struct Mod {
    uintptr_t lo, hi;  // its loadable segments' span
    uintptr_t base;
    char id[65];  // build-id as hex, "-" without one
    char name[48];
};

// The loaded modules as records name them.
struct ModTable {
    Mod mods[kMaxMods];
    int count = 0;
    uint32_t generation = ~0u;       // the code map's, when learned
    uintptr_t ownLo = 0, ownHi = 0;  // the library's own module, when it is not the program
};

struct Dedup {
    uint64_t sig;
    uint8_t kind;
    uint32_t whole;    // records sent whole
    uint32_t pending;  // counted since the last record of it
    uint64_t total;
    int64_t lastSent;  // monotonic seconds of its last line
};

struct State {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    // Options (KovaMemSetReportOptions).
    char fw[65] = "";
    char device[65] = "";
    uint32_t first = 3;
    uint32_t interval = 60;
    // Identity, read at the first record.
    bool known = false;
    char prog[48] = "";
    char boot[9];
    char fwFound[65];
    char deviceFound[65];
    ModTable modules;  // the stage's as of the last record built outside a handler
    // Repeats, per process.
    pid_t pid = 0;
    Dedup seen[kDedupSlots];
    uint32_t seenCount = 0;
    uint32_t seq = 0;
    uint64_t faults = 0, repeats = 0;
    uint32_t lostInHandler = 0;  // records a signal handler found the lock held for
    bool finalDone = false;
    RecordOut out;
};
State gState;

// ---- text, without the C library's formatting (signal handlers) ----
struct Out : kovamem::SafeText {
    void kv(const char *k, const char *v) {
        c(' ');
        s(k);
        c('=');
        s(v);
    }
    void ku(const char *k, uint64_t v) {
        c(' ');
        s(k);
        c('=');
        u(v);
    }
};

uint64_t fnv(uint64_t h, const char *t) {
    for (; *t != '\0'; ++t) h = (h ^ static_cast<uint8_t>(*t)) * 1099511628211ull;
    return (h ^ 0xFF) * 1099511628211ull;  // a separator no text holds
}

// A value as the record carries it: letters, digits and ._:+- kept, the
// rest '_', at most cap - 1 bytes; "-" for nothing.
void clean(char *out, size_t cap, const char *in, size_t n) {
    size_t k = 0;
    for (size_t i = 0; i < n && in[i] != '\0' && k + 1 < cap; ++i) {
        const char ch = in[i];
        const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                          ch == '.' || ch == '_' || ch == ':' || ch == '+' || ch == '-';
        out[k++] = keep ? ch : '_';
    }
    if (k == 0) out[k++] = '-';
    out[k] = '\0';
}

// The first bytes of a small file, NUL-terminated; 0 when it cannot be read.
size_t readSmall(const char *path, char *buf, size_t cap) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return 0;
    size_t n = 0;
    for (ssize_t r; n + 1 < cap && (r = read(fd, buf + n, cap - 1 - n)) > 0;) n += static_cast<size_t>(r);
    close(fd);
    buf[n] = '\0';
    return n;
}

// The value of KEY=value (quotes dropped) in an os-release style text.
bool field(const char *text, const char *key, char *out, size_t cap) {
    const size_t kl = strlen(key);
    for (const char *line = text; *line != '\0';) {
        const char *end = strchr(line, '\n');
        if (end == nullptr) end = line + strlen(line);
        if (static_cast<size_t>(end - line) > kl && memcmp(line, key, kl) == 0 && line[kl] == '=') {
            const char *v = line + kl + 1;
            size_t n = static_cast<size_t>(end - v);
            if (n >= 2 && (v[0] == '"' || v[0] == '\'') && v[n - 1] == v[0]) ++v, n -= 2;
            clean(out, cap, v, n);
            return n > 0;
        }
        line = *end == '\0' ? end : end + 1;
    }
    return false;
}

// The program's file name (no descriptor: readlink).
void learnProgram(State &s) {
    char exe[256];
    const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[len > 0 ? len : 0] = '\0';
    const char *base = strrchr(exe, '/');
    clean(s.prog, sizeof s.prog, base != nullptr ? base + 1 : exe, sizeof exe);
}

// The firmware: VERSION_ID and BUILD_ID of /etc/os-release (OpenWrt, Yocto,
// Buildroot and distributions write it), else OpenWrt's DISTRIB_RELEASE and
// DISTRIB_REVISION; the device: /etc/machine-id, else the host name.
void learnIdentity(State &s) {
    char text[2048], a[65], b[65];
    strcpy(s.fwFound, "-");
    if (readSmall("/etc/os-release", text, sizeof text) != 0 && field(text, "VERSION_ID", a, sizeof a)) {
        if (field(text, "BUILD_ID", b, sizeof b)) {
            Out o{{s.fwFound, sizeof s.fwFound, 0}};
            o.s(a), o.c('-'), o.s(b);
        } else {
            strcpy(s.fwFound, a);
        }
    } else if (readSmall("/etc/openwrt_release", text, sizeof text) != 0 &&
               field(text, "DISTRIB_RELEASE", a, sizeof a)) {
        Out o{{s.fwFound, sizeof s.fwFound, 0}};
        o.s(a);
        if (field(text, "DISTRIB_REVISION", b, sizeof b)) o.c('-'), o.s(b);
    }
    const size_t n = readSmall("/etc/machine-id", text, 40);
    if (n >= 32) {
        clean(s.deviceFound, sizeof s.deviceFound, text, 32);
    } else {
        struct utsname u;
        clean(s.deviceFound, sizeof s.deviceFound, uname(&u) == 0 ? u.nodename : "", 64);
    }
    clean(s.boot, sizeof s.boot, readSmall("/proc/sys/kernel/random/boot_id", text, 16) >= 8 ? text : "", 8);
    if (s.prog[0] == '\0') learnProgram(s);
    s.known = true;
}

// ---- modules ----
// The modules are learned into a stage under a lock of their own, taken
// before the record lock and never inside it: dl_iterate_phdr takes the
// loader's lock, and a thread inside dlopen that meets a fault (a
// constructor's double release) takes the record lock while holding it.
// The record lock's holder then copies the stage: lock order stage, loader;
// stage, record; loader, record.
pthread_mutex_t gStageLock = PTHREAD_MUTEX_INITIALIZER;
ModTable gStage;
char gStageProg[48];

int onModule(struct dl_phdr_info *info, size_t, void *arg) {
    ModTable &t = *static_cast<ModTable *>(arg);
    if (t.count >= kMaxMods) return 1;
    Mod &m = t.mods[t.count];
    m.lo = ~uintptr_t{0};
    m.hi = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        const uintptr_t lo = info->dlpi_addr + ph.p_vaddr;
        if (lo < m.lo) m.lo = lo;
        if (lo + ph.p_memsz > m.hi) m.hi = lo + ph.p_memsz;
    }
    if (m.hi == 0) return 0;
    m.base = info->dlpi_addr;
    kovamem::memModuleBuildId(info, m.id, sizeof m.id);
    const char *path = info->dlpi_name != nullptr && info->dlpi_name[0] != '\0' ? info->dlpi_name : nullptr;
    if (path == nullptr) {
        strcpy(m.name, gStageProg[0] != '\0' ? gStageProg : "-");
    } else {
        const char *base = strrchr(path, '/');
        clean(m.name, sizeof m.name, base != nullptr ? base + 1 : path, 256);
    }
    // The library's own frames lead a chain only when it is a module of its
    // own; linked into the program, its captures start at the caller.
    const uintptr_t self = reinterpret_cast<uintptr_t>(&onModule);
    if (path != nullptr && self >= m.lo && self < m.hi) t.ownLo = m.lo, t.ownHi = m.hi;
    ++t.count;
    return 0;
}

// With the stage lock held and no record lock: the stage learns the
// modules again when they changed since.
void stageModules() {
    kovamem::memCodeMapCheck();
    const uint32_t gen = __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_ACQUIRE);
    if (gen == gStage.generation) return;
    if (gStageProg[0] == '\0') {
        char exe[256];
        const ssize_t len = readlink("/proc/self/exe", exe, sizeof exe - 1);
        exe[len > 0 ? len : 0] = '\0';
        const char *base = strrchr(exe, '/');
        clean(gStageProg, sizeof gStageProg, base != nullptr ? base + 1 : exe, sizeof exe);
    }
    if (!kovamem::memForkGuardEnter()) return;  // a fork is being prepared: the stage stays as it was
    gStage.count = 0;
    gStage.ownLo = gStage.ownHi = 0;
    dl_iterate_phdr(onModule, &gStage);
    kovamem::memForkGuardExit();
    gStage.generation = gen;
}

// With the stage lock and the record lock held.
void takeStage(State &s) {
    if (s.modules.generation != gStage.generation) s.modules = gStage;
}

// Takes the locks a record built outside a handler needs, in their order,
// with the stage brought up to date in between.
void lockForRecord(State &s) {
    kovamem::memLockCounted(gStageLock);
    stageModules();
    kovamem::memLockCounted(s.lock);
    takeStage(s);
}
void unlockForRecord(State &s) {
    kovamem::memUnlockCounted(s.lock);
    kovamem::memUnlockCounted(gStageLock);
}

int modOf(const State &s, uintptr_t a) {
    for (int i = 0; i < s.modules.count; ++i)
        if (a >= s.modules.mods[i].lo && a < s.modules.mods[i].hi) return i;
    return -1;
}

// A chain's frames from the first that is not the library's own.
int chainStart(const State &s, const MemTraceAddr *t) {
    int i = 0;
    while (i < MEM_TRACE_ENTRIES && t[i] != MEM_TRACE_END && t[i] >= s.modules.ownLo && t[i] < s.modules.ownHi) ++i;
    return i;
}

// A frame as the signature hashes it: its module's build-id (its name
// when it has none) and offset, "<id>+<hex>"; "?+<hex address>" outside
// every known module.
void frameText(const State &s, MemTraceAddr a, char *out, size_t cap) {
    const int m = modOf(s, a);
    Out o{{out, cap, 0}};
    if (m >= 0) {
        o.s(strcmp(s.modules.mods[m].id, "-") != 0 ? s.modules.mods[m].id : s.modules.mods[m].name);
        o.c('+');
        o.x(a - s.modules.mods[m].base);
    } else {
        o.s("?+");
        o.x(a);
    }
}

// The top kSigFrames frames of a chain after the library's own, as text.
int sigFrames(const State &s, const MemTraceAddr *t, char (*out)[96]) {
    int n = 0;
    if (t == nullptr) return 0;
    for (int i = chainStart(s, t); i < MEM_TRACE_ENTRIES && t[i] != MEM_TRACE_END && n < kSigFrames; ++i)
        frameText(s, t[i], out[n++], sizeof out[0]);
    return n;
}

const char *const kKindNames[] = {"overrun",         "underrun",           "overrun+underrun",   "double-free",
                                  "free-quarantined", "free-interior",      "realloc-free",       "realloc-quarantined",
                                  "realloc-interior", "write-after-free",   "guarded-overrun",    "guarded-underrun",
                                  "guarded-use-after-free", "repeat",       "census"};
static_assert(sizeof kKindNames / sizeof kKindNames[0] == kovamem::kRecordKinds, "a name per kind");

const char *fwOf(const State &s) { return s.fw[0] != '\0' ? s.fw : s.fwFound; }
const char *deviceOf(const State &s) { return s.device[0] != '\0' ? s.device : s.deviceFound; }

// The fields every line carries after its kind and signature.
void common(State &s, Out &o) {
    struct timespec rt, up;
    clock_gettime(CLOCK_REALTIME, &rt);
    clock_gettime(CLOCK_BOOTTIME, &up);
    o.kv("prog", s.prog);
    o.ku("pid", static_cast<uint64_t>(s.pid));
    o.ku("t", static_cast<uint64_t>(rt.tv_sec));
    o.ku("up", static_cast<uint64_t>(up.tv_sec));
    o.kv("boot", s.boot);
    o.kv("fw", fwOf(s));
    o.kv("device", deviceOf(s));
}

int64_t monotonic() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec);
}

void begin(State &s, RecordOut &r, kovamem::RecordKind kind, uint64_t sig) {
    r.kind = kind;
    r.kindName = kKindNames[kind];
    Out sg{{r.sig, sizeof r.sig, 0}};
    sg.x(sig, 16);
    r.fw = fwOf(s);
    r.device = deviceOf(s);
    r.buildIds[0] = '\0';
    r.seq = ++s.seq;
    r.pid = s.pid;
    r.len = 0;
}

void sendRepeat(State &s, Dedup &d) {
    RecordOut &r = s.out;
    begin(s, r, kovamem::kRecordRepeat, d.sig);
    Out o{{r.line, sizeof r.line, 0}};
    o.s("kovamem/1 kind=repeat");
    o.kv("of", kKindNames[d.kind]);
    o.kv("sig", r.sig);
    o.ku("count", d.pending);
    o.ku("total", d.total);
    common(s, o);
    r.len = o.len;
    r.count = d.pending;
    ++s.repeats;
    d.pending = 0;
    d.lastSent = monotonic();
    kovamem::memSinksSend(r);
}

// A child of fork starts its own counts: the parent's are its to send.
void ownProcess(State &s) {
    const pid_t now = getpid();
    if (now == s.pid) return;
    s.pid = now;
    s.seenCount = 0;
    s.seq = 0;
    s.faults = s.repeats = 0;
    s.finalDone = false;
    kovamem::memSinksForked();
}

Dedup *slotOf(State &s, uint64_t sig, kovamem::RecordKind kind) {
    for (uint32_t i = 0; i < s.seenCount; ++i)
        if (s.seen[i].sig == sig) return &s.seen[i];
    if (s.seenCount == kDedupSlots) return nullptr;  // past the table: every record whole
    Dedup &d = s.seen[s.seenCount++];
    d = Dedup{sig, static_cast<uint8_t>(kind), 0, 0, 0, 0};
    return &d;
}

// A chain's frames, "i+offset" by the modules of mods= (used: their bits).
void putFrames(const State &s, Out &o, const MemTraceAddr *t, uint64_t used) {
    bool firstFrame = true;
    for (int i = chainStart(s, t); i < MEM_TRACE_ENTRIES && t[i] != MEM_TRACE_END; ++i) {
        if (!firstFrame) o.c(',');
        firstFrame = false;
        const int m = modOf(s, t[i]);
        if (m >= 0 && (used >> m & 1u) != 0) {
            int index = 0;  // its place in mods=
            for (int j = 0; j < m; ++j) index += static_cast<int>(used >> j & 1u);
            o.u(static_cast<uint64_t>(index));
            o.c('+');
            o.x(t[i] - s.modules.mods[m].base);
        } else {
            o.s("?+");
            o.x(t[i]);
        }
    }
}

void putChain(const State &s, Out &o, const char *name, const MemTraceAddr *t, uint64_t used) {
    if (t == nullptr || t[0] == MEM_TRACE_END) return;
    o.c(' ');
    o.s(name);
    o.c('=');
    putFrames(s, o, t, used);
}

uint64_t modulesUsed(const State &s, const MemTraceAddr *t) {
    uint64_t used = 0;
    if (t == nullptr) return 0;
    for (int i = chainStart(s, t); i < MEM_TRACE_ENTRIES && t[i] != MEM_TRACE_END; ++i) {
        const int m = modOf(s, t[i]);
        if (m >= 0) used |= uint64_t{1} << m;
    }
    return used;
}

// " mods=index:build-id:name;..." of the modules used, their build-ids
// also into the record's list for the sinks.
void putMods(const State &s, Out &o, RecordOut &r, uint64_t used) {
    o.s(" mods=");
    Out ids{{r.buildIds, sizeof r.buildIds, 0}};
    bool firstMod = true;
    for (int m = 0, index = 0; m < s.modules.count; ++m) {
        if ((used >> m & 1u) == 0) continue;
        if (!firstMod) o.c(';'), ids.c(' ');
        firstMod = false;
        o.u(static_cast<uint64_t>(index++));
        o.c(':');
        o.s(s.modules.mods[m].id);
        o.c(':');
        o.s(s.modules.mods[m].name);
        ids.s(s.modules.mods[m].id);
    }
    if (firstMod) o.c('-');
}

void sendWhole(State &s, const kovamem::FaultRecord &f, uint64_t sig) {
    RecordOut &r = s.out;
    begin(s, r, f.kind, sig);
    Out o{{r.line, sizeof r.line, 0}};
    o.s("kovamem/1 kind=");
    o.s(r.kindName);
    o.kv("sig", r.sig);
    common(s, o);
    if (f.atReport) o.kv("found", "report");
    if (f.ptr != 0) {
        o.s(" ptr=0x");
        o.x(f.ptr);
        if (f.size != 0) o.ku("size", f.size);
    }
    const uint64_t used = modulesUsed(s, f.alloc) | modulesUsed(s, f.fault);
    putMods(s, o, r, used);
    putChain(s, o, "alloc", f.alloc, used);
    putChain(s, o, "fault", f.fault, used);
    r.len = o.len;
    r.count = 1;
    kovamem::memSinksSend(r);
}

}  // namespace

uint64_t kovamem::memRecordSignature(const char *kind, const char *const *alloc, int na, const char *const *fault,
                                     int nf) {
    uint64_t h = fnv(14695981039346656037ull, kind);
    for (int i = 0; i < na; ++i) h = fnv(h, alloc[i]);
    h = fnv(h, "");
    for (int i = 0; i < nf; ++i) h = fnv(h, fault[i]);
    return fnv(h, "");
}

void kovamem::memRecordFault(const FaultRecord &f, bool inHandler) {
    State &s = gState;
    if (inHandler) {
        // The modules as last learned: a handler calls nothing of the loader.
        if (pthread_mutex_trylock(&s.lock) != 0) {
            __atomic_fetch_add(&s.lostInHandler, 1u, __ATOMIC_RELAXED);
            return;
        }
    } else {
        lockForRecord(s);
    }
    if (memLoad(memRecordsOn) != 0) {
        ownProcess(s);
        if (!s.known) learnIdentity(s);
        char allocText[kSigFrames][96], faultText[kSigFrames][96];
        const char *allocFrames[kSigFrames], *faultFrames[kSigFrames];
        const int na = sigFrames(s, f.alloc, allocText), nf = sigFrames(s, f.fault, faultText);
        for (int i = 0; i < kSigFrames; ++i) allocFrames[i] = allocText[i], faultFrames[i] = faultText[i];
        const uint64_t sig = memRecordSignature(kKindNames[f.kind], allocFrames, na, faultFrames, nf);
        ++s.faults;
        Dedup *d = slotOf(s, sig, f.kind);
        if (d == nullptr || d->whole < s.first) {
            if (d != nullptr) ++d->whole, ++d->total, d->lastSent = monotonic();
            sendWhole(s, f, sig);
        } else {
            ++d->pending;
            ++d->total;
            if (monotonic() - d->lastSent >= static_cast<int64_t>(s.interval)) sendRepeat(s, *d);
        }
    }
    if (inHandler)
        pthread_mutex_unlock(&s.lock);
    else
        unlockForRecord(s);
}

void kovamem::memRecordsPrepare() {
    State &s = gState;
    lockForRecord(s);
    if (s.prog[0] == '\0') learnProgram(s);
    unlockForRecord(s);
}

const char *kovamem::memRecordsInvalid(char *why, size_t cap) {
    State &s = gState;
    const char *bad = nullptr;
    kovamem::memLockCounted(s.lock);
    if (s.seenCount > kDedupSlots) {
        snprintf(why, cap, "records: %u signatures in a table of %d", s.seenCount, kDedupSlots);
        bad = why;
    }
    for (uint32_t i = 0; bad == nullptr && i < s.seenCount; ++i) {
        const Dedup &d = s.seen[i];
        // Every occurrence is sent whole or counted, and a count waits only
        // behind whole records.
        if (d.total < static_cast<uint64_t>(d.whole) + d.pending || (d.pending != 0 && d.whole == 0) ||
            d.kind >= kRecordRepeat) {
            snprintf(why, cap, "records: signature %016llx counts %u whole, %u pending, %llu in all (kind %u)",
                     static_cast<unsigned long long>(d.sig), d.whole, d.pending,
                     static_cast<unsigned long long>(d.total), d.kind);
            bad = why;
        }
        for (uint32_t j = 0; bad == nullptr && j < i; ++j)
            if (s.seen[j].sig == d.sig) {
                snprintf(why, cap, "records: signature %016llx listed twice", static_cast<unsigned long long>(d.sig));
                bad = why;
            }
    }
    if (bad == nullptr) bad = memSinksInvalid(why, cap);
    kovamem::memUnlockCounted(s.lock);
    return bad;
}

bool kovamem::memRecordOption(const char *key, size_t keyLen, const char *v, size_t vLen) {
    State &s = gState;
    auto is = [&](const char *word) { return strlen(word) == keyLen && memcmp(key, word, keyLen) == 0; };
    auto number = [&](uint32_t lo, uint32_t hi, uint32_t *out) {
        uint64_t n = 0;
        if (vLen == 0 || vLen > 9) return false;
        for (size_t i = 0; i < vLen; ++i) {
            if (v[i] < '0' || v[i] > '9') return false;
            n = n * 10 + static_cast<uint64_t>(v[i] - '0');
        }
        if (n < lo || n > hi) return false;
        *out = static_cast<uint32_t>(n);
        return true;
    };
    if (is("report_to")) return memSinksChoose(v, vLen);
    if (is("fw") || is("device")) {
        if (vLen == 0 || vLen > 64) return false;
        char *to = is("fw") ? s.fw : s.device;
        clean(to, 65, v, vLen);
        return true;
    }
    if (is("report_first")) return number(0, 1000000, &s.first);
    if (is("report_interval")) return number(1, 86400 * 7, &s.interval);
    return memSinkOption(key, keyLen, v, vLen);
}

bool kovamem::memIsRecordOption(const char *key, size_t keyLen) {
    static const char *const keys[] = {"report_to",   "fw",       "device",     "report_first", "report_interval",
                                       "spool_files", "spool_kb", "report_line"};
    for (const char *k : keys)
        if (strlen(k) == keyLen && memcmp(k, key, keyLen) == 0) return true;
    return false;
}

// Every count not yet sent, then (census) the process's figures.
static void flushReports(bool census) {
    State &s = gState;
    if (kovamem::memLoad(kovamem::memRecordsOn) == 0) return;
    KovaMemStats st{};
    st.size = sizeof st;
    const bool figures = census && KovaMemGetStats(&st) == 0;  // before the lock: it may find faults
    // The biggest live allocation sites, when blocks are traced: a fleet
    // sees which sites grow with uptime.
    kovamem::LiveSite sites[kCensusSites];
    const uint32_t siteCount =
        census && kovamem::memLoad(memStackData.logStack) == 1 ? kovamem::memTopLiveSites(sites, kCensusSites) : 0;
    lockForRecord(s);
    ownProcess(s);
    if (!s.known) learnIdentity(s);
    for (uint32_t i = 0; i < s.seenCount; ++i)
        if (s.seen[i].pending != 0) sendRepeat(s, s.seen[i]);
    if (census) {
        RecordOut &r = s.out;
        begin(s, r, kovamem::kRecordCensus, 0);
        Out o{{r.line, sizeof r.line, 0}};
        o.s("kovamem/1 kind=census");
        common(s, o);
        if (figures) {
            o.ku("allocs", st.memMallocCount);
            o.ku("frees", st.memFreeCount);
            o.ku("sys_allocs", st.sysMallocCount);
            o.ku("live_bytes", st.requiredBytes);
            o.ku("used_bytes", st.usedBytes);
            o.ku("peak_bytes", st.peakBytes);
            o.ku("quarantined", st.corruptCount);
        }
        o.ku("faults", s.faults);
        o.ku("signatures", s.seenCount);
        o.ku("repeats", s.repeats);
        o.ku("dropped", kovamem::memSinksDropped() + __atomic_load_n(&s.lostInHandler, __ATOMIC_RELAXED));
        if (siteCount != 0) {
            uint64_t used = 0;
            for (uint32_t i = 0; i < siteCount; ++i) used |= modulesUsed(s, sites[i].trace);
            putMods(s, o, r, used);
            o.s(" sites=");  // bytes/blocks/frames, '|' between sites
            for (uint32_t i = 0; i < siteCount; ++i) {
                if (i != 0) o.c('|');
                o.u(sites[i].bytes);
                o.c('/');
                o.u(sites[i].count);
                o.c('/');
                putFrames(s, o, sites[i].trace, used);
            }
        }
        r.len = o.len;
        r.count = 0;
        kovamem::memSinksSend(r);
    }
    unlockForRecord(s);
}

// Monotonic seconds (32 bits: a word every target updates atomically):
// repeat counts are looked at no more than once a second.
static uint32_t gNextDue;

void kovamem::memReportsDue() {
    State &s = gState;
    const int64_t now = monotonic();
    if (memLoad(memRecordsOn) == 0 || static_cast<uint32_t>(now) < __atomic_load_n(&gNextDue, __ATOMIC_RELAXED)) return;
    __atomic_store_n(&gNextDue, static_cast<uint32_t>(now + 1), __ATOMIC_RELAXED);
    kovamem::memLockCounted(s.lock);
    ownProcess(s);
    for (uint32_t i = 0; i < s.seenCount; ++i)
        if (s.seen[i].pending != 0 && now - s.seen[i].lastSent >= static_cast<int64_t>(s.interval))
            sendRepeat(s, s.seen[i]);
    kovamem::memUnlockCounted(s.lock);
}

void kovamem::memReportsAtExit() {
    State &s = gState;
    if (memLoad(memRecordsOn) == 0 || s.finalDone) return;
    flushReports(true);
    kovamem::memLockCounted(s.lock);
    s.finalDone = true;
    memSinksFinish();
    kovamem::memUnlockCounted(s.lock);
}

void kovamem::memRecordsHold(bool hold) {
    if (config_classic) return;
    if (hold) {
        kovamem::memLockCounted(gStageLock);
        kovamem::memLockCounted(gState.lock);
    } else {
        kovamem::memUnlockCounted(gState.lock);
        kovamem::memUnlockCounted(gStageLock);
    }
}

// Hosts that end by returning from main or calling exit get the final
// counts and census without a call of their own.
__attribute__((destructor)) static void reportsAtUnload() { kovamem::memReportsAtExit(); }

extern "C" {

// Default build: the fault records' options, as KOVAMEM_OPTIONS spells them
// (report_to=LIST;fw=...;device=...;report_first=N;report_interval=S;
// spool_files=N;spool_kb=N). Items that are refused are written to the log
// and the rest applies; 0 when every item applied.
int32_t KovaMemSetReportOptions(const char *options) {
    if (kovamem::config_classic || options == nullptr) return -1;
    int32_t result = 0;
    for (const char *at = options; *at != '\0';) {
        const char *end = strchr(at, ';');
        if (end == nullptr) end = at + strlen(at);
        const char *eq = static_cast<const char *>(memchr(at, '=', static_cast<size_t>(end - at)));
        const bool ok = end == at || (eq != nullptr && kovamem::memRecordOption(at, static_cast<size_t>(eq - at), eq + 1,
                                                                                static_cast<size_t>(end - eq - 1)));
        if (!ok) {
            memLogPrint(" ERROR: KovaMemSetReportOptions: bad item '%.*s' (ignored)\n", static_cast<int>(end - at), at);
            result = -1;
        }
        at = *end == ';' ? end + 1 : end;
    }
    if (kovamem::memLoad(kovamem::memRecordsOn) != 0) kovamem::memRecordsPrepare();
    return result;
}

// Default build: sends every repeat count not yet sent and a census record.
void KovaMemFlushReports(void) {
    if (!kovamem::config_classic) flushReports(true);
}

}  // extern "C"
