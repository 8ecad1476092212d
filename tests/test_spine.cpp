// Records, locks, the log file and initialisation.
#include "support.h"

using kt::readLog;

TEST(Spine, LoadTimeStateIsZeroWithTracingOffAndFullTraceTable) {
    EXPECT_EQ(memMgrDetails.initialized, 0);
    EXPECT_EQ(memMgrDetails.poolCount, 0);
    EXPECT_EQ(memStackData.freeCount, 3000);
    EXPECT_EQ(memStackData.busyCount, 0);
    EXPECT_EQ(memStackData.logStack, 0);
    EXPECT_EQ(memStackData.debugMemUsage, 180028u);
    EXPECT_EQ(gStackDepth, 10);
    EXPECT_EQ(memLock(nullptr), -1);
    EXPECT_EQ(memUnlock(nullptr), -1);
    MemMutex *m = memCreateMutex();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->mutex, &m->storage);
    EXPECT_EQ(memLock(m), 0);
    EXPECT_EQ(memUnlock(m), 0);
    pthread_mutex_destroy(m->mutex);
    free(m);
}

TEST(Spine, WorkedExampleTotalsGuardsAndFreeListInSlotOrder) {
    kt::init(kt::Cfg{{2, 10}});
    ASSERT_EQ(KovaMemIsInitialized(), 1);
    EXPECT_EQ(memMgrDetails.totalData, 320u);
    EXPECT_EQ(memMgrDetails.totalMgmt, 392u);
    EXPECT_EQ(memMgrDetails.totalReserved, 712u);
    const MemPool &p = memPoolData[0];
    EXPECT_EQ(p.blockSize, 32u);
    EXPECT_EQ(p.lastBlock - p.firstBlock, 9u * 36u);
    int j = 0;
    for (MemBlockHdr *h = p.freeHead; h; h = h->next, ++j) {
        EXPECT_EQ(h->blockIndex, j);
        EXPECT_EQ(h->data, p.area + j * 36);
        EXPECT_EQ(kt::wordAt(h->data + 32), MEM_GUARD_WORD);
    }
    EXPECT_EQ(j, 10);
    EXPECT_EQ(readLog(), "Number of pools: 1\n EXIT: KovaMemInit: Success\n");
    EXPECT_EQ(kt::validity(), "valid");
}

TEST(Spine, EachInitFailureLogsOneEntryAndStaysUninitialised) {
    KovaMemInit(nullptr);
    EXPECT_EQ(readLog(), " EXIT: CRIT: KovaMemInit: memPoolCfg is NULL \n");
    KovaMemResetFile();
    int32_t negative[MEM_POOL_SLOTS];
    for (auto &v : negative) v = -3;
    KovaMemInit(negative);
    EXPECT_EQ(readLog(), " EXIT: CRIT: KovaMemInit: memPoolCfg is not configured \n");
    KovaMemResetFile();
    KovaMemInit(kt::Cfg{{0, 4}, {5, 65536}}.v);
    EXPECT_EQ(readLog(), " EXIT: CRIT: KovaMemInit: memPoolCfg[5] count 65536 exceeds 65535 \n");
    EXPECT_EQ(KovaMemIsInitialized(), 0);
    EXPECT_EQ(memPoolData, nullptr);
}

TEST(Spine, LogCapMarkerAndSetters) {
    KovaMemInit(nullptr);  // names the log file
    KovaMemResetFile();
    KovaMemSetFileSize(1);  // threshold 1002
    std::string line(100, 'x');
    for (int i = 0; i < 11; ++i) memLogPrint("%s", line.c_str());
    memLogPrint("lost\n");
    std::string log = readLog();
    EXPECT_EQ(log, std::string(1100, 'x') + "Max file size reached fs 1100");
    KovaMemSetFileSize(64);
    memLogPrint("after %% raise\n");
    EXPECT_EQ(readLog(), log + "after % raise\n");
    KovaMemResetFile();
    std::string big(3000, 'y');
    memLogPrint("%s", big.c_str());
    EXPECT_EQ(readLog(), std::string(2047, 'y'));
}

TEST(Spine, EntriesBeforeFirstInitAreLost) {
    unlink(kt::logPath().c_str());
    memLogPrint("lost\n");
    KovaMemResetFile();
    EXPECT_EQ(access(kt::logPath().c_str(), F_OK), -1);
}

TEST(Spine, LogFileIsOwnerOnlyAndSymlinkIsNotFollowed) {
    unlink(kt::logPath().c_str());
    std::string target = kt::logPath() + ".target";
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
