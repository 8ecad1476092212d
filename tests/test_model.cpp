// The public calls against a small model of the manager written from its
// documented behaviour: random sequences of allocations (pool, fall-through,
// C heap, zero bytes, calloc), releases (intact, overrun, twice, inside a
// block), reallocations (in place, moving, NULL, C-heap blocks) and
// cleanups. After every call the library's lists, counts, counters, guard
// words, block contents and the log entries that call wrote must be exactly
// the model's. The two builds differ where the README's table says.
#include <algorithm>
#include <deque>
#include <map>
#include <random>
#include <vector>

#include "support.h"

namespace {

struct Pool {
    uint32_t size;
    std::deque<uint16_t> free;
    std::vector<uint16_t> busy;
    std::vector<uint32_t> req;
    std::vector<bool> damaged;
    uint32_t reqBytes = 0;
    uint16_t peak = 0, corrupt = 0;
};

struct Block {
    int pool;  // -1: the C heap
    uint16_t slot;
    uint32_t size;  // bytes of the pattern the caller wrote
    uint8_t seed;
};

using kt::chainsMarked;

std::string fmt(const char *format, ...) MEM_PRINTF(1, 2);
std::string fmt(const char *format, ...) {
    char b[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(b, sizeof b, format, ap);
    va_end(ap);
    return b;
}

class Manager {
public:
    explicit Manager(const kt::Cfg &cfg) {
        for (int i = 0; i < MEM_POOL_SLOTS; ++i) {
            if (cfg.v[i] <= 0) continue;
            Pool p;
            p.size = memPoolSizes[i];
            for (uint16_t j = 0; j < cfg.v[i]; ++j) p.free.push_back(j);
            p.req.assign(static_cast<size_t>(cfg.v[i]), 0);
            p.damaged.assign(static_cast<size_t>(cfg.v[i]), false);
            pools.push_back(p);
        }
    }

    std::vector<Pool> pools;
    std::deque<std::pair<int, uint16_t>> quarantine;  // newest first
    uint32_t memMalloc = 0, memRealloc = 0, memFree = 0, sysMalloc = 0, sysRealloc = 0, sysFree = 0;
    std::map<uint8_t *, Block> live;
    std::string log;  // what the current call must write (chains marked)
    // Default build: the counted fallback notes: occurrences by kind and
    // size (pool), the sizes counted apart (the first 64 of each kind).
    std::map<std::pair<int, uint32_t>, uint32_t> noteCounts;
    std::map<int, std::vector<uint32_t>> sizesApart;

    // A fallback note: the described entry in the classic build; in the
    // default build at counts 1, 2, 4 ... with " (count N)".
    void note(int kind, uint32_t key, const std::string &described) {
        if (kt::config_classic) {
            log += described + "\n";
            return;
        }
        std::string suffix;
        uint32_t n;
        std::vector<uint32_t> &apart = sizesApart[kind];
        if (kind == 2 || std::find(apart.begin(), apart.end(), key) != apart.end() || apart.size() < 64) {
            if (kind != 2 && std::find(apart.begin(), apart.end(), key) == apart.end()) apart.push_back(key);
            n = ++noteCounts[{kind, key}];
            suffix = fmt(" (count %u)", n);
        } else {
            n = ++noteCounts[{kind, 0xFFFFFFFFu}];
            suffix = fmt(" (count %u, sizes past the first 64 counted together)", n);
        }
        if ((n & (n - 1)) == 0) log += described + suffix + "\n";
    }
    // The chain entry the default build writes behind a fault.
    static std::string chain(const char *op, const void *p, const char *which, uint32_t len) {
        return fmt(" INFO: %s: Ptr %s %s:\nSTACK DETAILS: A:%6" PRIXPTR " L:%6d T:%8X<chain>\n\n", op,
                   kt::hex(p).c_str(), which, reinterpret_cast<uintptr_t>(p), static_cast<int>(len), 0u);
    }

    uint8_t *slot(int k, uint16_t j) const { return kovamem::memPool(k).area + j * kt::stride(pools[k].size); }
    static uint32_t guardAt(uint32_t req, uint32_t s) { return req != 0 && req <= s - 4 ? req : s; }

    // Allocation of n > 0 bytes as KovaMemAlloc does it; the caller then
    // compares the pointer the library returned.
    uint8_t *alloc(uint32_t n, uint8_t *got) {
        if (n > pools.back().size) {
            note(0, n, fmt(" EXIT: ERROR: KovaMemAlloc: System alloc with size %d", n));
            ++sysMalloc;
            return got;
        }
        for (size_t k = 0; k < pools.size(); ++k) {
            Pool &p = pools[k];
            if (p.size < n) continue;
            if (p.free.empty()) {
                note(2, static_cast<uint32_t>(k),
                     fmt(" REQ: KovaMemAlloc: %d Pool is full and so going to next Pool", static_cast<int>(k)));
                continue;
            }
            const uint16_t j = p.free.front();
            p.free.pop_front();
            p.busy.push_back(j);
            p.req[j] = n;
            p.damaged[j] = false;
            p.reqBytes += n;
            p.peak = std::max<uint16_t>(p.peak, static_cast<uint16_t>(p.busy.size()));
            ++memMalloc;
            return slot(static_cast<int>(k), j);
        }
        note(1, n, fmt(" EXIT: ERROR: KovaMemAlloc: Mem Full and going for System alloc with size %d", n));
        ++sysMalloc;
        return got;
    }

    // Release of busy pool block j of pool k by op (KovaMemFree or
    // KovaMemReAlloc); 1 intact, 0 quarantined. Tracing is off: a damaged
    // block's entries name the release's chain only.
    int release(int k, uint16_t j, const char *op = "KovaMemFree") {
        Pool &p = pools[k];
        const uint32_t old = p.req[j];
        p.busy.erase(std::find(p.busy.begin(), p.busy.end(), j));
        p.reqBytes -= p.req[j];
        p.req[j] = 0;
        if (!p.damaged[j]) {
            p.free.push_back(j);
            ++memFree;
            return 1;
        }
        const std::string at = kt::hex(slot(k, j));
        log += " CRIT: KovaMemFreeNode: Ptr " + at + " from Pool " + std::to_string(k) + " and Block " +
               std::to_string(j) + " might be corrupted\n ERROR: KovaMemFreeNode: FAILED to free the Ptr " + at + "\n";
        if (!kt::config_classic) log += chain(op, slot(k, j), "released by", old);
        quarantine.push_front({k, j});
        ++p.corrupt;
        return 0;
    }

    void clean() {
        if (quarantine.empty()) {
            log += " EXIT: KovaMemCleanMemBlocks: Process not Required\n";
            return;
        }
        log += " INFO: KovaMemCleanMemBlocks: Process Started\n EXIT: KovaMemCleanMemBlocks: Process Successfull\n";
        for (auto [k, j] : quarantine) {
            pools[k].free.push_back(j);
            pools[k].damaged[j] = false;
            --pools[k].corrupt;
        }
        quarantine.clear();
    }

    // Everything the library shows, as one text, for comparison.
    std::string state(bool fromLibrary) const {
        std::string s;
        for (size_t k = 0; k < pools.size(); ++k) {
            s += "pool " + std::to_string(k) + " free";
            if (fromLibrary) {
                // The blocks in the order they will be handed out: the
                // never-used ones (in index order), then the free list.
                const MemPool &lp = kovamem::memPool(k);
                for (uint32_t j = kovamem::memPoolHot[k].made; j < lp.blockCount; ++j) s += " " + std::to_string(j);
                for (const MemBlockHdr *h = lp.freeHead; h; h = h->next) s += " " + std::to_string(h->blockIndex);
                // The busy blocks: in allocation order on the classic
                // build's busy list, by address in the default build's.
                s += " busy";
                kovamem::memForEachBusy(static_cast<unsigned>(k), [&](const MemBlockHdr *h) {
                    s += " " + std::to_string(h->blockIndex) + ":" + std::to_string(h->reqSize);
                    return true;
                });
                s += fmt(" A%u P%u C%u F%u B%u", lp.reqBytes, lp.peakCount, lp.corruptCount, lp.freeCount,
                         lp.busyCount);
            } else {
                const Pool &p = pools[k];
                for (uint16_t j : p.free) s += " " + std::to_string(j);
                s += " busy";
                std::vector<uint16_t> busy(p.busy.begin(), p.busy.end());
                if (!kovamem::config_classic) std::sort(busy.begin(), busy.end());
                for (uint16_t j : busy) s += " " + std::to_string(j) + ":" + std::to_string(p.req[j]);
                s += fmt(" A%u P%u C%u F%zu B%zu", p.reqBytes, p.peak, p.corrupt, p.free.size(), p.busy.size());
            }
            s += "\n";
        }
        s += "quarantine";
        if (fromLibrary) {
            for (const MemBlockHdr *h = memMgrDetails.corruptList; h; h = h->next)
                s += fmt(" %u/%u", h->poolIndex, h->blockIndex);
            const MemMgrDetails &m = kt::counted();
            s += fmt("\ncounters %u %u %u %u %u %u\n", m.memMallocCount, m.memReallocCount, m.memFreeCount,
                     m.sysMallocCount, m.sysReallocCount, m.sysFreeCount);
        } else {
            for (auto [k, j] : quarantine) s += fmt(" %d/%u", k, j);
            s += fmt("\ncounters %u %u %u %u %u %u\n", memMalloc, memRealloc, memFree, sysMalloc, sysRealloc, sysFree);
        }
        return s;
    }
};

void fill(uint8_t *p, uint32_t n, uint8_t seed) {
    for (uint32_t i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(seed + i * 7);
}
bool holds(const uint8_t *p, uint32_t n, uint8_t seed) {
    for (uint32_t i = 0; i < n; ++i)
        if (p[i] != static_cast<uint8_t>(seed + i * 7)) return false;
    return true;
}

void run(unsigned seed, int ops) {
    const kt::Cfg cfg{{0, 5}, {1, 4}, {3, 6}, {5, 3}};
    kt::start(cfg);
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    Manager m(cfg);
    std::mt19937 rng(seed);
    auto size = [&] {
        const uint32_t r = rng() % 20;
        return r == 0 ? 300 + rng() % 200 : 1 + rng() % (r < 10 ? 20 : 256);
    };
    auto any = [&]() -> std::pair<uint8_t *const, Block> & {
        auto it = m.live.begin();
        std::advance(it, static_cast<long>(rng() % m.live.size()));
        return *it;
    };
    for (int op = 0; op < ops; ++op) {
        KovaMemResetFile();
        m.log.clear();
        const uint32_t r = rng() % 100;
        std::string what;
        if (r < 30 || m.live.empty()) {
            const uint32_t n = size();
            const bool zeroed = r % 3 == 0;
            what = fmt("%s(%u)", zeroed ? "calloc" : "alloc", n);
            uint8_t *got = static_cast<uint8_t *>(zeroed ? KovaMemCalloc(n, 1) : KovaMemAlloc(n));
            ASSERT_NE(got, nullptr) << what;
            uint8_t *want = m.alloc(n, got);
            ASSERT_EQ(got, want) << what << " seed " << seed << " op " << op << "\n" << m.state(true) << m.state(false);
            if (zeroed) {
                ASSERT_TRUE(std::all_of(got, got + n, [](uint8_t b) { return b == 0; })) << what;
            }
            const uint8_t s = static_cast<uint8_t>(rng());
            fill(got, n, s);
            MemBlockHdr *h = kt::hdrOf(got);
            m.live[got] = Block{h ? h->poolIndex : -1, h ? h->blockIndex : uint16_t{0}, n, s};
        } else if (r < 32) {
            what = "alloc(0)";
            ASSERT_EQ(KovaMemAlloc(0), nullptr);
            const std::string log = kt::readLog();
            ASSERT_EQ(log.rfind(" EXIT: Allocation for Zero Bytes \nSTACK DETAILS: A:     0 L:     0 T:       0", 0), 0u);
            m.log = log;
        } else if (r < 57) {
            auto &[p, b] = any();
            uint8_t *ptr = p;
            const Block blk = b;
            m.live.erase(ptr);
            ASSERT_TRUE(holds(ptr, blk.size, blk.seed)) << "content before free";
            what = "free";
            const int want = blk.pool < 0 ? 1 : m.release(blk.pool, blk.slot);
            if (blk.pool < 0) ++m.sysFree;
            ASSERT_EQ(KovaMemFree(ptr), want) << what << " seed " << seed << " op " << op << " pool " << blk.pool << " slot " << blk.slot;
            if (blk.pool >= 0) {  // twice, and inside the block: refused (the default build says so)
                ASSERT_EQ(KovaMemFree(ptr), MEM_FREE_NOT_BUSY);
                const bool quarantined = want == 0;
                if (!kt::config_classic)
                    m.log += fmt(" ERROR: KovaMemFree: Ptr %s is %s (block %u of pool %d)\n", kt::hex(ptr).c_str(),
                                 quarantined ? "quarantined" : "already free", blk.slot, blk.pool) +
                             Manager::chain("KovaMemFree", ptr, "released by", 0);
                // Classic: the inside of a pool's last slot lies beyond its range
                // and would go to the C library's free.
                if (!kt::config_classic || blk.slot + 1 < kovamem::memPool(blk.pool).blockCount) {
                    ASSERT_EQ(KovaMemFree(ptr + 1), MEM_FREE_NOT_BUSY);
                }
                if (!kt::config_classic)
                    m.log += fmt(" ERROR: KovaMemFree: Ptr %s is inside block %u of pool %d at offset 1\n",
                                 kt::hex(ptr + 1).c_str(), blk.slot, blk.pool) +
                             Manager::chain("KovaMemFree", ptr + 1, "released by", 0);
            }
        } else if (r < 62) {
            auto &[p, b] = any();
            if (b.pool < 0 || m.pools[static_cast<size_t>(b.pool)].damaged[b.slot]) continue;
            Pool &pool = m.pools[static_cast<size_t>(b.pool)];
            const uint32_t at = Manager::guardAt(pool.req[b.slot], pool.size);
            what = fmt("overrun at %u", at);
            kt::poke(p + at, 0x80);  // the first byte behind the caller's bytes, or the spare word
            pool.damaged[b.slot] = true;
        } else if (r < 90) {
            auto &[p, b] = any();
            uint8_t *ptr = p;
            Block blk = b;
            const uint32_t n = rng() % 16 == 0 ? 0 : size();
            what = fmt("realloc(%u -> %u)", blk.size, n);
            uint8_t *got = static_cast<uint8_t *>(KovaMemReAlloc(ptr, n));
            if (blk.pool < 0) {  // a C-heap block
                if (kt::config_classic) {
                    ASSERT_EQ(got, nullptr) << what;
                } else if (n == 0) {
                    ASSERT_EQ(got, ptr) << what;
                } else {
                    ASSERT_NE(got, nullptr) << what;
                    m.note(3, n, " EXIT: ERROR: KovaMemReAlloc: System realloc with Ptr " + kt::hex(ptr) + " and size " +
                                     std::to_string(n));
                    ++m.sysRealloc;
                    ASSERT_TRUE(holds(got, std::min(blk.size, n), blk.seed)) << what;
                    m.live.erase(ptr);
                    blk.size = n;
                    fill(got, n, blk.seed);
                    m.live[got] = blk;
                }
            } else {
                Pool &pool = m.pools[static_cast<size_t>(blk.pool)];
                const uint32_t old = pool.req[blk.slot];
                if (n <= pool.size) {
                    ASSERT_EQ(got, ptr) << what;
                    if (!kt::config_classic && n != 0 && !pool.damaged[blk.slot]) {
                        pool.reqBytes += n - old;
                        pool.req[blk.slot] = n;
                    }
                    ASSERT_TRUE(holds(got, std::min(blk.size, pool.req[blk.slot]), blk.seed)) << what;
                    blk.size = pool.req[blk.slot];  // what the caller may now write
                    fill(got, blk.size, blk.seed);
                    m.live[ptr] = blk;
                } else {
                    uint8_t *want = m.alloc(n, got);
                    ASSERT_EQ(got, want) << what;
                    ++m.memRealloc;
                    ASSERT_TRUE(holds(got, std::min(old, n), blk.seed)) << what;
                    m.release(blk.pool, blk.slot, "KovaMemReAlloc");
                    m.live.erase(ptr);
                    MemBlockHdr *h = kt::hdrOf(got);
                    Block nb{h ? h->poolIndex : -1, h ? h->blockIndex : uint16_t{0}, n, blk.seed};
                    fill(got, n, blk.seed);
                    m.live[got] = nb;
                }
            }
        } else if (r < 95 && !kt::config_classic) {
            what = "realloc(NULL)";
            const uint32_t n = size();
            uint8_t *got = static_cast<uint8_t *>(KovaMemReAlloc(nullptr, n));
            ASSERT_EQ(got, m.alloc(n, got)) << what;
            MemBlockHdr *h = kt::hdrOf(got);
            fill(got, n, 9);
            m.live[got] = Block{h ? h->poolIndex : -1, h ? h->blockIndex : uint16_t{0}, n, 9};
        } else {
            what = "clean";
            KovaMemCleanMemBlocks();
            m.clean();
        }
        ASSERT_EQ(chainsMarked(kt::readLog()), chainsMarked(m.log)) << "seed " << seed << " op " << op << " " << what;
        ASSERT_EQ(m.state(true), m.state(false)) << "seed " << seed << " op " << op << " " << what;
        for (const auto &[p, b] : m.live) {  // every busy block's guard where the model puts it
            if (b.pool < 0 || m.pools[static_cast<size_t>(b.pool)].damaged[b.slot]) continue;
            const Pool &pool = m.pools[static_cast<size_t>(b.pool)];
            ASSERT_EQ(kt::wordAt(p + Manager::guardAt(pool.req[b.slot], pool.size)), MEM_GUARD_WORD)
                << "seed " << seed << " op " << op << " " << what;
        }
        if (op % 64 == 0) {
            ASSERT_EQ(kt::validity(), "valid") << "seed " << seed << " op " << op;
        }
    }
    for (auto &[p, b] : m.live) KovaMemFree(p);
}

}  // namespace

using Model = kt::Scenario;

// One sequence per process: the manager is initialised once.
TEST_F(Model, PublicCallsMatchTheModelSeed11) { run(11, 2500); }
TEST_F(Model, PublicCallsMatchTheModelSeed12) { run(12, 2500); }
TEST_F(Model, PublicCallsMatchTheModelSeed13) { run(13, 2500); }
