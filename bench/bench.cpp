// Cost per allocation+free pair of KovaMem against the system allocator,
// side by side in one binary, and the cost of the diagnostics (trace
// capture, status report). Every allocator case is registered twice, as
// "<case>/kovamem" and "<case>/system".
#include <benchmark/benchmark.h>
#include <execinfo.h>
#include <pthread.h>
#include <stdlib.h>

#include <random>
#include <string>
#include <vector>

#include "kovamem.h"

namespace {

struct Kova {
    static void *alloc(uint32_t n) { return KovaMemAlloc(n); }
    static void release(void *p) { KovaMemFree(p); }
};

struct Sys {
    static void *alloc(uint32_t n) { return malloc(n); }
    static void release(void *p) { free(p); }
};

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
    KovaMemUpdateLogStackFlag(1);
    for (auto _ : st) {
        void *p = A::alloc(256);
        benchmark::DoNotOptimize(p);
        A::release(p);
    }
    KovaMemUpdateLogStackFlag(0);
}

void capture(benchmark::State &st) {
    MemTraceAddr buf[MEM_TRACE_ENTRIES];
    for (auto _ : st) benchmark::DoNotOptimize(SYS_StackTrace(buf, MEM_TRACE_ENTRIES, 1));
}

// The C library's own backtrace at the same depth, for comparison.
void backtraceLibc(benchmark::State &st) {
    void *buf[MEM_TRACE_ENTRIES];
    for (auto _ : st) benchmark::DoNotOptimize(backtrace(buf, MEM_TRACE_ENTRIES));
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
// each, and its cap raised so that every entry is really written.
void report(benchmark::State &st) {
    KovaMemSetFileSize(64 * 1024);
    KovaMemUpdateLogStackFlag(1);
    std::vector<void *> live(static_cast<size_t>(st.range(0)));
    for (auto &p : live) p = KovaMemAlloc(64);
    for (auto _ : st) {
        st.PauseTiming();
        KovaMemResetFile();
        st.ResumeTiming();
        KovaMemPrintMemStatus();
    }
    for (auto p : live) KovaMemFree(p);
    KovaMemUpdateLogStackFlag(0);
    KovaMemResetFile();
}

template <class A>
void registerAllocatorCases(const std::string &who) {
    using benchmark::RegisterBenchmark;
    for (int size : {16, 256, 4096}) RegisterBenchmark(("pair/" + std::to_string(size) + "/" + who).c_str(), pair<A>)->Arg(size);
    RegisterBenchmark(("lifo/1000x64/" + who).c_str(), order<A, false>);
    RegisterBenchmark(("fifo/1000x64/" + who).c_str(), order<A, true>);
    RegisterBenchmark(("churn/1000/" + who).c_str(), churn<A>);
    for (int n : {100, 1000, 10000, 60000}) RegisterBenchmark(("deep/" + std::to_string(n) + "/" + who).c_str(), deep<A>)->Arg(n);
    RegisterBenchmark(("threads2/pair256/" + who).c_str(), pair<A>)->Arg(256)->Threads(2)->UseRealTime();
    RegisterBenchmark(("threads2/churn/" + who).c_str(), churn<A>)->Threads(2)->UseRealTime();
    RegisterBenchmark(("traced/pair256/" + who).c_str(), traced<A>);
}

}  // namespace

int main(int argc, char **argv) {
    // A host with worker threads: once a second thread has existed, the C
    // library takes its locks with atomic instructions for the rest of the
    // process. Start one now, so every case runs in that same mode and the
    // order of the cases does not change their cost.
    pthread_t t;
    if (pthread_create(&t, nullptr, [](void *) -> void * { return nullptr; }, nullptr) != 0) return 1;
    pthread_join(t, nullptr);
    KovaMemInit(kConfig);
    if (!KovaMemIsInitialized()) return 1;
    registerAllocatorCases<Kova>("kovamem");
    registerAllocatorCases<Sys>("system");
    benchmark::RegisterBenchmark("capture/depth10/kovamem", capture);
    benchmark::RegisterBenchmark("capture/depth10/system", backtraceLibc);
    benchmark::RegisterBenchmark("lockfloor/2x/system", lockFloor);
    for (int n : {0, 100, 3000}) benchmark::RegisterBenchmark(("report/" + std::to_string(n) + "/kovamem").c_str(), report)->Arg(n);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
