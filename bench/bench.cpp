// Cost per allocation+free pair of KovaMem against the system allocator,
// side by side in one binary, and the cost of the diagnostics (trace
// capture, status report). Every allocator case is registered twice, as
// "<case>/kovamem" and "<case>/system".
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#define UNW_LOCAL_ONLY
#if KOVAMEM_BENCH_LIBUNWIND
#include <libunwind.h>
#endif
#include <unwind.h>
#include <pthread.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <string>
#include <vector>

#include "kovamem.h"

namespace {

struct Kova {
    static void *alloc(uint32_t n) { return KovaMemAlloc(n); }
    static void *grow(void *p, uint32_t n) { return KovaMemReAlloc(p, n); }
    static void release(void *p) { KovaMemFree(p); }
};

struct Sys {
    static void *alloc(uint32_t n) { return malloc(n); }
    static void *grow(void *p, uint32_t n) { return realloc(p, n); }
    static void release(void *p) { free(p); }
};

// The one-lock floor: one pthread mutex and an O(1) free list per size
// class, blocks carved once from the C heap with the same counts as
// KovaMem's pools. A word in front of each block names its class, so a
// release finds its list without a search. It is the least any pool behind
// one lock can cost: no guard, no counters, no lookup, no tracing. It hands
// out the block released last (last-in first-out).
//
// Two variants price what KovaMem's reuse order and guard word cost by
// themselves, for the churn case only: a floor that hands out the block
// released longest ago (first-in first-out, as KovaMem's free lists do),
// and that floor with a guard word behind the caller's bytes, written after
// the allocation's unlock and checked before the release's lock, its line
// fetched before the allocation's lock as KovaMem fetches it.
template <bool Fifo, bool Guard>
struct FloorPool {
    struct Node {
        Node *next;
    };
    static constexpr size_t kHead = 16;  // class word and size; keeps the caller's bytes 16-byte aligned
    static constexpr size_t kGuard = Guard ? 8 : 0;
    static constexpr uint32_t kWord = MEM_GUARD_WORD;
    static pthread_mutex_t mu;
    static Node *heads[MEM_POOL_SLOTS];
    static Node *tails[MEM_POOL_SLOTS];
    static int classOf(uint32_t n) {
        for (int c = 0; c < MEM_POOL_SLOTS; ++c)
            if (n <= memPoolSizes[c]) return c;
        return -1;
    }
    static uint32_t &sizeOf(void *q) { return reinterpret_cast<uint32_t *>(static_cast<char *>(q) - kHead)[2]; }
    static void init(const int32_t *counts) {
        for (int c = 0; c < MEM_POOL_SLOTS; ++c) {
            const size_t slot = kHead + memPoolSizes[c] + kGuard;
            char *area = static_cast<char *>(malloc(slot * static_cast<size_t>(counts[c]) + 1));
            for (int32_t j = counts[c] - 1; j >= 0; --j) {
                char *b = area + slot * static_cast<size_t>(j);
                *reinterpret_cast<intptr_t *>(b) = c;
                reinterpret_cast<Node *>(b + kHead)->next = heads[c];
                heads[c] = reinterpret_cast<Node *>(b + kHead);
                if (tails[c] == nullptr) tails[c] = heads[c];
            }
        }
    }
    static void *alloc(uint32_t n) {
        const int c = classOf(n);
        Node *p = nullptr;
        if (c >= 0) {
            if (Guard)
                if (Node *h = __atomic_load_n(&heads[c], __ATOMIC_RELAXED))
                    __builtin_prefetch(reinterpret_cast<char *>(h) + n, 1);
            pthread_mutex_lock(&mu);
            p = heads[c];
            if (p != nullptr) {
                __atomic_store_n(&heads[c], p->next, __ATOMIC_RELAXED);
                if (p->next == nullptr) tails[c] = nullptr;
            }
            pthread_mutex_unlock(&mu);
        }
        if (p != nullptr) {
            if (Guard) {
                sizeOf(p) = n;
                memcpy(reinterpret_cast<char *>(p) + n, &kWord, 4);
            }
            return p;
        }
        char *b = static_cast<char *>(malloc(kHead + n));  // beyond the pools
        *reinterpret_cast<intptr_t *>(b) = -1;
        return b + kHead;
    }
    // A reallocation into a larger class, as one hold of the lock: take the
    // new block, copy, push the old one. Pool blocks of the benchmark only.
    static void *grow(void *q, uint32_t n) {
        const intptr_t from = *reinterpret_cast<intptr_t *>(static_cast<char *>(q) - kHead);
        const int c = classOf(n);
        if (from < 0 || c < 0 || memPoolSizes[from] >= n) abort();
        Node *x = static_cast<Node *>(q);
        pthread_mutex_lock(&mu);
        Node *p = heads[c];
        if (p == nullptr) abort();
        __atomic_store_n(&heads[c], p->next, __ATOMIC_RELAXED);
        if (p->next == nullptr) tails[c] = nullptr;
        memcpy(p, q, memPoolSizes[from]);
        x->next = heads[from];
        __atomic_store_n(&heads[from], x, __ATOMIC_RELAXED);
        if (tails[from] == nullptr) tails[from] = x;
        pthread_mutex_unlock(&mu);
        return p;
    }
    static void release(void *q) {
        char *b = static_cast<char *>(q) - kHead;
        const intptr_t c = *reinterpret_cast<intptr_t *>(b);
        if (c < 0) return free(b);
        if (Guard && memcmp(static_cast<char *>(q) + sizeOf(q), &kWord, 4) != 0) abort();
        Node *x = static_cast<Node *>(q);
        pthread_mutex_lock(&mu);
        if (Fifo) {
            x->next = nullptr;
            if (tails[c] != nullptr)
                tails[c]->next = x;
            else
                __atomic_store_n(&heads[c], x, __ATOMIC_RELAXED);
            tails[c] = x;
        } else {
            x->next = heads[c];
            __atomic_store_n(&heads[c], x, __ATOMIC_RELAXED);
        }
        pthread_mutex_unlock(&mu);
    }
};
template <bool F, bool G>
pthread_mutex_t FloorPool<F, G>::mu = PTHREAD_MUTEX_INITIALIZER;
template <bool F, bool G>
typename FloorPool<F, G>::Node *FloorPool<F, G>::heads[MEM_POOL_SLOTS];
template <bool F, bool G>
typename FloorPool<F, G>::Node *FloorPool<F, G>::tails[MEM_POOL_SLOTS];
using Floor = FloorPool<false, false>;

// Blocks per size class: enough for 60000 live 64-byte blocks beside the
// others, and for the working sets of two churning threads.
constexpr int32_t kConfig[MEM_POOL_SLOTS] = {2000, 2000, 2000, 62000, 3000, 3000, 3000,
                                             3000, 3000, 3000, 0,    0,    0,    0};

template <class A>
void pair(benchmark::State &st) {
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    for (auto _ : st) {
        void *p = A::alloc(size);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
}

// Each thread on a pool of its own: thread i pairs blocks of size class
// i % 4 (16, 32, 64, 128 bytes): what one lock per pool would let run
// side by side.
template <class A>
void split(benchmark::State &st) {
    const uint32_t size = 16u << (st.thread_index() % 4);
    for (auto _ : st) {
        void *p = A::alloc(size);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
}

template <class A, bool Fifo>
void order(benchmark::State &st) {
    std::vector<void *> v(1000);
    for (auto _ : st) {
        for (auto &p : v) p = A::alloc(64);
        if (Fifo)
            for (auto &p : v) A::release(p);
        else
            for (auto it = v.rbegin(); it != v.rend(); ++it) A::release(*it);
    }
    st.SetItemsProcessed(st.iterations() * 1000);
}

// A 16-byte block grown to 100 bytes (a move into another pool), then
// released.
template <class A>
void regrow(benchmark::State &st) {
    for (auto _ : st) {
        void *p = A::alloc(16);
        benchmark::DoNotOptimize(p);
        p = A::grow(p, 100);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
}

template <class A>
void churn(benchmark::State &st) {
    std::mt19937 rng(42);
    std::vector<void *> slots(1000);
    for (auto &p : slots) p = A::alloc(8 + rng() % 4089);
    for (auto _ : st) {
        void *&p = slots[rng() % slots.size()];
        A::release(p);
        p = A::alloc(8 + rng() % 4089);
        benchmark::DoNotOptimize(p);
    }
    for (auto p : slots) A::release(p);
}

template <class A>
void deep(benchmark::State &st) {
    std::vector<void *> live(static_cast<size_t>(st.range(0)));
    for (auto &p : live) p = A::alloc(64);
    for (auto _ : st) {
        void *p = A::alloc(64);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
    for (auto p : live) A::release(p);
}

template <class A>
void traced(benchmark::State &st) {
    KovaMemSetTraceSampling(static_cast<uint32_t>(st.range(0)));  // 1: every allocation
    KovaMemUpdateLogStackFlag(1);
    for (auto _ : st) {
        void *p = A::alloc(256);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
    KovaMemUpdateLogStackFlag(0);
    KovaMemSetTraceSampling(1);
    KovaMemResetFile();
}

// The pair with the write-after-release check on: the release fills the
// block, the allocation checks the one it takes. Registered last: the
// blocks it leaves filled are checked by whichever case takes them next.
template <class A, bool Traced>
void freecheck(benchmark::State &st) {
    KovaMemSetFreeCheck(1);
    if (Traced) KovaMemUpdateLogStackFlag(1);
    void *anchor = KovaMemAlloc(16);  // keeps the trace table's busy list from emptying, as in report
    const uint32_t size = static_cast<uint32_t>(st.range(0));
    for (auto _ : st) {
        void *p = A::alloc(size);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
    KovaMemFree(anchor);
    if (Traced) KovaMemUpdateLogStackFlag(0);
    KovaMemSetFreeCheck(0);
}

// The pair with guarded sampling at one in range(0) (0: off, with the area
// made): the sampled pairs take a slot, its page made accessible and, at
// the release, inaccessible again.
template <class A>
void guarded(benchmark::State &st) {
    KovaMemSetGuardedSampling(static_cast<uint32_t>(st.range(0)), 64);
    for (auto _ : st) {
        void *p = A::alloc(256);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
    KovaMemSetGuardedSampling(0, 0);
    KovaMemResetFile();
}

void capture(benchmark::State &st) {
    MemTraceAddr buf[MEM_TRACE_ENTRIES];
    for (auto _ : st) benchmark::DoNotOptimize(SYS_StackTrace(buf, MEM_TRACE_ENTRIES, 1));
}

// The C library's own backtrace at the same depth, for comparison. Taken
// from libc by name: libunwind, linked here for its candidate below, exports
// a backtrace of its own that would otherwise stand in for it.
void backtraceLibc(benchmark::State &st) {
    using Fn = int (*)(void **, int);
    static const Fn libcBacktrace = reinterpret_cast<Fn>(dlsym(dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD), "backtrace"));
    void *buf[MEM_TRACE_ENTRIES];
    for (auto _ : st) benchmark::DoNotOptimize(libcBacktrace(buf, MEM_TRACE_ENTRIES));
}

// The candidates for the capture on hosts, side by side at depth 10:
// libgcc's _Unwind_Backtrace as such, libunwind's unw_backtrace with its
// per-thread cache, and a frame-pointer walk bounded by the thread's stack
// (which needs every frame to keep a frame pointer).
struct GccWalk {
    void **buf;
    int n;
};
_Unwind_Reason_Code gccFrame(struct _Unwind_Context *ctx, void *arg) {
    GccWalk *w = static_cast<GccWalk *>(arg);
    using GetIp = _Unwind_Ptr (*)(struct _Unwind_Context *);
    static const GetIp gccGetIp =
        reinterpret_cast<GetIp>(dlvsym(dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_NOLOAD), "_Unwind_GetIP", "GCC_3.0"));
    w->buf[w->n++] = reinterpret_cast<void *>(gccGetIp(ctx));
    return w->n < MEM_TRACE_ENTRIES ? _URC_NO_REASON : _URC_END_OF_STACK;
}
// libgcc's own, by its version: libunwind, linked here, exports an
// _Unwind_Backtrace of its own that would otherwise stand in for it.
void captureLibgcc(benchmark::State &st) {
    using Fn = _Unwind_Reason_Code (*)(_Unwind_Trace_Fn, void *);
    static const Fn gccBacktrace = reinterpret_cast<Fn>(
        dlvsym(dlopen("libgcc_s.so.1", RTLD_NOW | RTLD_NOLOAD), "_Unwind_Backtrace", "GCC_3.3"));
    void *buf[MEM_TRACE_ENTRIES];
    for (auto _ : st) {
        GccWalk w{buf, 0};
        gccBacktrace(gccFrame, &w);
        benchmark::DoNotOptimize(w.n);
    }
}
#if KOVAMEM_BENCH_LIBUNWIND
void captureLibunwind(benchmark::State &st) {
    unw_set_caching_policy(unw_local_addr_space, UNW_CACHE_PER_THREAD);
    void *buf[MEM_TRACE_ENTRIES];
    for (auto _ : st) benchmark::DoNotOptimize(unw_backtrace(buf, MEM_TRACE_ENTRIES));
}
#endif
__attribute__((noinline)) int fpWalk(void **buf, int depth) {
    pthread_attr_t a;
    void *lo = nullptr;
    size_t size = 0;
    static thread_local uintptr_t stackLo, stackHi;
    if (stackHi == 0 && pthread_getattr_np(pthread_self(), &a) == 0) {
        pthread_attr_getstack(&a, &lo, &size);
        pthread_attr_destroy(&a);
        stackLo = reinterpret_cast<uintptr_t>(lo);
        stackHi = stackLo + size;
    }
    int n = 0;
    for (uintptr_t *fp = static_cast<uintptr_t *>(__builtin_frame_address(0)); n < depth;) {
        const uintptr_t f = reinterpret_cast<uintptr_t>(fp);
        if (f < stackLo || f + 2 * sizeof(uintptr_t) > stackHi || (f & (sizeof(uintptr_t) - 1)) != 0) break;
        buf[n++] = reinterpret_cast<void *>(fp[1]);
        uintptr_t *next = reinterpret_cast<uintptr_t *>(fp[0]);
        if (next <= fp) break;
        fp = next;
    }
    return n;
}
void captureFramePointers(benchmark::State &st) {
    void *buf[MEM_TRACE_ENTRIES];
    for (auto _ : st) benchmark::DoNotOptimize(fpWalk(buf, MEM_TRACE_ENTRIES));
}

// The floor of a pool pair with tracing off: the two uncontended lock and
// unlock pairs that an allocation and its release take.
void lockFloor(benchmark::State &st) {
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : st) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
        benchmark::ClobberMemory();
    }
}

// One report with n traced live blocks; the log is emptied (untimed) before
// each, and its cap raised so that every entry is really written. Beside
// the report a second thread allocates and frees one block in a loop; the
// longest of its pairs during the reports ("stall_us") is how long the
// report kept the manager lock from it.
void report(benchmark::State &st) {
    KovaMemSetFileSize(64 * 1024);
    KovaMemUpdateLogStackFlag(1);
    std::vector<void *> live(static_cast<size_t>(st.range(0)));
    for (auto &p : live) p = KovaMemAlloc(64);
    // A traced block that outlives the case keeps the trace table's busy list
    // from emptying, so that the prober's pairs write no list notes.
    void *anchor = KovaMemAlloc(16);
    std::atomic<bool> stop{false};
    std::atomic<int64_t> worst{0};
    std::thread prober([&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const auto t0 = std::chrono::steady_clock::now();
            KovaMemFree(KovaMemAlloc(16));
            const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0).count();
            if (ns > worst.load(std::memory_order_relaxed)) worst.store(ns, std::memory_order_relaxed);
        }
    });
    for (auto _ : st) {
        st.PauseTiming();
        KovaMemResetFile();
        worst.store(0);
        st.ResumeTiming();
        KovaMemPrintMemStatus();
        st.PauseTiming();
        st.counters["stall_us"] = benchmark::Counter(std::max<double>(st.counters["stall_us"], worst.load() / 1000.0));
        st.ResumeTiming();
    }
    stop = true;
    prober.join();
    for (auto p : live) KovaMemFree(p);
    KovaMemFree(anchor);
    KovaMemUpdateLogStackFlag(0);
    KovaMemResetFile();
}

// ---- start-up and resident memory, each run in a fresh process ----

// The preload library's default configuration, and every pool at its
// largest count.
constexpr int32_t kPreloadDefault[MEM_POOL_SLOTS] = {8192, 8192, 8192, 8192, 4096, 1024, 512,
                                                     256,  128,  64,   32,   16,   8,    8};

long residentKiB() {
    FILE *f = fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (strncmp(line, "VmRSS:", 6) == 0) kib = strtol(line + 6, nullptr, 10);
    fclose(f);
    return kib;
}

// The child's side (kovamem_bench --startup WHO CONFIG): set-up of WHO
// (kovamem, floor, system) with CONFIG (default, full, or grow: the
// default with a growth budget of 256 MiB), then a program's
// worth of blocks: 20000 of 64 bytes and 2000 of 1024 (3.3 MB asked for).
// Prints the set-up's nanoseconds, the resident KiB it added, the resident
// KiB after the work, and the KiB the work asked for.
template <class A>
void startupWork(std::vector<void *> &v) {
    for (int i = 0; i < 20000; ++i) v.push_back(A::alloc(64));
    for (int i = 0; i < 2000; ++i) v.push_back(A::alloc(1024));
    for (void *p : v) memset(p, 1, 8);  // a program writes what it asked for
}

int startupChild(const std::string &who, const std::string &config) {
    int32_t cfg[MEM_POOL_SLOTS];
    for (int i = 0; i < MEM_POOL_SLOTS; ++i) cfg[i] = config == "full" ? 65535 : kPreloadDefault[i];
    std::vector<void *> v;
    v.reserve(22000);
    memset(v.data(), 0, 22000 * sizeof(void *));  // its pages are not the work's
    (void)residentKiB();  // the C library's first fopen is not the set-up's either
    const long before = residentKiB();
    const auto t0 = std::chrono::steady_clock::now();
    if (who == "kovamem" && config == "grow") KovaMemSetPoolGrowth(256u << 20);
    if (who == "kovamem") KovaMemInit(cfg);
    if (who == "floor") Floor::init(cfg);
    const auto t1 = std::chrono::steady_clock::now();
    const long set = residentKiB();
    if (who == "kovamem") startupWork<Kova>(v);
    if (who == "floor") startupWork<Floor>(v);
    if (who == "system") startupWork<Sys>(v);
    const long worked = residentKiB();
    printf("%lld %ld %ld %d\n", static_cast<long long>(std::chrono::nanoseconds(t1 - t0).count()), set - before,
           worked - before, (20000 * 64 + 2000 * 1024) / 1024);
    return 0;
}

// The parent's side: one fresh process per iteration; the set-up's time is
// the iteration's, the resident figures are counters (KiB, averaged).
void startup(benchmark::State &st, std::string who, std::string config) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return st.SkipWithError("no /proc/self/exe");
    self[n] = '\0';
    const std::string cmd = std::string(self) + " --startup " + who + " " + config;
    double init = 0, work = 0, used = 0;
    int runs = 0;
    for (auto _ : st) {
        FILE *f = popen(cmd.c_str(), "r");
        long long ns = 0;
        long a = 0, b = 0, c = 0;
        const bool ok = f != nullptr && fscanf(f, "%lld %ld %ld %ld", &ns, &a, &b, &c) == 4;
        if (f != nullptr) pclose(f);
        if (!ok) return st.SkipWithError("the child said nothing");
        st.SetIterationTime(static_cast<double>(ns) * 1e-9);
        init += static_cast<double>(a);
        work += static_cast<double>(b);
        used += static_cast<double>(c);
        ++runs;
    }
    st.counters["init_kib"] = init / runs;
    st.counters["work_kib"] = work / runs;
    st.counters["asked_kib"] = used / runs;
}

template <class A>
void registerAllocatorCases(const std::string &who) {
    using benchmark::RegisterBenchmark;
    for (int size : {16, 256, 4096}) RegisterBenchmark(("pair/" + std::to_string(size) + "/" + who).c_str(), pair<A>)->Arg(size);
    RegisterBenchmark(("lifo/1000x64/" + who).c_str(), order<A, false>);
    RegisterBenchmark(("fifo/1000x64/" + who).c_str(), order<A, true>);
    RegisterBenchmark(("churn/1000/" + who).c_str(), churn<A>);
    RegisterBenchmark(("realloc/16to100/" + who).c_str(), regrow<A>);
    for (int n : {100, 1000, 10000, 60000}) RegisterBenchmark(("deep/" + std::to_string(n) + "/" + who).c_str(), deep<A>)->Arg(n);
    RegisterBenchmark(("threads2/pair256/" + who).c_str(), pair<A>)->Arg(256)->Threads(2)->UseRealTime();
    RegisterBenchmark(("threads2/churn/" + who).c_str(), churn<A>)->Threads(2)->UseRealTime();
    // Beyond the machine's cores (2 here) the threads are oversubscribed.
    for (int n : {1, 2, 4, 8}) {
        RegisterBenchmark(("threads" + std::to_string(n) + "-own-pools/pair/" + who).c_str(), split<A>)
            ->Threads(n)
            ->UseRealTime();
        if (n > 2)
            RegisterBenchmark(("threads" + std::to_string(n) + "/pair256/" + who).c_str(), pair<A>)
                ->Arg(256)
                ->Threads(n)
                ->UseRealTime();
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc == 4 && strcmp(argv[1], "--startup") == 0) return startupChild(argv[2], argv[3]);
    // A host with worker threads: once a second thread has existed, the C
    // library takes its locks with atomic instructions for the rest of the
    // process. Start one now, so every case runs in that same mode and the
    // order of the cases does not change their cost.
    pthread_t t;
    if (pthread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr) != 0) return 1;
    pthread_join(t, nullptr);
    KovaMemInit(kConfig);
    if (!KovaMemIsInitialized()) return 1;
    Floor::init(kConfig);
    FloorPool<true, false>::init(kConfig);
    FloorPool<true, true>::init(kConfig);
    registerAllocatorCases<Kova>("kovamem");
    registerAllocatorCases<Floor>("floor");
    registerAllocatorCases<Sys>("system");
    benchmark::RegisterBenchmark("churn/1000 fifo pool/floor", churn<FloorPool<true, false>>);
    benchmark::RegisterBenchmark("churn/1000 fifo pool+guard/floor", churn<FloorPool<true, true>>);
    benchmark::RegisterBenchmark("traced/pair256/kovamem", traced<Kova>)->Arg(1);
    benchmark::RegisterBenchmark("traced-sampled64/pair256/kovamem", traced<Kova>)->Arg(64);
    benchmark::RegisterBenchmark("capture/depth10/kovamem", capture);
    benchmark::RegisterBenchmark("capture/depth10/system", backtraceLibc);
    benchmark::RegisterBenchmark("capture-libgcc/depth10/kovamem", captureLibgcc);
#if KOVAMEM_BENCH_LIBUNWIND
    benchmark::RegisterBenchmark("capture-libunwind/depth10/kovamem", captureLibunwind);
#endif
    benchmark::RegisterBenchmark("capture-framepointers/depth10/kovamem", captureFramePointers);
    benchmark::RegisterBenchmark("lockfloor/2x/system", lockFloor);
    for (int n : {0, 100, 3000}) benchmark::RegisterBenchmark(("report/" + std::to_string(n) + "/kovamem").c_str(), report)->Arg(n);
    for (int size : {16, 256, 4096})
        benchmark::RegisterBenchmark(("freecheck/pair" + std::to_string(size) + "/kovamem").c_str(), freecheck<Kova, false>)
            ->Arg(size);
    benchmark::RegisterBenchmark("freecheck-traced/pair256/kovamem", freecheck<Kova, true>)->Arg(256);
    // After every other pair: the first makes the guarded area, which stays.
    benchmark::RegisterBenchmark("guarded1000/pair256/kovamem", guarded<Kova>)->Arg(1000);
    benchmark::RegisterBenchmark("guarded-off/pair256/kovamem", guarded<Kova>)->Arg(0);
    benchmark::RegisterBenchmark("pair-after-guarded/256/kovamem", pair<Kova>)->Arg(256);
    benchmark::RegisterBenchmark("guarded1/pair256/kovamem", guarded<Kova>)->Arg(1);
    // The floor and the system allocator once each: the floor at 14 x 65535
    // would carve (and touch) 9 GB, and neither grows.
    for (const char *who : {"kovamem", "floor", "system"})
        for (const char *config : {"default", "grow", "full"})
            if (strcmp(who, "kovamem") == 0 || strcmp(config, "default") == 0)
                benchmark::RegisterBenchmark((std::string("startup/") + config + "/" + who).c_str(), startup, who, config)
                    ->UseManualTime()
                    ->Iterations(5)
                    ->Unit(benchmark::kMicrosecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
