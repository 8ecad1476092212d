// Entries that name the culprits of a fault (default build): who allocated
// and who released a damaged block, what an invalid release met, blocks
// written after their release, and fallback notes that leave room for the
// reports. The chains are checked by their frames: each named function's
// return address lies inside it.
#include <link.h>

#include <functional>
#include <map>
#include <sstream>

#include "support.h"

#define KT_SITE extern "C" __attribute__((noinline, used))
#define KT_BARRIER() __asm__ volatile("" ::: "memory")

KT_SITE void *ktFaultAllocate(uint32_t n) {
    void *p = KovaMemAlloc(n);
    KT_BARRIER();
    return p;
}
KT_SITE void ktFaultOverrun(uint8_t *p, int32_t at) {
    kt::poke(p + at, 0x80);
    KT_BARRIER();
}
KT_SITE uint8_t ktFaultRelease(void *p) {
    uint8_t r = KovaMemFree(p);
    KT_BARRIER();
    return r;
}
KT_SITE uint8_t ktFaultReleaseAgain(void *p) {
    uint8_t r = KovaMemFree(p);
    KT_BARRIER();
    return r;
}
KT_SITE void *ktFaultAllocateLater(uint32_t n) {
    void *p = KovaMemAlloc(n);
    KT_BARRIER();
    return p;
}

namespace {

// The frames of the STACK DETAILS entry right behind the line that begins
// with `header`, or nothing.
std::vector<uintptr_t> chainAfter(const std::string &log, const std::string &header) {
    std::vector<uintptr_t> frames;
    const size_t at = log.find(header);
    if (at == std::string::npos) return frames;
    std::istringstream in(log.substr(log.find('\n', at) + 1));
    std::string line;
    std::getline(in, line);
    if (line.rfind("STACK DETAILS: ", 0) != 0) return frames;
    while (std::getline(in, line) && line.rfind('[', 0) == 0)
        frames.push_back(static_cast<uintptr_t>(strtoull(line.c_str() + 1, nullptr, 16)));
    return frames;
}

// Whether one of the first frames returns into fn.
bool passesThrough(const std::vector<uintptr_t> &frames, const void *fn) {
    const uintptr_t lo = reinterpret_cast<uintptr_t>(fn);
    for (size_t i = 0; i < frames.size() && i < 4; ++i)
        if (frames[i] > lo && frames[i] < lo + 512) return true;
    return false;
}

std::string header(const char *op, const void *p, const char *which) {
    return std::string(" INFO: ") + op + ": Ptr " + kt::hex(p) + " " + which + ":\n";
}

}  // namespace

class Faults : public kt::Scenario {
protected:
    void SetUp() override {
        if (kt::config_classic) GTEST_SKIP() << "classic: the described entries only";
        kt::Scenario::SetUp();
    }
    void TearDown() override {
        if (kt::config_classic) return;
        KovaMemSetFreeCheck(0);
        kt::Scenario::TearDown();
    }
};

// A traced block that stays live, so that the trace lists never run empty
// (their moves note an empty list).
void *keeper() {
    void *k = KovaMemAlloc(8);
    KovaMemResetFile();
    return k;
}

TEST_F(Faults, DamagedBlockNamesTheChainsThatAllocatedAndReleasedIt) {
    kt::start(kt::Cfg{{0, 1}, {1, 2}});
    KovaMemUpdateLogStackFlag(1);
    void *keep = keeper();
    uint8_t *p = static_cast<uint8_t *>(ktFaultAllocate(10));
    ktFaultOverrun(p, 10);
    EXPECT_EQ(ktFaultRelease(p), 0);
    const std::string log = kt::readLog();
    // The described entries first, then the two chains, each behind its line.
    EXPECT_EQ(kt::chainsMarked(log), " CRIT: KovaMemFreeNode: Ptr " + kt::hex(p) +
                                         " from Pool 1 and Block 0 might be corrupted\n ERROR: KovaMemFreeNode: FAILED "
                                         "to free the Ptr " + kt::hex(p) + "\n" +
                                         kt::chainEntry("KovaMemFree", p, "allocated by", 10) +
                                         kt::chainEntry("KovaMemFree", p, "released by", 10));
    EXPECT_TRUE(passesThrough(chainAfter(log, header("KovaMemFree", p, "allocated by")),
                              reinterpret_cast<void *>(&ktFaultAllocate)))
        << log;
    EXPECT_TRUE(passesThrough(chainAfter(log, header("KovaMemFree", p, "released by")),
                              reinterpret_cast<void *>(&ktFaultRelease)))
        << log;
    // Untraced, the release's chain is still captured: a quarantine is rare.
    KovaMemUpdateLogStackFlag(0);
    KovaMemResetFile();
    uint8_t *q = static_cast<uint8_t *>(ktFaultAllocate(10));
    ktFaultOverrun(q, 10);
    EXPECT_EQ(ktFaultRelease(q), 0);
    EXPECT_EQ(kt::count(kt::readLog(), "allocated by"), 0u);
    EXPECT_TRUE(passesThrough(chainAfter(kt::readLog(), header("KovaMemFree", q, "released by")),
                              reinterpret_cast<void *>(&ktFaultRelease)));
    // A second release of the quarantined block says so.
    KovaMemResetFile();
    EXPECT_EQ(ktFaultReleaseAgain(q), MEM_FREE_NOT_BUSY);
    EXPECT_EQ(kt::readLogMarked(), " ERROR: KovaMemFree: Ptr " + kt::hex(q) + " is quarantined (block 1 of pool 1)\n" +
                                       kt::chainEntry("KovaMemFree", q, "released by", 0));
    EXPECT_TRUE(passesThrough(chainAfter(kt::readLog(), header("KovaMemFree", q, "released by")),
                              reinterpret_cast<void *>(&ktFaultReleaseAgain)));
    KovaMemCleanMemBlocks();
    KovaMemFree(keep);
}

// A busy block whose guard behind or in front of it is damaged is named by
// the first report, snapshot or check that meets it, once, with the chain
// that allocated it; its release then quarantines it, an underrun saying
// which guard.
TEST_F(Faults, DamagedGuardsOfBusyBlocksAreNamedOnceByWhateverFindsThemFirst) {
    kt::start(kt::Cfg{{0, 1}, {1, 8}});
    KovaMemUpdateLogStackFlag(1);
    void *keep = keeper();
    void *first = ktFaultAllocate(10);  // block 0 has no guard in front of it
    const struct {
        int32_t at;  // the byte written, from the block's start (a 10-byte request)
        const char *guard;
        std::function<void()> find;
        const char *op;
    } cases[] = {
        {10, "behind it (an overrun)", [] { KovaMemPrintMemStatus(); }, "KovaMemPrintMemStatus"},
        {-1, "in front of it (an underrun)", [] { KovaMemPrintMemStatus(); }, "KovaMemPrintMemStatus"},
        {-4, "in front of it (an underrun)", [] { KovaMemStats st{}; st.size = sizeof st; KovaMemGetStats(&st); },
         "KovaMemGetStats"},
        {13, "behind it (an overrun)", [] { EXPECT_EQ(kt::validity(), "valid"); }, "memValidate"},
    };
    for (const auto &c : cases) {
        uint8_t *p = static_cast<uint8_t *>(ktFaultAllocate(10));
        ktFaultOverrun(p, c.at);
        const std::string block = " from Pool 1 and Block " + std::to_string(kt::hdrOf(p)->blockIndex);
        const std::string found = std::string(" CRIT: ") + c.op + ": Ptr " + kt::hex(p) + block +
                                  " (size 10) has a damaged guard " + c.guard;
        KovaMemResetFile();
        c.find();
        std::string log = kt::readLog();
        const size_t at = log.find(found + ", found at the report\n");
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_EQ(kt::chainsMarked(log.substr(at)), found + ", found at the report\n" +
                                                      kt::chainEntry(c.op, p, "allocated by", 10));
        EXPECT_TRUE(passesThrough(chainAfter(log, header(c.op, p, "allocated by")),
                                  reinterpret_cast<void *>(&ktFaultAllocate)));
        KovaMemResetFile();
        KovaMemPrintMemStatus();
        EXPECT_EQ(kt::count(kt::readLog(), "has a damaged guard"), 0u) << "told once";
        KovaMemResetFile();
        EXPECT_EQ(ktFaultRelease(p), 0);
        EXPECT_EQ(kt::chainsMarked(kt::readLog()),
                  " CRIT: KovaMemFreeNode: Ptr " + kt::hex(p) + block + " might be corrupted\n ERROR: KovaMemFreeNode: "
                  "FAILED to free the Ptr " + kt::hex(p) + "\n" +
                      (c.at < 0 ? " CRIT: KovaMemFree: Ptr " + kt::hex(p) + block +
                                      " (size 10) has a damaged guard in front of it (an underrun)\n"
                                : "") +
                      kt::chainEntry("KovaMemFree", p, "allocated by", 10) +
                      kt::chainEntry("KovaMemFree", p, "released by", 10));
    }
    KovaMemCleanMemBlocks();
    EXPECT_EQ(kt::validity(), "valid");  // the guards made again
    KovaMemFree(first);
    KovaMemFree(keep);
}

TEST_F(Faults, WriteAfterReleaseIsFoundByTheNextAllocationOfTheBlock) {
    kt::start(kt::Cfg{{0, 1}, {1, 2}});
    KovaMemUpdateLogStackFlag(1);
    KovaMemSetFreeCheck(1);
    void *keep = keeper();
    uint8_t *p = static_cast<uint8_t *>(ktFaultAllocate(12));
    uint8_t *spare = static_cast<uint8_t *>(ktFaultAllocate(12));
    EXPECT_EQ(ktFaultRelease(p), 1);
    EXPECT_EQ(kovamem::memFreedChangedAt(p, 16), -1);  // the release filled it
    EXPECT_EQ(kt::table(), "free 2997 busy 2");  // p's record is held with its release chain
    EXPECT_EQ(memHeld.count, 1u);
    EXPECT_EQ(ktFaultRelease(spare), 1);
    kt::poke(p + 5, 0x41);  // a write after the release
    KovaMemResetFile();
    uint8_t *got = static_cast<uint8_t *>(ktFaultAllocateLater(12));
    EXPECT_EQ(got, spare);  // p was next, and went to the quarantine instead
    EXPECT_EQ(kt::pool(1), "N2 F0 B1 C1 A12 P2");
    const std::string log = kt::readLog();
    EXPECT_EQ(kt::chainsMarked(log), " CRIT: KovaMemAlloc: Ptr " + kt::hex(p) +
                                         " from Pool 1 and Block 0 was written after its release at offset 5\n" +
                                         kt::chainEntry("KovaMemAlloc", p, "allocated by", 0) +
                                         kt::chainEntry("KovaMemAlloc", p, "released by", 0) +
                                         kt::chainEntry("KovaMemAlloc", p, "found by", 0));
    EXPECT_TRUE(passesThrough(chainAfter(log, header("KovaMemAlloc", p, "allocated by")),
                              reinterpret_cast<void *>(&ktFaultAllocate)))
        << log;
    EXPECT_TRUE(passesThrough(chainAfter(log, header("KovaMemAlloc", p, "released by")),
                              reinterpret_cast<void *>(&ktFaultRelease)))
        << log;
    EXPECT_TRUE(passesThrough(chainAfter(log, header("KovaMemAlloc", p, "found by")),
                              reinterpret_cast<void *>(&ktFaultAllocateLater)))
        << log;
    EXPECT_EQ(memHeld.count, 0u);  // both held records given back: one found written, one taken
    KovaMemCleanMemBlocks();
    EXPECT_EQ(kt::pool(1), "N2 F1 B1 C0 A12 P2");
    EXPECT_EQ(ktFaultRelease(got), 1);
    KovaMemFree(keep);
}

// The chains of a released block outlive its trace record, which live
// blocks take back: the chain store names both; a chain the full store
// could not keep is said to be lost, never given as another.
TEST_F(Faults, WrittenAfterReleaseNamesBothChainsAfterLiveBlocksTookEveryRecord) {
    kt::start(kt::Cfg{{0, 3200}, {1, 2}});
    KovaMemUpdateLogStackFlag(1);
    KovaMemSetFreeCheck(1);
    uint8_t *p = static_cast<uint8_t *>(ktFaultAllocate(12));
    uint8_t *q = static_cast<uint8_t *>(ktFaultAllocateLater(12));
    EXPECT_EQ(ktFaultRelease(p), 1);
    const uint32_t kept = kovamem::memDepotCount();
    kovamem::memDepotCapacity = kept;  // q's chains are new: the store is full for them
    EXPECT_EQ(ktFaultReleaseAgain(q), 1);
    std::vector<void *> live;
    for (int i = 0; i < 3100; ++i) live.push_back(KovaMemAlloc(8));
    EXPECT_EQ(memHeld.count, 0u);  // both held records went to live blocks
    kt::poke(p + 1, 0x41);
    kt::poke(q + 2, 0x41);
    KovaMemResetFile();
    void *got = KovaMemAlloc(12);  // meets both, quarantines both
    const std::string log = kt::readLog();
    const std::string lost = " (the store of " + std::to_string(kept) + " chains is full)\n";
    EXPECT_EQ(kt::chainsMarked(log).rfind(
                  " CRIT: KovaMemAlloc: Ptr " + kt::hex(p) + " from Pool 1 and Block 0 was written after its release at "
                  "offset 1\n" + kt::chainEntry("KovaMemAlloc", p, "allocated by", 0) +
                      kt::chainEntry("KovaMemAlloc", p, "released by", 0) + kt::chainEntry("KovaMemAlloc", p, "found by", 0) +
                      " CRIT: KovaMemAlloc: Ptr " + kt::hex(q) + " from Pool 1 and Block 1 was written after its release "
                      "at offset 2\n INFO: KovaMemAlloc: Ptr " + kt::hex(q) + " allocated by: not kept" + lost +
                      " INFO: KovaMemAlloc: Ptr " + kt::hex(q) + " released by: not kept" + lost +
                      kt::chainEntry("KovaMemAlloc", q, "found by", 0),
                  0),
              0u)
        << log;
    EXPECT_TRUE(passesThrough(chainAfter(log, header("KovaMemAlloc", p, "allocated by")),
                              reinterpret_cast<void *>(&ktFaultAllocate)));
    EXPECT_TRUE(passesThrough(chainAfter(log, header("KovaMemAlloc", p, "released by")),
                              reinterpret_cast<void *>(&ktFaultRelease)));
    kovamem::memDepotCapacity = kovamem::kDepotChains;
    for (void *b : live) KovaMemFree(b);
    KovaMemFree(got);
    KovaMemCleanMemBlocks();
}

TEST_F(Faults, WriteAfterReleaseCheckWithoutTracingAndWhenSwitched) {
    kt::start(kt::Cfg{{1, 4}});
    uint8_t *before = static_cast<uint8_t *>(KovaMemAlloc(16));
    KovaMemFree(before);  // released while the check is off: never checked
    kt::poke(before, 1);
    KovaMemSetFreeCheck(1);
    uint8_t *a = static_cast<uint8_t *>(KovaMemAlloc(16));
    uint8_t *b = static_cast<uint8_t *>(KovaMemAlloc(16));
    uint8_t *c = static_cast<uint8_t *>(KovaMemAlloc(16));
    ASSERT_NE(a, before);
    for (uint8_t *x : {a, b, c}) KovaMemFree(x);
    KovaMemSetFreeCheck(0);  // blocks released while it was on are still checked
    kt::poke(a + 15, 0xFF);  // writes after the release
    kt::poke(b, 0xFF);
    kt::poke(c + 7, 0xFF);
    KovaMemResetFile();
    EXPECT_EQ(static_cast<uint8_t *>(KovaMemAlloc(16)), before);
    KovaMemResetFile();
    void *fallback = KovaMemAlloc(16);  // a, b and c all found written: the pool is full, the C heap serves
    EXPECT_EQ(kt::hdrOf(fallback), nullptr);
    const std::string log = kt::readLogMarked();
    EXPECT_EQ(log, " CRIT: KovaMemAlloc: Ptr " + kt::hex(a) +
                       " from Pool 0 and Block 1 was written after its release at offset 15\n" +
                       kt::chainEntry("KovaMemAlloc", a, "found by", 0) + " CRIT: KovaMemAlloc: Ptr " + kt::hex(b) +
                       " from Pool 0 and Block 2 was written after its release at offset 0\n" +
                       kt::chainEntry("KovaMemAlloc", b, "found by", 0) +
                       " CRIT: KovaMemAlloc: 1 more blocks were written after their release and are quarantined\n" +
                       kt::noted(" REQ: KovaMemAlloc: 0 Pool is full and so going to next Pool", 1) +
                       kt::noted(" EXIT: ERROR: KovaMemAlloc: Mem Full and going for System alloc with size 16", 1));
    EXPECT_EQ(memMgrDetails.corruptCount, 3u);
    KovaMemFree(fallback);
    KovaMemFree(before);
    KovaMemCleanMemBlocks();
}

// While the check and tracing are on, released blocks keep their records;
// an allocation that finds no free record takes the oldest held one back,
// so every live block stays traced.
TEST_F(Faults, HeldRecordsGiveWayToLiveBlocks) {
    kt::start(kt::Cfg{{0, MEM_STACK_RECORDS + 100}});
    KovaMemUpdateLogStackFlag(1);
    KovaMemSetFreeCheck(1);
    std::vector<void *> live;
    for (int i = 0; i < MEM_STACK_RECORDS; ++i) live.push_back(KovaMemAlloc(8));
    for (void *p : live) KovaMemFree(p);
    EXPECT_EQ(memHeld.count, MEM_STACK_RECORDS);
    EXPECT_EQ(kt::validity(), "valid");
    live.clear();
    for (int i = 0; i < MEM_STACK_RECORDS; ++i) live.push_back(KovaMemAlloc(8));  // the 100 unused blocks first
    EXPECT_EQ(kt::table(), "free 0 busy 3000");
    for (void *p : live) EXPECT_NE(kt::hdrOf(p)->stackRec, nullptr);
    EXPECT_EQ(kt::validity(), "valid");
    KovaMemSetFileSize(4096);
    KovaMemPrintMemStatus();
    EXPECT_EQ(kt::count(kt::readLog(), " Stack Free Count : 0, Stack Busy Count : 3000\n"), 1u);
    for (void *p : live) KovaMemFree(p);
    KovaMemUpdateLogStackFlag(0);  // a reset gives every held record back
    EXPECT_EQ(memHeld.count, 0u);
}

// 5000 requests of one size beyond the pools, with the default cap: 13
// notes (counts 1 to 4096), and a report after them finds room.
TEST_F(Faults, FallbackNotesAtDoublingCountsLeaveRoomForTheReport) {
    kt::start(kt::Cfg{{1, 2}});
    for (int i = 0; i < 5000; ++i) KovaMemFree(KovaMemAlloc(100));
    const std::string notes = kt::readLog();
    std::string want;
    for (unsigned n = 1; n <= 4096; n *= 2) want += kt::noted(" EXIT: ERROR: KovaMemAlloc: System alloc with size 100", n);
    EXPECT_EQ(notes, want);
    KovaMemPrintMemStatus();
    EXPECT_EQ(kt::count(kt::readLog(), "Memory Manager Status -> End"), 1u);
    EXPECT_EQ(kt::count(kt::readLog(), "Max file size reached"), 0u);
    // Sizes past the first 64 (100 was the first) share one count.
    KovaMemResetFile();
    for (uint32_t size = 1000; size < 1066; ++size) KovaMemFree(KovaMemAlloc(size));
    const std::string log = kt::readLog();
    EXPECT_EQ(kt::count(log, " (count 1)\n"), 63u);
    EXPECT_EQ(kt::count(log, "size 1063 (count 1, sizes past the first 64 counted together)\n"), 1u);
    EXPECT_EQ(kt::count(log, "size 1064 (count 2, sizes past the first 64 counted together)\n"), 1u);
    EXPECT_EQ(kt::count(log, "size 1065"), 0u);  // count 3
}

TEST_F(Faults, NotesStopAtThreeQuartersOfTheCapWhileEntriesGoOn) {
    kt::start(kt::Cfg{{1, 1}});
    KovaMemSetFileSize(1);  // 1024 bytes
    const std::string line(99, 'x');
    while (kt::readLog().size() < 800) memLogPrint("%s\n", line.c_str());  // past three quarters
    const size_t before = kt::readLog().size();
    KovaMemFree(KovaMemAlloc(500));  // its note is left out
    EXPECT_EQ(kt::readLog().size(), before);
    memLogPrint(" an entry\n");  // entries still have the last quarter
    EXPECT_EQ(kt::readLog().size(), before + 10);
    KovaMemSetFileSize(16);
    KovaMemResetFile();
    KovaMemFree(KovaMemAlloc(500));  // the count went on meanwhile
    EXPECT_EQ(kt::readLog(), kt::noted(" EXIT: ERROR: KovaMemAlloc: System alloc with size 500", 2));
}

// ---- fault records ----
namespace {

// The records of a spool directory, oldest first, each as its fields; the
// directory is emptied and removed.
std::vector<std::map<std::string, std::string>> spooled(const std::string &dir) {
    std::vector<std::map<std::string, std::string>> out;
    for (const std::string &n : kt::filesIn(dir)) {
        std::istringstream words(kt::readFile(dir + "/" + n));
        std::map<std::string, std::string> fields;
        std::string w;
        words >> w;
        EXPECT_EQ(w, "kovamem/1") << n;
        while (words >> w) fields[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
        out.push_back(fields);
        unlink((dir + "/" + n).c_str());
    }
    rmdir(dir.c_str());
    return out;
}

// The code address a record's frame "i+offset" names: the test program
// (the loader's first module) is the first module of the chains below.
uintptr_t frameAddress(const std::string &frame) {
    uintptr_t base = 0;
    dl_iterate_phdr([](dl_phdr_info *info, size_t, void *out) { return *static_cast<uintptr_t *>(out) = info->dlpi_addr, 1; },
                    &base);
    return frame.rfind("0+", 0) == 0 ? base + strtoull(frame.c_str() + 2, nullptr, 16) : 0;
}

}  // namespace

// A signature hashes the kind and frames as text: the same on every target
// (the values below are FNV-1a 64 as the record's description defines it,
// computed apart from the library).
TEST(Records, SignaturesHashTheirTextAlikeOnEveryTarget) {
    const char *fault[] = {"5edd4f42ff028d8c544269ab16262a1a283f0c03+1360", "libc.so.6+29d90"};
    const char *alloc[] = {"a+10", "b+20"};
    EXPECT_EQ(kovamem::memRecordSignature("double-free", nullptr, 0, fault, 2), 0x709542f04e212fdbull);
    EXPECT_EQ(kovamem::memRecordSignature("overrun", alloc, 2, nullptr, 0), 0xe9c52c1fc3c464bfull);
}

// The sink lists a host may give, and those refused whole: a facility
// outside the list (local7 carries boot messages), a name where an address
// must be, a port out of range, more than eight sinks.
TEST(Records, SinkListsAreTakenOrRefusedWhole) {
    if (kt::config_classic) GTEST_SKIP() << "the classic build refuses every list";
    const std::string eight = "file,syslog,syslog:local0,syslog-udp://10.0.0.1:514,syslog-udp://[::1]:514,"
                              "syslog-tcp://[fe80::1]:6514,journald,spool:/tmp/kt-none";
    const struct {
        std::string list;
        int result;
    } cases[] = {
        {"report_to=syslog:authpriv", 0},  {"report_to=syslog:local7", -1},
        {"report_to=syslog:", -1},         {"report_to=syslog-udp://localhost:514", -1},
        {"report_to=syslog-tcp://127.0.0.1:65536", -1}, {"report_to=syslog-udp://[::1:514", -1},
        {"report_to=" + eight, 0},         {"report_to=" + eight + ",file", -1},
        {"report_to=file", 0},
    };
    for (const auto &c : cases) EXPECT_EQ(KovaMemSetReportOptions(c.list.c_str()), c.result) << c.list;
}

// Every fault entry gets a record: its kind, the identity given, and its
// chains as offsets into the program; the third of one signature on is
// counted and sent as a repeat, then a census.
TEST_F(Faults, RecordsNameEachFaultWithItsChainsAndCountRepeats) {
    const std::string dir = "/tmp/kt-spool-" + std::to_string(getpid());
    ASSERT_EQ(KovaMemSetReportOptions(("report_to=file,spool:" + dir + ";fw=fw-9;device=dev-3;report_first=2").c_str()),
              0);
    EXPECT_EQ(KovaMemSetReportOptions("report_to=file,nowhere;report_first=x;fw="), -1);
    kt::start(kt::Cfg{{0, 4}, {1, 8}});
    KovaMemUpdateLogStackFlag(1);
    void *keep = ktFaultAllocate(8);  // live to the end: the census names its site
    uint8_t *over = static_cast<uint8_t *>(ktFaultAllocate(10));
    ktFaultOverrun(over, 10);
    EXPECT_EQ(ktFaultRelease(over), 0);
    for (int i = 0; i < 4; ++i) {
        void *p = ktFaultAllocateLater(12);
        EXPECT_EQ(ktFaultRelease(p), 1);
        EXPECT_EQ(ktFaultReleaseAgain(p), MEM_FREE_NOT_BUSY);
    }
    KovaMemFlushReports();
    const auto recs = spooled(dir);
    std::vector<std::string> kinds;
    for (const auto &r : recs) kinds.push_back(r.at("kind"));
    EXPECT_EQ(kinds, (std::vector<std::string>{"overrun", "double-free", "double-free", "repeat", "census"}));
    for (const auto &r : recs) EXPECT_EQ(r.at("fw") + " " + r.at("device") + " " + r.at("pid"),
                                          "fw-9 dev-3 " + std::to_string(getpid()));
    const auto frames = [](const std::string &chain) {
        std::vector<uintptr_t> out;
        std::istringstream in(chain);
        for (std::string f; std::getline(in, f, ',');) out.push_back(frameAddress(f));
        return out;
    };
    EXPECT_EQ(recs[0].at("ptr"), kt::hex(over));
    EXPECT_TRUE(passesThrough(frames(recs[0].at("alloc")), reinterpret_cast<void *>(&ktFaultAllocate)));
    EXPECT_TRUE(passesThrough(frames(recs[0].at("fault")), reinterpret_cast<void *>(&ktFaultRelease)));
    EXPECT_TRUE(passesThrough(frames(recs[1].at("fault")), reinterpret_cast<void *>(&ktFaultReleaseAgain)));
    EXPECT_EQ(recs[1].at("sig"), recs[2].at("sig"));
    EXPECT_NE(recs[0].at("sig"), recs[1].at("sig"));
    EXPECT_EQ(recs[3].at("of") + " " + recs[3].at("sig") + " " + recs[3].at("count") + " " + recs[3].at("total"),
              "double-free " + recs[1].at("sig") + " 2 4");
    EXPECT_EQ(recs[4].at("faults") + " " + recs[4].at("quarantined") + " " + recs[4].at("dropped"), "5 1 0");
    // The census names the live allocation sites: here the one kept block.
    const std::string site = recs[4].at("sites");
    const size_t frames0 = site.find('/', site.find('/') + 1) + 1;
    EXPECT_EQ(site.substr(0, frames0), "8/1/");
    EXPECT_TRUE(passesThrough(frames(site.substr(frames0)), reinterpret_cast<void *>(&ktFaultAllocate))) << site;
    KovaMemCleanMemBlocks();
    KovaMemFree(keep);
}
