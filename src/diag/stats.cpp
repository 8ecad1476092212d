// The statistics snapshot and its renderings, the peak window, the mark.
//
// A snapshot is one copy of the figures taken under all locks;
// nothing is formatted under it. The renderings take their own snapshot on
// the stack and format it into the caller's buffer with snprintf (integers
// only: no floating point on soft-float targets), returning the length of
// the whole text as snprintf does, so that a short buffer tells the size
// it needs. Nothing here allocates but KovaMemStatsWriteFile, which
// composes its file's text in one block of the C heap.
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include "../internal.h"

static_assert(sizeof(KovaMemPoolStats) == 48, "KovaMemPoolStats is 48 bytes on every target");
static_assert(offsetof(KovaMemStats, peakEpochStart) == 152, "KovaMemStats head layout");
static_assert(offsetof(KovaMemStats, pools) == 160, "KovaMemStats pools at 160 on every target");
static_assert(sizeof(KovaMemStats) == 920, "KovaMemStats is 920 bytes on every target");
// Version 1 ended at the pool array: callers built with it pass this size.
constexpr uint32_t kStatsV1Size = 832;

namespace {

// A 64-bit C-heap counter from its atomic low word and its high word; the
// high word is read again to see that no wrap came between.
uint64_t wide(const uint32_t &low, const uint32_t &high) {
    for (;;) {
        const uint32_t h = __atomic_load_n(&high, __ATOMIC_RELAXED);
        const uint32_t l = __atomic_load_n(&low, __ATOMIC_RELAXED);
        if (__atomic_load_n(&high, __ATOMIC_RELAXED) == h) return (static_cast<uint64_t>(h) << 32) | l;
    }
}

// A snapshot with room for every pool: the struct's own array holds the
// first 14, more holds the rest (grown pools, default build).
struct Snapshot {
    KovaMemStats s;
    KovaMemPoolStats more[kovamem::kMaxPools - MEM_POOL_SLOTS];
    const KovaMemPoolStats &pool(uint32_t k) const { return k < MEM_POOL_SLOTS ? s.pools[k] : more[k - MEM_POOL_SLOTS]; }
    KovaMemPoolStats &pool(uint32_t k) { return k < MEM_POOL_SLOTS ? s.pools[k] : more[k - MEM_POOL_SLOTS]; }
};

// Fills n (all of it) from the manager; false when it is not initialised.
// The guards of the busy blocks are checked meanwhile, and what is found
// told by op (default build).
bool snapshot(Snapshot &n, const char *op) {
    KovaMemStats &s = n.s;
    MemMgrDetails &m = memMgrDetails;
    memset(&n, 0, sizeof n);
    if (m.initialized == 0 || kovamem::memRefusedInHandler(op)) return false;
    s.size = sizeof s;
    s.version = KOVAMEM_STATS_VERSION;
    kovamem::GuardFindings guards;
    kovamem::memLockAll();
    kovamem::memSumCounts();
    kovamem::memScanGuards(&guards);
    const MemStackData &d = *m.stackData;
    s.poolCountAll = m.poolCount;
    s.poolCount = m.poolCount < MEM_POOL_SLOTS ? m.poolCount : MEM_POOL_SLOTS;
    s.growthBudget = kovamem::memGrowth.budget;
    s.growthBytes = kovamem::memGrowth.used;
    const kovamem::GuardedArea &g = kovamem::memGuarded;
    s.guardedRate = kovamem::memLoad(kovamem::memGuardedRate);
    s.guardedSlots = g.slots;
    s.guardedBusy = g.busy;
    s.guardedWaiting = g.waiting;
    s.guardedRetired = kovamem::memLoad(g.retired);
    s.guardedFaults = kovamem::memLoad(g.faults);
    s.guardedAllocs = g.allocs;
    s.guardedAreaBytes = g.bytes;
    for (unsigned k = 0; k < m.poolCount; ++k) s.reuseShortfalls += kovamem::memPoolHot[k].shortfalls;
    s.corruptCount = m.corruptCount;
    s.memReallocCount = kovamem::memHot.reallocs;
    // The totals again, in 64 bits: the manager's 32-bit sums wrap on a
    // 64-bit host whose pools hold 4 GiB or more.
    s.totalMgmt = kovamem::kMgmtManager;
    // The manager's own records: its details, its lock, the per-pool
    // tables beside the exported pool table (the pools in use).
    s.managementBytes = sizeof(MemMgrDetails) + sizeof(MemMutex) + sizeof kovamem::memByAddress + sizeof kovamem::memHot +
                        static_cast<uint64_t>(m.poolCount) * (sizeof(kovamem::PoolGeom) + sizeof(kovamem::PoolHot));
    s.traceTableBytes = sizeof memStackRecords + sizeof(MemStackData) + sizeof(MemMutex) + sizeof memHeld;
    s.traceOn = kovamem::memLoad(d.logStack) == 1;
    s.traceRecordsFree = d.freeCount;
    s.traceRecordsBusy = d.busyCount;
    s.traceRecordsHeld = memHeld.count;
    s.traceMemory = d.debugMemUsage;
    s.peakEpoch = kovamem::memHot.peakEpoch;
    s.peakEpochStart = kovamem::memHot.peakEpochStart;
    for (uint16_t k = 0; k < m.poolCount; ++k) {
        const MemPool &p = kovamem::memPool(k);
        KovaMemPoolStats &o = n.pool(k);
        o.blockSize = p.blockSize;
        o.blockCount = p.blockCount;
        o.freeCount = p.freeCount;
        o.busyCount = p.busyCount;
        o.corruptCount = p.corruptCount;
        o.reqBytes = p.reqBytes;
        const kovamem::PoolHot &st = kovamem::memPoolHot[k];
        o.peakCount = st.windowPeak;
        o.peakCountLifetime = p.peakCount;
        o.allocCount = st.allocs;
        o.releaseCount = st.allocs - p.busyCount - st.damaged;
        s.totalData += static_cast<uint64_t>(p.blockCount) * p.blockSize;
        s.totalMgmt += kovamem::kMgmtPerPool + static_cast<uint64_t>(kovamem::memMgmtPerBlock(p.blockSize)) * p.blockCount;
        s.managementBytes += sizeof(MemPool) + kovamem::memMetaBytes(p.blockCount) +
                             static_cast<uint64_t>(p.blockCount) * (kovamem::memSlotStride(p.blockSize) - p.blockSize);
    }
    s.totalReserved = s.totalMgmt + s.totalData;
    kovamem::memUnlockAll();
    if (guards.count != 0) kovamem::memLogGuardFindings(op, guards);
    // Sums and the C-heap counters, outside the lock.
    s.sysMallocCount = wide(m.sysMallocCount, kovamem::memHot.sysHigh.malloc);
    s.sysReallocCount = wide(m.sysReallocCount, kovamem::memHot.sysHigh.realloc);
    s.sysFreeCount = wide(m.sysFreeCount, kovamem::memHot.sysHigh.free);
    for (uint32_t k = 0; k < s.poolCountAll; ++k) {
        const KovaMemPoolStats &o = n.pool(k);
        s.memMallocCount += o.allocCount;
        s.memFreeCount += o.releaseCount;
        s.freeBytes += static_cast<uint64_t>(o.freeCount) * o.blockSize;
        s.requiredBytes += o.reqBytes;
        s.usedBytes += static_cast<uint64_t>(o.busyCount) * o.blockSize;
        s.peakBytes += static_cast<uint64_t>(o.peakCountLifetime) * o.blockSize;
        s.peakBytesWindow += static_cast<uint64_t>(o.peakCount) * o.blockSize;
    }
    return true;
}

// Text composed into a caller's buffer; len counts the whole text, also
// the part that did not fit.
struct Out {
    char *buf;
    uint32_t cap;
    uint64_t len;
    void add(const char *format, ...) MEM_PRINTF(2, 3);
    int result() const {
        if (cap > 0) buf[len < cap ? len : cap - 1] = '\0';
        return len > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(len);
    }
};

void Out::add(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    char *at = len < cap ? buf + len : nullptr;
    const size_t room = len < cap ? cap - static_cast<size_t>(len) : 0;
    const int n = vsnprintf(at, room, format, ap);
    va_end(ap);
    if (n > 0) len += static_cast<uint64_t>(n);
}

using U = unsigned long long;

}  // namespace

extern "C" {

int KovaMemGetStats(KovaMemStats *out) {
    if (out == nullptr || out->size < kStatsV1Size) return -1;
    Snapshot n;
    if (!snapshot(n, __func__)) return -1;
    const KovaMemStats &s = n.s;
    const uint32_t theirs = out->size;
    // A caller compiled with an earlier version gets what it knows; one
    // compiled with a later header gets zero where this library knows
    // nothing.
    const size_t both = theirs < sizeof s ? theirs : sizeof s;
    memcpy(out, &s, both);
    if (theirs > sizeof s) memset(reinterpret_cast<uint8_t *>(out) + sizeof s, 0, theirs - sizeof s);
    out->size = theirs;
    return 0;
}

int KovaMemGetPoolStats(uint32_t first, KovaMemPoolStats *out, uint32_t count) {
    if (out == nullptr && count != 0) return -1;
    Snapshot n;
    if (!snapshot(n, __func__)) return -1;
    uint32_t done = 0;
    for (; done < count && first + done < n.s.poolCountAll; ++done) out[done] = n.pool(first + done);
    return static_cast<int>(done);
}

int KovaMemStatsJson(char *buf, uint32_t cap) {
    Snapshot n;
    if (!snapshot(n, __func__)) return -1;
    const KovaMemStats &s = n.s;
    Out o{buf, buf == nullptr ? 0 : cap, 0};
    o.add("{\"schemaVersion\": 1, \"size\": %u, \"version\": %u, \"poolCount\": %u, \"corruptCount\": %u,\n", s.size,
          s.version, s.poolCountAll, s.corruptCount);
    o.add(" \"memMallocCount\": %llu, \"memReallocCount\": %llu, \"memFreeCount\": %llu,\n", U(s.memMallocCount),
          U(s.memReallocCount), U(s.memFreeCount));
    o.add(" \"sysMallocCount\": %llu, \"sysReallocCount\": %llu, \"sysFreeCount\": %llu,\n", U(s.sysMallocCount),
          U(s.sysReallocCount), U(s.sysFreeCount));
    o.add(" \"totalReserved\": %llu, \"totalMgmt\": %llu, \"totalData\": %llu,\n", U(s.totalReserved), U(s.totalMgmt),
          U(s.totalData));
    o.add(" \"managementBytes\": %llu, \"traceTableBytes\": %llu, \"growthBudget\": %llu, \"growthBytes\": %llu,\n",
          U(s.managementBytes), U(s.traceTableBytes), U(s.growthBudget), U(s.growthBytes));
    o.add(" \"guardedRate\": %u, \"guardedSlots\": %u, \"guardedBusy\": %u, \"guardedWaiting\": %u, "
          "\"guardedRetired\": %u, \"guardedFaults\": %u, \"guardedAllocs\": %llu, \"guardedAreaBytes\": %llu,\n",
          s.guardedRate, s.guardedSlots, s.guardedBusy, s.guardedWaiting, s.guardedRetired, s.guardedFaults,
          U(s.guardedAllocs), U(s.guardedAreaBytes));
    o.add(" \"reuseShortfalls\": %llu,\n", U(s.reuseShortfalls));
    o.add(" \"freeBytes\": %llu, \"requiredBytes\": %llu, \"usedBytes\": %llu, \"peakBytes\": %llu, "
          "\"peakBytesWindow\": %llu,\n",
          U(s.freeBytes), U(s.requiredBytes), U(s.usedBytes), U(s.peakBytes), U(s.peakBytesWindow));
    o.add(" \"traceOn\": %u, \"traceRecordsFree\": %u, \"traceRecordsBusy\": %u, \"traceRecordsHeld\": %u, "
          "\"traceMemory\": %u,\n",
          s.traceOn, s.traceRecordsFree, s.traceRecordsBusy, s.traceRecordsHeld, s.traceMemory);
    o.add(" \"peakEpoch\": %u, \"peakEpochStart\": %llu,\n \"pools\": [", s.peakEpoch, U(s.peakEpochStart));
    for (uint32_t k = 0; k < s.poolCountAll; ++k) {
        const KovaMemPoolStats &p = n.pool(k);
        o.add("%s\n  {\"blockSize\": %u, \"blockCount\": %u, \"freeCount\": %u, \"busyCount\": %u, "
              "\"corruptCount\": %u, \"reqBytes\": %u, \"peakCount\": %u, \"peakCountLifetime\": %u, "
              "\"allocCount\": %llu, \"releaseCount\": %llu}",
              k == 0 ? "" : ",", p.blockSize, p.blockCount, p.freeCount, p.busyCount, p.corruptCount, p.reqBytes,
              p.peakCount, p.peakCountLifetime, U(p.allocCount), U(p.releaseCount));
    }
    o.add("\n ]\n}\n");
    return o.result();
}

}  // extern "C"

namespace {

// The Prometheus text of s into o; labels (`name="value",...`, or empty)
// go on every series, so that the files of several processes can stand in
// one directory of node_exporter's textfile collector.
void prometheusText(Out &o, const Snapshot &n, const char *labels) {
    const KovaMemStats &s = n.s;
    const bool labelled = labels[0] != '\0';
    struct Global {
        const char *name, *type, *help;
        uint64_t value;
    };
    const Global globals[] = {
        {"kovamem_pool_allocations_total", "counter", "Allocations served by the pools.", s.memMallocCount},
        {"kovamem_pool_reallocations_total", "counter", "Reallocations that moved a pool block.", s.memReallocCount},
        {"kovamem_pool_releases_total", "counter", "Pool blocks released intact.", s.memFreeCount},
        {"kovamem_heap_allocations_total", "counter", "Allocations served by the C heap.", s.sysMallocCount},
        {"kovamem_heap_reallocations_total", "counter", "C-heap blocks reallocated.", s.sysReallocCount},
        {"kovamem_heap_releases_total", "counter", "C-heap blocks released.", s.sysFreeCount},
        {"kovamem_reserved_bytes", "gauge", "Data and management memory of the pools.", s.totalReserved},
        {"kovamem_management_bytes", "gauge", "Management memory of the pools.", s.totalMgmt},
        {"kovamem_data_bytes", "gauge", "Data memory of the pools.", s.totalData},
        {"kovamem_management_real_bytes", "gauge", "Management memory as this build lays it out.", s.managementBytes},
        {"kovamem_trace_table_bytes", "gauge", "Memory of the trace-record table.", s.traceTableBytes},
        {"kovamem_growth_budget_bytes", "gauge", "Bytes the grown pools may take (0: no growth).", s.growthBudget},
        {"kovamem_growth_bytes", "gauge", "Bytes the grown pools take.", s.growthBytes},
        {"kovamem_guarded_allocations_total", "counter", "Allocations placed in the guarded area.", s.guardedAllocs},
        {"kovamem_guarded_busy_blocks", "gauge", "Live guarded blocks.", s.guardedBusy},
        {"kovamem_guarded_faults_total", "counter", "Faults on guarded blocks reported.", s.guardedFaults},
        {"kovamem_reuse_shortfalls_total", "counter",
         "Magazine refills that took blocks released more recently than the reuse distance.", s.reuseShortfalls},
        {"kovamem_free_bytes", "gauge", "Free blocks times their block size.", s.freeBytes},
        {"kovamem_requested_bytes", "gauge", "Bytes asked for by busy pool blocks.", s.requiredBytes},
        {"kovamem_used_bytes", "gauge", "Busy blocks times their block size.", s.usedBytes},
        {"kovamem_peak_bytes", "gauge", "Lifetime peak blocks times their block size.", s.peakBytes},
        {"kovamem_window_peak_bytes", "gauge", "Peak blocks since the last reset times their block size.",
         s.peakBytesWindow},
        {"kovamem_quarantined_blocks", "gauge", "Blocks quarantined for a damaged guard or a write after release.",
         s.corruptCount},
        {"kovamem_trace_enabled", "gauge", "1 while allocation tracing is on.", s.traceOn},
        {"kovamem_trace_records_free", "gauge", "Trace records free.", s.traceRecordsFree},
        {"kovamem_trace_records_busy", "gauge", "Trace records of live blocks.", s.traceRecordsBusy},
        {"kovamem_trace_records_held", "gauge", "Trace records kept by released blocks.", s.traceRecordsHeld},
        {"kovamem_peak_epoch", "gauge", "Number of the current peak window.", s.peakEpoch},
        {"kovamem_peak_epoch_start_seconds", "gauge", "Start of the current peak window, seconds since 1970.",
         s.peakEpochStart},
    };
    for (const Global &g : globals)
        o.add("# HELP %s %s\n# TYPE %s %s\n%s%s%s%s %llu\n", g.name, g.help, g.name, g.type, g.name,
              labelled ? "{" : "", labels, labelled ? "}" : "", U(g.value));
    struct PerPool {
        const char *name, *type, *help;
    };
    const PerPool perPool[] = {
        {"kovamem_pool_blocks", "gauge", "Blocks in the pool."},
        {"kovamem_pool_free_blocks", "gauge", "Free blocks in the pool."},
        {"kovamem_pool_busy_blocks", "gauge", "Busy blocks in the pool."},
        {"kovamem_pool_quarantined_blocks", "gauge", "Quarantined blocks of the pool."},
        {"kovamem_pool_requested_bytes", "gauge", "Bytes asked for by the pool's busy blocks."},
        {"kovamem_pool_window_peak_blocks", "gauge", "Highest busy count since the last reset."},
        {"kovamem_pool_peak_blocks", "gauge", "Highest busy count ever."},
        {"kovamem_pool_block_allocations_total", "counter", "Blocks taken from the pool."},
        {"kovamem_pool_block_releases_total", "counter", "Blocks returned to the pool intact."},
    };
    for (size_t f = 0; f < sizeof perPool / sizeof perPool[0]; ++f) {
        o.add("# HELP %s %s\n# TYPE %s %s\n", perPool[f].name, perPool[f].help, perPool[f].name, perPool[f].type);
        for (uint32_t k = 0; k < s.poolCountAll; ++k) {
            const KovaMemPoolStats &p = n.pool(k);
            const uint64_t v[] = {p.blockCount, p.freeCount,  p.busyCount,  p.corruptCount,  p.reqBytes,
                                  p.peakCount,  p.peakCountLifetime, p.allocCount, p.releaseCount};
            o.add("%s{%s%spool=\"%u\",block_size=\"%u\"} %llu\n", perPool[f].name, labels, labelled ? "," : "", k,
                  p.blockSize, U(v[f]));
        }
    }
}

// The process's labels: its program (the executable's name, escaped as
// the exposition format asks) and its pid.
void processLabels(char *out, size_t cap) {
    char program[256];
    kovamem::memProgramName(program, sizeof program);
    const char *name = program;
    char escaped[256];
    size_t e = 0;
    for (const char *c = name; *c != '\0' && e + 2 < sizeof escaped; ++c) {
        if (*c == '\\' || *c == '"') escaped[e++] = '\\';
        escaped[e++] = *c == '\n' ? ' ' : *c;
    }
    escaped[e] = '\0';
    snprintf(out, cap, "program=\"%s\",pid=\"%d\"", escaped, static_cast<int>(getpid()));
}

}  // namespace

void kovamem::memProgramName(char *out, size_t cap) {
    char exe[512];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    exe[n > 0 ? n : 0] = '\0';
    const char *name = strrchr(exe, '/') != nullptr ? strrchr(exe, '/') + 1 : exe;
    if (name[0] == '\0') name = "unknown";
    size_t i = 0;
    for (; name[i] != '\0' && i + 1 < cap; ++i) out[i] = name[i];
    if (cap > 0) out[i] = '\0';
}

extern "C" {

int KovaMemStatsPrometheus(char *buf, uint32_t cap) {
    Snapshot n;
    if (!snapshot(n, __func__)) return -1;
    Out o{buf, buf == nullptr ? 0 : cap, 0};
    prometheusText(o, n, "");
    return o.result();
}

// Written to "<path>.<pid>.tmp" in the same directory, then renamed over
// path: a reader (node_exporter's textfile collector reads *.prom only)
// sees the old file or the new one, never half of one. The text is
// composed in memory from the C heap the library uses, once per call.
int KovaMemStatsWriteFile(const char *path) {
    if (path == nullptr || path[0] == '\0') return -1;
    Snapshot n;
    if (!snapshot(n, __func__)) return -1;
    char labels[320];
    processLabels(labels, sizeof labels);
    Out probe{nullptr, 0, 0};
    prometheusText(probe, n, labels);
    const size_t bytes = static_cast<size_t>(probe.len) + 1;
    char *text = static_cast<char *>(kovamem::memHeap.malloc(bytes));
    if (text == nullptr) return -1;
    Out o{text, static_cast<uint32_t>(bytes), 0};
    prometheusText(o, n, labels);
    const size_t len = static_cast<size_t>(o.len < bytes ? o.len : bytes - 1);
    char tmp[4200];
    const int t = snprintf(tmp, sizeof tmp, "%s.%d.tmp", path, static_cast<int>(getpid()));
    int result = -1;
    if (t > 0 && static_cast<size_t>(t) < sizeof tmp) {
        const int saved = errno;
        const int fd = open(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd >= 0) {
            size_t done = 0;
            while (done < len) {
                const ssize_t w = write(fd, text + done, len - done);
                if (w <= 0) break;
                done += static_cast<size_t>(w);
            }
            const bool whole = done == len && close(fd) == 0;
            if (whole && rename(tmp, path) == 0)
                result = 0;
            else
                unlink(tmp);
        }
        errno = saved;
    }
    kovamem::memHeap.free(text);
    return result;
}

void KovaMemResetPeaks(void) {
    MemMgrDetails &m = memMgrDetails;
    if (m.initialized == 0 || kovamem::memRefusedInHandler("KovaMemResetPeaks")) return;
    const uint64_t now = static_cast<uint64_t>(time(nullptr));
    kovamem::memLockAll();
    for (uint16_t k = 0; k < m.poolCount; ++k) kovamem::memPoolHot[k].windowPeak = kovamem::memPool(k).busyCount;
    ++kovamem::memHot.peakEpoch;
    kovamem::memHot.peakEpochStart = now;
    kovamem::memUnlockAll();
}

uint64_t KovaMemMark(void) {
    MemMgrDetails &m = memMgrDetails;
    if (m.lock == nullptr || kovamem::memRefusedInHandler("KovaMemMark")) return 0;
    kovamem::memLockAll();
    const uint64_t mark = kovamem::memSerialNow();
    // Default build: allocations from now on belong to the next epoch, so
    // their serials exceed the mark in every pool.
    if (!kovamem::config_classic) kovamem::memStore(kovamem::memHot.markEpoch, kovamem::memHot.markEpoch + 1);
    kovamem::memUnlockAll();
    return mark;
}

}  // extern "C"
