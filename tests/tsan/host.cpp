// A host built with ThreadSanitizer that traces every allocation from
// threads that then exit: rounds of six threads, each allocating and
// releasing through one call site. Exits 0 when it got that far; the
// sanitizer fails the run on any report of its own (and a crash at thread
// exit ends it with a signal).
#include <kovamem.h>

#include <pthread.h>
#include <stdio.h>

namespace {

__attribute__((noinline)) void *allocFrom(uint32_t size) { return KovaMemAlloc(size); }

void *worker(void *arg) {
    const int id = static_cast<int>(reinterpret_cast<intptr_t>(arg));
    void *held[32];
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 32; ++i) held[i] = allocFrom(static_cast<uint32_t>(8 + (i + id) % 200));
        for (int i = 0; i < 32; ++i) KovaMemFree(held[i]);
    }
    return nullptr;
}

}  // namespace

int main() {
    int32_t cfg[MEM_POOL_SLOTS] = {};
    for (int i = 0; i < 6; ++i) cfg[i] = 400;
    KovaMemInit(cfg);
    if (KovaMemIsInitialized() != 1) return 2;
    KovaMemUpdateLogStackFlag(1);
    for (int round = 0; round < 8; ++round) {
        pthread_t t[6];
        for (int i = 0; i < 6; ++i)
            if (pthread_create(&t[i], nullptr, worker, reinterpret_cast<void *>(static_cast<intptr_t>(i))) != 0) return 3;
        for (pthread_t &x : t) pthread_join(x, nullptr);
    }
    MemTraceAddr chain[MEM_TRACE_ENTRIES];
    if (SYS_StackTrace(chain, MEM_TRACE_ENTRIES, 1) < 1) return 4;
    printf("tsan host: done\n");
    return 0;
}
