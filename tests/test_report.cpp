// The status report and the debug commands, compared with their exact text.
#include <vector>

#include "support.h"

using kt::readLog;

using kt::hex;

namespace {

const std::string kDash(79, '-');
const std::string kDashNl = kDash + "\n";
const std::string kBegin = "---------------------- Memory Manager Status -> Begin -------------------------\n";
const std::string kNotInit = "---------------------- Memory Manager is Not Initialized ----------------------\n";

// Ten 32-byte blocks: 320 data bytes and 60 + 52 + 10 x 28 management bytes
// in slots of 36; the default build's padding counts as management too.
const std::string kReservedAndMgmt =
    kt::config_classic ? " Total Memory Reserved   =      712\n Total Management Memory =      392\n"
    : kovamem::config_slot_align == 8 ? " Total Memory Reserved   =      752\n Total Management Memory =      432\n"
                                       : " Total Memory Reserved   =      832\n Total Management Memory =      512\n";

// The summary entry of a one-pool worked example.
std::string summary(const char *totals, const char *free, const char *req, const char *used, const char *mem) {
    return "\n" + kDashNl + totals + kDashNl + " Total Free Available Memory Size  = " + free + "\n" +
           " Total Required       Memory Size  = " + req + " Percent)\n" +
           " Total Currently Used Memory Size  = " + used + " Percent)\n" +
           " Total Peak Data      Memory Size  =       96 ( 30 Percent)\n" + kDashNl +
           " Number of Memory Pools  =        1\n" + kReservedAndMgmt +
           " Total Data Memory       =      320\n" +
           kDashNl + mem +
           " SYS Count - Malloc:       0|Realloc:       0|Free:       0|Remain:       0|\n" + kDashNl +
           " S: Block Size, N: No. of Blocks, P: Peak Usage, F: Free Blocks, B: Busy Blocks\n"
           " A: Actual Memory Req. Size, T: Total Memory Allocated Size, C: Corrupt Blocks\n"
           " FA: First Block Address, LA: Last Block Address\n" +
           kDashNl + "---------------------- Memory Manager Status -> End ---------------------------\n" + kDashNl;
}

}  // namespace

using Report = kt::Scenario;

TEST_F(Report, WorkedExampleMatchesWholeText) {
    kt::start(kt::Cfg{{2, 10}});
    void *a = KovaMemAlloc(10), *b = KovaMemAlloc(20), *c = KovaMemAlloc(30);
    KovaMemPrintMemStatus();
    const uint8_t *area = kovamem::memPool(0).area;  // FA is the area, LA the tenth slot
    const std::string range = "|FA:" + hex(area) + "|LA:" + hex(area + 9 * kt::stride(32)) + "\n";
    const std::string head = "\n" + kDashNl + kBegin + kDashNl;
    EXPECT_EQ(readLog(),
              head + "\nS:   32|N:  10|F:   7|B:   3(A:      60|T:      96)|P:   3(      96)|C:  0" + range +
                  summary("      1|    10|     7|     3(        60|        96)|     3(      96)|    0|\n",
                          "     224", "      60 ( 62", "      96 ( 30",
                          " MEM Count - Malloc:       3|Realloc:       0|Free:       0|Remain:       3|\n"));
    KovaMemFree(c);
    KovaMemResetFile();
    KovaMemPrintMemStatus();
    EXPECT_EQ(readLog(),
              head + "\nS:   32|N:  10|F:   8|B:   2(A:      30|T:      64)|P:   3(      96)|C:  0" + range +
                  summary("      1|    10|     8|     2(        30|        64)|     3(      96)|    0|\n",
                          "     256", "      30 ( 46", "      64 ( 20",
                          " MEM Count - Malloc:       3|Realloc:       0|Free:       1|Remain:       2|\n"));
    KovaMemFree(a);
    KovaMemFree(b);
}

TEST_F(Report, ZeroDivisorNegativeRemainAndQuarantineColumn) {
    kt::start(kt::Cfg{{0, 4}});
    KovaMemFree(malloc(8));  // a C-heap free the manager never allocated
    KovaMemPrintMemStatus();
    std::string log = readLog();
    EXPECT_NE(log.find(" Total Required       Memory Size  =        0 (  0 Percent)\n"), std::string::npos);
    EXPECT_NE(log.find(" SYS Count - Malloc:       0|Realloc:       0|Free:       1|Remain:      -1|\n"),
              std::string::npos);
    EXPECT_EQ(log.find("Stack"), std::string::npos);  // tracing off: ends with the summary
    KovaMemResetFile();
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(3));
    void *q = KovaMemAlloc(8);
    kt::poke(p + 3, 0xFF);
    ASSERT_EQ(KovaMemFree(p), 0);
    KovaMemPrintMemStatus();
    KovaMemCleanMemBlocks();
    KovaMemPrintMemStatus();
    log = readLog();
    const size_t second = log.find("Process Successfull");
    EXPECT_LT(log.find("|N:   4|F:   2|B:   1(A:       8|T:       8)|P:   2(      16)|C:  1|"), second);
    EXPECT_LT(log.find("      1|     4|     2|     1(         8|         8)|     2(      16)|    1|\n"), second);
    EXPECT_NE(log.find("|N:   4|F:   3|B:   1(A:       8|T:       8)|P:   2(      16)|C:  0|", second),
              std::string::npos);
    KovaMemFree(q);
}

// 700 busy blocks of 64 KiB: 45875200 bytes, past the 42949672 at which
// part * 100 leaves 32 bits. The classic build shows the wrapped figure the
// described arithmetic gives; the default build the exact one.
TEST_F(Report, PercentagesOfBusyBytesPastThirtyTwoBitProducts) {
    kt::start(kt::Cfg{{13, 700}});
    std::vector<void *> held;
    for (int i = 0; i < 700; ++i) held.push_back(KovaMemAlloc(65536));
    ASSERT_EQ(kt::pool(0), "N700 F0 B700 C0 A45875200 P700");
    KovaMemPrintMemStatus();
    const std::string pct = kt::config_classic ? "  6" : "100";
    const std::string log = readLog();
    for (const char *line : {" Total Required       Memory Size  = 45875200 (", " Total Currently Used Memory Size  = 45875200 (",
                             " Total Peak Data      Memory Size  = 45875200 ("})
        EXPECT_NE(log.find(line + pct + " Percent)\n"), std::string::npos) << line << "\n" << log;
    for (void *p : held) KovaMemFree(p);
}

TEST_F(Report, TracingOnListsTracedBlocksNewestFirst) {
    kt::start(kt::Cfg{{1, 4}});
    void *before = KovaMemAlloc(5);  // untraced: no entry
    KovaMemUpdateLogStackFlag(1);
    const std::string closing = kDashNl +
                                "---------------------- Memory Manager Stack -> End ----------------------------\n" +
                                kDashNl;
    auto stackHead = [](int freeCount, int busy) {
        return "\n" + kDashNl + "---------------------- Memory Manager Stack -> Begin --------------------------\n" +
               kDashNl + " Debug Memory Usage  = 180028\n Stack Free Count : " + std::to_string(freeCount) +
               ", Stack Busy Count : " + std::to_string(busy) + "\n" + kDashNl;
    };
    KovaMemPrintMemStatus();
    std::string log = readLog();
    EXPECT_EQ(log.substr(log.find(stackHead(3000, 0))), stackHead(3000, 0) + closing);

    void *a = KovaMemAlloc(11), *b = KovaMemAlloc(12);
    KovaMemResetFile();
    KovaMemPrintMemStatus();
    log = readLog();
    MemBlockHdr *hb = kt::hdrOf(b);
    const std::string infoB = "INFO: P:0, B:2, S:12, O:0, DPtr:" + hex(b) + ", DSPtr:" + hex(hb) +
                              ", N:0x0, STPtr:" + hex(hb->stackRec) + "\nSTACK DETAILS: A:";
    const size_t atB = log.find(infoB);
    ASSERT_NE(atB, std::string::npos) << log;
    EXPECT_EQ(atB, log.find(stackHead(2998, 2)) + stackHead(2998, 2).size());  // newest first
    EXPECT_LT(atB, log.find("INFO: P:0, B:1, S:11"));
    EXPECT_NE(log.find(" L:    12 T:       0 c: \n[", atB), std::string::npos);
    EXPECT_EQ(kt::count(log, "INFO: P:") + kt::count(log, "STACK DETAILS: "), 4u);
    EXPECT_EQ(log.substr(log.size() - closing.size()), closing);
    for (void *p : {before, a, b}) KovaMemFree(p);
}

// ---- debug commands ----

using Debug = kt::Scenario;

// Commands 4 (an address), 5 ("PP BBB") and the mode setter, with the
// texts a user types and the ones a parser must survive.
TEST_F(Debug, CommandsAnswerWithTheirDocumentedTexts) {
    kt::start(kt::Cfg{{0, 2}, {1, 1}, {2, 1}, {3, 121}});
    EXPECT_EQ(memDebugMode, 3);
    void *busy = KovaMemAlloc(8), *freed = KovaMemAlloc(8);
    KovaMemFree(freed);
    const std::string b = hex(busy), f = hex(freed);
    for (const char *text : {b.c_str(), b.c_str() + 2, f.c_str(), "0", static_cast<const char *>(nullptr)})
        KovaMemDebugModes(MEM_DEBUG_CHECK_POINTER, text);
    EXPECT_EQ(readLog(), " DataPtr:" + b + " is in Busy List\n DataPtr:" + b + " is in Busy List\n DataPtr:" + f +
                             " is not in Busy List\n DataPtr:0x0 is not Memory Manager Valid pointer\n");
    KovaMemResetFile();
    for (const char *text : {"03 120", "3 120", "3 1", "-1 00", "04 000", "03 121", "3", "", "12",
                             static_cast<const char *>(nullptr)})
        KovaMemDebugModes(MEM_DEBUG_CHECK_INDEX, text);
    EXPECT_EQ(readLog(),
              "\n Got details P:3, B:120\n\n Got details P:3, B:20\n\n Got details P:3, B:0\n"
              "\n Wrong Pool Index 65535\n\n Wrong Pool Index 4\n\n Wrong Block Index 121 with Pool Index 3\n");
    KovaMemResetFile();
    KovaMemDebugModes(MEM_DEBUG_SET_MODE, reinterpret_cast<const char *>(uintptr_t{300}));
    for (uint32_t code : {0u, 1u, 2u, 6u, 0x103u}) KovaMemDebugModes(code, "0x0");
    EXPECT_EQ(memDebugMode, 44);
    EXPECT_EQ(readLog(), "\n Memory Manager Debug Mode is set as 44\n");
    KovaMemFree(busy);
}

// The report copies what it shows under the lock and writes afterwards, its
// trace entries through one open of the log; its bytes must be those of
// writing each entry under the lock, also where the cap cuts the report.
TEST_F(Report, CopiedReportWritesTheBytesOfTheEntryByEntryReport) {
    kt::start(kt::Cfg{{0, 200}, {3, 200}, {6, 20}});
    KovaMemUpdateLogStackFlag(1);
    std::vector<void *> live;
    for (int i = 0; i < 400; ++i) live.push_back(i % 2 ? KovaMemAlloc(1 + i % 8) : kt::ktAllocFrom(33 + i % 30));
    uint8_t *bad = static_cast<uint8_t *>(KovaMemAlloc(5));
    kt::poke(bad + 5, 1);
    ASSERT_EQ(KovaMemFree(bad), 0);
    for (uint32_t kb : {1024u, 64u, 8u}) {  // the whole report in several batches, then cut in the traces
        std::string byCopy, byEntry;
        for (bool off : {false, true}) {
            memReportCopyOff = off;
            KovaMemSetFileSize(kb);
            KovaMemResetFile();
            memLogPrint("before\n");
            KovaMemPrintMemStatus();
            memLogPrint("after\n");
            (off ? byEntry : byCopy) = kt::readLog();
        }
        memReportCopyOff = false;
        EXPECT_EQ(byCopy, byEntry) << kb << " KiB";
        const size_t marker = byCopy.find("Max file size reached fs ");
        EXPECT_EQ(kt::count(byCopy, "INFO: P:") == 400u, kb == 1024) << kb << " KiB";
        EXPECT_EQ(marker != std::string::npos, kb != 1024) << kb << " KiB";
    }
    KovaMemSetFileSize(16);
    for (void *p : live) KovaMemFree(p);
    KovaMemCleanMemBlocks();
}
