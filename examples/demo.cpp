// kovamem-demo: a host process as a firmware engineer meets one. Worker
// threads pass messages and small objects through the pools, with a few
// large requests that only the C heap can serve; allocation tracing is
// switched on for the second phase, in which each worker also remembers a
// session record it never releases; one message is overrun by one byte,
// which the release catches and quarantines; a status report shows it all,
// a cleanup returns the damaged block, and a second report shows what is
// still live. The run prints the library's log, then kovamem-analyze's
// answers: call sites by name, the damaged block's allocator, the leak.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kovamem.h"

namespace {

// Block counts for 8, 16, 32, ... 65536 bytes: plenty of small objects and
// message buffers, a handful of large blocks.
constexpr int32_t kDefaultPools[MEM_POOL_SLOTS] = {256, 256, 256, 128, 128, 64, 64, 32, 16, 8, 4, 2, 1, 1};

struct Options {
    int32_t pools[MEM_POOL_SLOTS];
    int threads = 4;
    int durationMs = 400;
};

void usage(FILE *to) {
    fprintf(to,
            "usage: kovamem-demo [--pools N0,N1,...,N13] [--threads N] [--duration MS]\n"
            "\n"
            "Runs a small multi-threaded host on the KovaMem pool manager and prints\n"
            "its log: a traced phase, a caught one-byte overrun, two status reports.\n"
            "\n"
            "  --pools LIST    14 block counts (0..65535) for the block sizes\n"
            "                  8,16,32,64,128,256,512,1024,2048,4096,8192,16400,40000,65536\n"
            "                  (default 256,256,256,128,128,64,64,32,16,8,4,2,1,1)\n"
            "  --threads N     worker threads, 1..32 (default 4)\n"
            "  --duration MS   length of the workload in milliseconds, 10..60000 (default 400)\n"
            "  --help          this text\n");
}

[[noreturn]] void bad(const char *what, const char *value) {
    fprintf(stderr, "kovamem-demo: %s: '%s'\nTry 'kovamem-demo --help'.\n", what, value);
    exit(2);
}

bool parseInt(const char *text, long lo, long hi, long *out) {
    char *end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) return false;
    *out = v;
    return true;
}

Options parse(int argc, char **argv) {
    Options o;
    memcpy(o.pools, kDefaultPools, sizeof o.pools);
    static const option longs[] = {{"pools", required_argument, nullptr, 'p'},
                                   {"threads", required_argument, nullptr, 't'},
                                   {"duration", required_argument, nullptr, 'd'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "", longs, nullptr)) != -1;) {
        long v;
        switch (c) {
        case 'p': {
            std::string list = optarg;
            int n = 0;
            for (size_t at = 0; at <= list.size(); ++n) {
                size_t comma = list.find(',', at);
                if (comma == std::string::npos) comma = list.size();
                if (n == MEM_POOL_SLOTS || !parseInt(list.substr(at, comma - at).c_str(), 0, 65535, &v))
                    bad("--pools needs 14 comma-separated counts from 0 to 65535", optarg);
                o.pools[n] = static_cast<int32_t>(v);
                at = comma + 1;
            }
            if (n != MEM_POOL_SLOTS) bad("--pools needs 14 comma-separated counts from 0 to 65535", optarg);
            break;
        }
        case 't':
            if (!parseInt(optarg, 1, 32, &v)) bad("--threads needs a number from 1 to 32", optarg);
            o.threads = static_cast<int>(v);
            break;
        case 'd':
            if (!parseInt(optarg, 10, 60000, &v)) bad("--duration needs milliseconds from 10 to 60000", optarg);
            o.durationMs = static_cast<int>(v);
            break;
        case 'h':
            usage(stdout);
            exit(0);
        default:
            bad("unknown or incomplete option", argv[optind - 1]);
        }
    }
    if (optind < argc) bad("unexpected argument", argv[optind]);
    return o;
}

struct Held {
    void *p;
    uint32_t size;
};

#define DEMO_CALL_SITE __attribute__((noinline))

// The call sites the traces name: a received message, a small object, and
// a session record that is remembered once per worker and never released
// (the leak the analysis at the end finds).
// (The barrier after each call keeps it from becoming a tail call, which
// would leave the call site out of the chain.)
DEMO_CALL_SITE void *receiveMessage(uint32_t size) {
    void *p = KovaMemAlloc(size);
    __asm__ volatile("" ::: "memory");
    return p;
}
DEMO_CALL_SITE void *buildObject(uint32_t size) {
    void *p = KovaMemCalloc(1, size);
    __asm__ volatile("" ::: "memory");
    return p;
}
DEMO_CALL_SITE void rememberSession(int id) {
    void *session = KovaMemAlloc(48);
    if (session != nullptr) memset(session, id, 48);
    __asm__ volatile("" ::: "memory");  // forgotten: nothing releases it
}

// One worker: receives messages (64..1500 bytes), builds small objects
// (8..120 bytes), resizes some, releases them in arrival order, and once per
// phase asks for a large buffer that no pool holds. It keeps `keep` blocks
// at the end of the phase, so that traced blocks are live for the report.
void worker(int id, std::chrono::steady_clock::time_point until, std::atomic<uint32_t> *ops, int keep,
            std::vector<Held> *kept) {
    std::mt19937 rng(static_cast<unsigned>(id) * 7919u + 1u);
    std::vector<Held> window;
    bool large = false;
    while (std::chrono::steady_clock::now() < until) {
        const uint32_t r = rng() % 100;
        uint32_t size = r < 55 ? 8 + rng() % 113 : 64 + rng() % 1437;
        if (!large && r == 99) {
            size = 128 * 1024;  // a firmware image chunk: beyond every pool
            large = true;
        }
        if (Held h{r < 55 ? buildObject(size) : receiveMessage(size), size}; h.p != nullptr) {
            memset(h.p, 0x40 + id, size);
            if (rng() % 10 == 0) {  // a message that grows before it is passed on
                const uint32_t grown = size + 200;
                if (void *q = KovaMemReAlloc(h.p, grown)) h = {q, grown};
            }
            window.push_back(h);
        }
        if (window.size() > 12) {
            KovaMemFree(window.front().p);
            window.erase(window.begin());
        }
        ops->fetch_add(1, std::memory_order_relaxed);
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    if (keep > 0) rememberSession(id);
    while (static_cast<int>(window.size()) > keep) {
        KovaMemFree(window.front().p);
        window.erase(window.begin());
    }
    *kept = window;
}

void runPhase(const Options &o, int durationMs, int keep, std::vector<Held> *kept, uint32_t *opsDone) {
    std::atomic<uint32_t> ops{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(durationMs);
    std::vector<std::thread> threads;
    std::vector<std::vector<Held>> perThread(static_cast<size_t>(o.threads));
    for (int i = 0; i < o.threads; ++i)
        threads.emplace_back(worker, i, until, &ops, keep, &perThread[static_cast<size_t>(i)]);
    for (auto &t : threads) t.join();
    for (auto &v : perThread) kept->insert(kept->end(), v.begin(), v.end());
    *opsDone = ops.load();
}

void printFile(const char *path) {
    FILE *f = fopen(path, "r");
    if (f == nullptr) {
        printf("(the log %s cannot be read: %s)\n", path, strerror(errno));
        return;
    }
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) fwrite(buf, 1, n, stdout);
    fclose(f);
}

// Runs the analyser on the log: the one installed beside this program, else
// the one in the source tree it was built from.
void analyze(const char *self, const char *log) {
    std::string beside = self;
    const size_t slash = beside.rfind('/');
    beside = (slash == std::string::npos ? std::string(".") : beside.substr(0, slash)) + "/kovamem-analyze";
    const std::string tool = access(beside.c_str(), R_OK) == 0 ? beside : std::string(KOVAMEM_ANALYZER);
    if (access(tool.c_str(), R_OK) != 0) {
        printf("(kovamem-analyze was not found at %s)\n", tool.c_str());
        return;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        execlp("python3", "python3", tool.c_str(), log, static_cast<char *>(nullptr));
        printf("(python3 is needed to run %s)\n", tool.c_str());
        _exit(127);
    }
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
}

}  // namespace

int main(int argc, char **argv) {
    const Options o = parse(argc, argv);
    char logPath[64];
    snprintf(logPath, sizeof logPath, "/tmp/memmgr-%d.log", static_cast<int>(getpid()));
    // The demo prints its own log: one an earlier process with this pid left
    // would be printed (and analysed) with it.
    unlink(logPath);

    KovaMemInit(o.pools);
    if (!KovaMemIsInitialized()) {
        fprintf(stderr, "kovamem-demo: the pools could not be built; the log says why:\n");
        printFile(logPath);
        return 1;
    }
    KovaMemSetFileSize(1024);  // room for the whole story (1 MiB)
    KovaMemLogModules();       // the module map, so the traces can be symbolized later
    printf("KovaMem demo: %d worker threads, %d ms of work; the library logs to %s\n\n", o.threads,
           o.durationMs, logPath);

    std::vector<Held> kept;
    uint32_t ops1 = 0, ops2 = 0;
    printf("1. Untraced phase: messages, small objects and one large request per thread.\n");
    runPhase(o, o.durationMs / 2, 0, &kept, &ops1);
    printf("   %u operations.\n", ops1);

    printf("2. Tracing on: every pool block now records who allocated it; each thread keeps 2.\n");
    KovaMemUpdateLogStackFlag(1);
    runPhase(o, o.durationMs - o.durationMs / 2, 2, &kept, &ops2);
    printf("   %u operations, %zu traced blocks still live.\n", ops2, kept.size());

    printf("3. A 24-byte message arrives; a status report sees it live with its call chain.\n");
    char *msg = static_cast<char *>(receiveMessage(24));
    KovaMemPrintMemStatus();

    printf("4. The message is written with 25 bytes, one into its guard word, and released.\n");
    if (msg != nullptr) {
        memset(msg, 'M', 25);
        const unsigned rc = KovaMemFree(msg);
        printf("   KovaMemFree returned %u: %s\n", rc,
               rc == 0 ? "damage caught, the block is quarantined" : "the block was not in a pool");
    }
    KovaMemPrintMemStatus();

    printf("5. Cleanup of the quarantine, kept blocks freed, a last report: what is still live leaked.\n");
    KovaMemCleanMemBlocks();
    for (const Held &h : kept) KovaMemFree(h.p);
    KovaMemPrintMemStatus();
    KovaMemUpdateLogStackFlag(0);

    printf("\n==== %s ====\n", logPath);
    printFile(logPath);

    printf("\n==== kovamem-analyze %s ====\n", logPath);
    fflush(stdout);
    analyze(argv[0], logPath);

    // The figures a device would report to its fleet: one snapshot, as JSON.
    printf("\n==== KovaMemStatsJson ====\n");
    std::string json(static_cast<size_t>(KovaMemStatsJson(nullptr, 0)) + 1, '\0');
    KovaMemStatsJson(&json[0], static_cast<uint32_t>(json.size()));
    fputs(json.c_str(), stdout);
    return 0;
}
