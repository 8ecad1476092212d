// KOVAMEM_OPTIONS, read once when the preload library starts:
//
//   pools=8:2000,32:1000,256:200;trace=1 (or trace=1/64);depth=8;log_kb=1024;report=exit,USR2;freecheck=1;reuse=256
//   metrics=/var/lib/node_exporter;metrics_interval=10;metrics_keep=1
//   grow=256M;guarded=1000:64 (or guarded=1000:64:recover)
//   report_to=file,syslog,journald;fw=2.1.0;device=unit-17;report_first=3;report_interval=60
//
// Keys are separated by ';', values of a list by ','. An unknown key or a
// bad value is reported once in the log and once on standard error, and the
// rest still applies. Without the variable (or without pools=) the embedded
// configuration below serves; the log cap is 1024 KiB unless log_kb= says.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "preload.h"

namespace {

// Sized for a typical program: 3.7 MB of pools (5 MB with their
// management), most blocks small; what outgrows them goes to the C heap
// (or, with growth on, to further pools). A pool costs address space when
// it is set up and resident memory only for the blocks it hands out, so
// larger pools cost a short run nothing.
constexpr int32_t kDefaultPools[MEM_POOL_SLOTS] = {8192, 8192, 8192, 8192, 4096, 1024, 512,
                                                   256,  128,  64,   32,   16,   8,    8};

struct Signal {
    const char *name;
    int number;
};
constexpr Signal kSignals[] = {{"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"HUP", SIGHUP},
                               {"PROF", SIGPROF}, {"WINCH", SIGWINCH}, {"URG", SIGURG}};

// Problems are kept until the log can be written (after KovaMemInit).
char gProblems[4][160];
int gProblemCount;

void problem(const char *format, const char *what, size_t len) {
    if (gProblemCount >= 4) return;
    char quoted[128];  // a list of sinks is long: the part that is wrong may be at its end
    snprintf(quoted, sizeof quoted, "%.*s", static_cast<int>(len < 120 ? len : 120), what);
    snprintf(gProblems[gProblemCount++], sizeof gProblems[0], format, quoted);
}

bool number(const char *s, size_t len, uint32_t max, uint32_t *out) {
    if (len == 0 || len > 10) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < len; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    }
    if (v > max) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

// A byte count: digits, then an optional K, M or G (powers of 1024); 0
// switches off what it sizes.
bool bytes(const char *s, size_t len, uint64_t *out) {
    uint64_t scale = 1;
    if (len > 0 && (s[len - 1] == 'K' || s[len - 1] == 'M' || s[len - 1] == 'G')) {
        scale = s[len - 1] == 'K' ? 1u << 10 : s[len - 1] == 'M' ? 1u << 20 : 1u << 30;
        --len;
    }
    uint32_t n = 0;
    if (!number(s, len, 0xFFFFFFFFu, &n)) return false;
    *out = static_cast<uint64_t>(n) * scale;
    return true;
}

bool equals(const char *s, size_t len, const char *word) { return strlen(word) == len && memcmp(s, word, len) == 0; }

// pools=SIZE:COUNT,...: every size one of the fourteen block sizes.
bool parsePools(const char *v, size_t len, int32_t *pools) {
    int32_t out[MEM_POOL_SLOTS] = {};
    size_t at = 0;
    while (at < len) {
        size_t end = at;
        while (end < len && v[end] != ',') ++end;
        const char *colon = static_cast<const char *>(memchr(v + at, ':', end - at));
        uint32_t size, count;
        if (colon == nullptr || !number(v + at, static_cast<size_t>(colon - (v + at)), 0xFFFFFFFFu, &size) ||
            !number(colon + 1, static_cast<size_t>(v + end - colon - 1), 65535, &count))
            return false;
        int slot = -1;
        for (int i = 0; i < MEM_POOL_SLOTS; ++i)
            if (memPoolSizes[i] == size) slot = i;
        if (slot < 0) return false;
        out[slot] = static_cast<int32_t>(count);
        at = end + 1;
    }
    memcpy(pools, out, sizeof out);
    return true;
}

bool parseReport(const char *v, size_t len, kovamem::PreloadOptions *o) {
    bool exitReport = false;
    int sig = 0;
    size_t at = 0;
    while (at < len) {
        size_t end = at;
        while (end < len && v[end] != ',') ++end;
        const char *w = v + at;
        size_t n = end - at;
        if (n > 3 && memcmp(w, "SIG", 3) == 0) w += 3, n -= 3;
        if (equals(w, n, "exit")) {
            exitReport = true;
        } else {
            int found = 0;
            for (const Signal &s : kSignals)
                if (equals(w, n, s.name)) found = s.number;
            if (found == 0) return false;
            sig = found;
        }
        at = end + 1;
    }
    o->reportAtExit = exitReport;
    o->reportSignal = sig;
    return true;
}

}  // namespace

void kovamem::readPreloadOptions(PreloadOptions *o) {
    memcpy(o->pools, kDefaultPools, sizeof o->pools);
    o->trace = false;
    o->traceSampling = 1;
    o->depth = -1;
    o->logKb = 1024;  // a whole program's reports need more than the library's 16 KiB
    o->reportAtExit = true;
    o->reportSignal = 0;
    o->freeCheck = false;
    o->metricsDir[0] = '\0';
    o->metricsInterval = 10;
    o->metricsKeep = false;
    o->growBytes = 0;
    const char *text = getenv("KOVAMEM_OPTIONS");
    if (text == nullptr) return;
    const char *at = text;
    while (*at != '\0') {
        const char *end = strchr(at, ';');
        if (end == nullptr) end = at + strlen(at);
        const char *eq = static_cast<const char *>(memchr(at, '=', static_cast<size_t>(end - at)));
        const size_t keyLen = eq != nullptr ? static_cast<size_t>(eq - at) : static_cast<size_t>(end - at);
        const char *v = eq != nullptr ? eq + 1 : end;
        const size_t vLen = static_cast<size_t>(end - v);
        uint32_t n = 0;
        bool ok = eq != nullptr;
        if (keyLen == 0 && eq == nullptr) {
            ok = true;  // an empty item (";;" or a trailing ';')
        } else if (equals(at, keyLen, "pools")) {
            ok = ok && parsePools(v, vLen, o->pools);
        } else if (equals(at, keyLen, "trace")) {
            // trace=1, or trace=1/N: one allocation in N traced.
            const char *slash = static_cast<const char *>(memchr(v, '/', vLen));
            const size_t head = slash != nullptr ? static_cast<size_t>(slash - v) : vLen;
            uint32_t every = 1;
            ok = ok && number(v, head, 1, &n) &&
                 (slash == nullptr || (n == 1 && number(slash + 1, vLen - head - 1, 1u << 30, &every) && every > 0));
            if (ok) {
                o->trace = n == 1;
                o->traceSampling = every;
            }
        } else if (equals(at, keyLen, "reuse")) {
            ok = ok && number(v, vLen, 65535, &n);
            if (ok) o->reuse = n;
        } else if (equals(at, keyLen, "freecheck")) {
            ok = ok && number(v, vLen, 1, &n);
            if (ok) o->freeCheck = n == 1;
        } else if (equals(at, keyLen, "depth")) {
            ok = ok && number(v, vLen, MEM_TRACE_ENTRIES - 1, &n);
            if (ok) o->depth = static_cast<int32_t>(n);
        } else if (equals(at, keyLen, "log_kb")) {
            ok = ok && number(v, vLen, 4194303, &n) && n > 0;
            if (ok) o->logKb = n;
        } else if (equals(at, keyLen, "metrics")) {
            ok = ok && vLen > 0 && vLen < sizeof o->metricsDir - 64 && v[0] == '/';
            if (ok) {
                memcpy(o->metricsDir, v, vLen);
                o->metricsDir[vLen] = '\0';
            }
        } else if (equals(at, keyLen, "metrics_interval")) {
            ok = ok && number(v, vLen, 86400, &n) && n > 0;
            if (ok) o->metricsInterval = n;
        } else if (equals(at, keyLen, "metrics_keep")) {
            ok = ok && number(v, vLen, 1, &n);
            if (ok) o->metricsKeep = n == 1;
        } else if (equals(at, keyLen, "guarded")) {
            // guarded=RATE, RATE:SLOTS or RATE:SLOTS:recover.
            const char *c1 = static_cast<const char *>(memchr(v, ':', vLen));
            const size_t l1 = c1 != nullptr ? static_cast<size_t>(c1 - v) : vLen;
            const char *rest = c1 != nullptr ? c1 + 1 : v + vLen;
            const size_t restLen = static_cast<size_t>(v + vLen - rest);
            const char *c2 = static_cast<const char *>(memchr(rest, ':', restLen));
            const size_t l2 = c2 != nullptr ? static_cast<size_t>(c2 - rest) : restLen;
            uint32_t slots = 0;
            ok = ok && number(v, l1, 1u << 30, &n) && (c1 == nullptr || number(rest, l2, 4096, &slots)) &&
                 (c2 == nullptr || equals(c2 + 1, static_cast<size_t>(v + vLen - c2 - 1), "recover"));
            if (ok) {
                o->guardedRate = n;
                o->guardedSlots = slots;
                o->guardedRecover = c2 != nullptr;
            }
        } else if (equals(at, keyLen, "grow")) {
            ok = ok && bytes(v, vLen, &o->growBytes);
        } else if (equals(at, keyLen, "report")) {
            ok = ok && parseReport(v, vLen, o);
        } else if (memIsRecordOption(at, keyLen)) {
            ok = ok && memRecordOption(at, keyLen, v, vLen);
        } else {
            problem("unknown key '%s' (ignored)", at, keyLen);
            ok = true;
        }
        if (!ok) problem("bad value in '%s' (ignored)", at, static_cast<size_t>(end - at));
        at = *end == ';' ? end + 1 : end;
    }
}

void kovamem::tellPreloadProblems() {
    for (int i = 0; i < gProblemCount; ++i) {
        memLogPrint(" ERROR: KOVAMEM_OPTIONS: %s\n", gProblems[i]);
        char line[200];
        const int n = snprintf(line, sizeof line, "kovamem: KOVAMEM_OPTIONS: %s\n", gProblems[i]);
        if (n > 0) (void)!write(2, line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    }
}
