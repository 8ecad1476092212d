// Records, locks, the log file and initialisation.
#include "support.h"

using kt::readLog;

TEST(Spine, WorkedExampleTotalsGuardsAndFreeListInSlotOrder) {
    kt::init(kt::Cfg{{2, 10}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    const MemMgrDetails &m = memMgrDetails;
    // Management: 60 + 52 + 10 x (24-byte header + guard and padding).
    const char *totals = kt::config_classic ? "320/392/712"
                         : kovamem::config_slot_align == 8 ? "320/432/752" : "320/512/832";
    EXPECT_EQ(std::to_string(m.totalData) + "/" + std::to_string(m.totalMgmt) + "/" + std::to_string(m.totalReserved),
              totals);
    const MemPool &p = memPoolData[0];
    const uint32_t d = kt::stride(32);
    EXPECT_EQ(p.blockSize, 32u);
    EXPECT_EQ(p.lastBlock - p.firstBlock, 9u * d);
    int j = 0;
    for (MemBlockHdr *h = p.freeHead; h; h = h->next, ++j) {
        EXPECT_TRUE(h->blockIndex == j && h->data == p.area + j * d) << j;
        EXPECT_EQ(kt::wordAt(h->data + 32), MEM_GUARD_WORD);
    }
    EXPECT_EQ(j, 10);
    EXPECT_EQ(readLog(), "Number of pools: 1\n EXIT: KovaMemInit: Success\n");
    EXPECT_EQ(kt::table(), "free 3000 busy 0");
    EXPECT_EQ(memStackData.lock != nullptr && memMgrDetails.lock != nullptr, true);
    EXPECT_EQ(kt::validity(), "valid");
}

TEST(Spine, LargestClassUsesSlotsOfItsSizePlusGuard) {
    kt::init(kt::Cfg{{13, 2}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    const MemPool &p = memPoolData[0];
    const uint32_t d = kt::stride(65536);  // 65540 classic
    EXPECT_EQ(p.blockSize, 65536u);
    EXPECT_EQ(p.lastBlock - p.firstBlock, d);
    EXPECT_EQ(kt::wordAt(p.area + d + 65536), MEM_GUARD_WORD);
}

TEST(Spine, AreaThatOverflowsTheWordFailsLikeAFailedAllocation) {
    if (sizeof(size_t) > 4) GTEST_SKIP() << "65535 x 65540 bytes fits a 64-bit size";
    kt::init(kt::Cfg{{13, 65535}});
    EXPECT_EQ(kt::readLog(), "Number of pools: 1\n EXIT: CRIT: KovaMemInit: memMgrInit init failed \n");
    EXPECT_EQ(memPoolData, nullptr);
}

TEST(Spine, EachInitFailureLogsOneEntryAndStaysUninitialised) {
    int32_t negative[MEM_POOL_SLOTS];
    for (auto &v : negative) v = -3;
    struct Case { const int32_t *cfg; const char *entry; };
    const kt::Cfg tooMany{{0, 4}, {5, 65536}};
    unlink(kt::logPath().c_str());  // a log left by an earlier process with this pid
    for (const Case &c : {Case{nullptr, " EXIT: CRIT: KovaMemInit: memPoolCfg is NULL \n"},
                          Case{negative, " EXIT: CRIT: KovaMemInit: memPoolCfg is not configured \n"},
                          Case{tooMany.v, " EXIT: CRIT: KovaMemInit: memPoolCfg[5] count 65536 exceeds 65535 \n"}}) {
        KovaMemInit(c.cfg);
        EXPECT_EQ(readLog(), c.entry);
        KovaMemResetFile();
    }
    EXPECT_EQ(KovaMemIsInitialized(), 0);
    EXPECT_EQ(memPoolData, nullptr);
}

TEST(Spine, LogCapMarkerAndSetters) {
    KovaMemInit(nullptr);  // names the log file
    KovaMemResetFile();
    KovaMemSetFileSize(1);  // threshold 1002
    const std::string line(100, 'x');
    for (int i = 0; i < 11; ++i) memLogPrint("%s", line.c_str());
    memLogPrint("lost\n");
    const std::string log = readLog();
    EXPECT_EQ(log, std::string(1100, 'x') + "Max file size reached fs 1100");
    KovaMemSetFileSize(64);
    memLogPrint("after %% raise\n");
    EXPECT_EQ(readLog(), log + "after % raise\n");
    KovaMemResetFile();
    memLogPrint("%s", std::string(3000, 'y').c_str());
    EXPECT_EQ(readLog(), std::string(2047, 'y'));
}

TEST(Spine, EntriesBeforeFirstInitAreLost) {
    unlink(kt::logPath().c_str());
    memLogPrint("lost\n");
    KovaMemResetFile();
    EXPECT_EQ(access(kt::logPath().c_str(), F_OK), -1);
}

TEST(Spine, LogFileIsOwnerOnlyAndSymlinkIsNotFollowed) {
    const std::string target = kt::logPath() + ".target";
    unlink(kt::logPath().c_str());
    unlink(target.c_str());
    ASSERT_EQ(symlink(target.c_str(), kt::logPath().c_str()), 0);
    KovaMemInit(nullptr);
    EXPECT_EQ(access(target.c_str(), F_OK), -1);
    unlink(kt::logPath().c_str());
    memLogPrint("x\n");
    struct stat st;
    ASSERT_EQ(stat(kt::logPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}
