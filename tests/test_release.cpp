// Lookup, release, reallocation and quarantine cleanup.
#include <fcntl.h>
#include <stdarg.h>
#include <sys/syscall.h>

#include <functional>

#include "support.h"

using kt::hex;
using kt::readLog;

namespace {

// The entries of a quarantined release of block `index` of pool 0 (of
// `size` bytes, by `op`, untraced): the two described ones, and in the
// default build the chain of the release, marked.
std::string quarantineEntries(const void *data, int index, uint32_t size, const char *op = "KovaMemFree") {
    return " CRIT: KovaMemFreeNode: Ptr " + hex(data) + " from Pool 0 and Block " + std::to_string(index) +
           " might be corrupted\n ERROR: KovaMemFreeNode: FAILED to free the Ptr " + hex(data) + "\n" +
           (kt::config_classic ? "" : kt::chainEntry(op, data, "released by", size));
}

uint8_t *alloc(uint32_t size) { return static_cast<uint8_t *>(KovaMemAlloc(size)); }

}  // namespace

using Release = kt::Scenario;

TEST_F(Release, LookupDoubleFreeForeignAndFifoReuse) {
    kt::start(kt::Cfg{{1, 3}});
    uint8_t *a = alloc(10), *b = alloc(16), *c = alloc(10);
    memset(b, 0x5A, 16);  // exactly the block size, all of it written
    MemFindResult r{};
    EXPECT_EQ(memFindBlock(nullptr, &r), MEM_FIND_NOT_MANAGED);
    ASSERT_EQ(memFindBlock(c, &r), MEM_FIND_FOUND);
    // prev: the header before it on the busy list; the default build keeps none.
    EXPECT_TRUE(r.pool == &kovamem::memPool(0) && r.prev == (kt::config_classic ? kt::hdrOf(b) : nullptr));
    ASSERT_EQ(memFindBlock(a, &r), MEM_FIND_FOUND);
    EXPECT_EQ(r.prev, nullptr);
    EXPECT_EQ(memFindBlock(a + 1, &r), MEM_FIND_NOT_BUSY);
    EXPECT_EQ(KovaMemFree(a), 1);  // the oldest: prev NULL
    EXPECT_EQ(KovaMemFree(b), 1);
    KovaMemResetFile();
    EXPECT_EQ(KovaMemFree(b), MEM_FREE_NOT_BUSY);
    EXPECT_EQ(kt::readLogMarked(), kt::config_classic ? "" : " ERROR: KovaMemFree: Ptr " + hex(b) +
                  " is already free (block 1 of pool 0)\n" + kt::chainEntry("KovaMemFree", b, "released by", 0));
    // The same mistakes through a reallocation: NULL, nothing changed, and
    // (default build) one entry each, as for the release.
    const struct {
        uint8_t *ptr;
        uint32_t size;
        const char *what;
    } bad[] = {{b, 12, " is already free (block 1 of pool 0)"},
               {b, 0, " is already free (block 1 of pool 0)"},
               {c + 1, 4, " is inside block 2 of pool 0 at offset 1"}};
    for (const auto &r : bad) {
        KovaMemResetFile();
        EXPECT_EQ(KovaMemReAlloc(r.ptr, r.size), nullptr);
        EXPECT_EQ(kt::readLogMarked(), kt::config_classic ? "" : " ERROR: KovaMemReAlloc: Ptr " + hex(r.ptr) + r.what +
                      "\n" + kt::chainEntry("KovaMemReAlloc", r.ptr, "reallocated by", 0));
    }
    EXPECT_EQ(kt::pool(0), "N3 F2 B1 C0 A10 P3");
    KovaMemResetFile();
    EXPECT_EQ(memFindBlock(b, &r), MEM_FIND_NOT_BUSY);
    EXPECT_EQ(KovaMemFree(nullptr) + KovaMemFree(malloc(8)), 2);
    EXPECT_EQ(alloc(8), a);  // first in, first out
    EXPECT_EQ(alloc(8), b);
    for (void *p : {b, a, c}) KovaMemFree(p);  // newest first: prev set
    EXPECT_TRUE(kovamem::memPool(0).busyHead == nullptr && kovamem::memPool(0).busyTail == nullptr);
    EXPECT_EQ(kt::pool(0), "N3 F3 B0 C0 A0 P3");
    EXPECT_EQ(std::to_string(kt::counted().memFreeCount) + " " + std::to_string(memMgrDetails.sysFreeCount), "5 1");
    EXPECT_EQ(readLog(), "");
}

// An invalid release names the allocation of the block it met when that
// chain was kept: a live traced block's record, the chain store of a block
// released filled. An untraced block has none to name.
TEST_F(Release, InvalidReleasesNameTheAllocationOfTheBlockWhenItWasKept) {
    if (kt::config_classic) GTEST_SKIP() << "classic: an invalid release writes no entry";
    kt::start(kt::Cfg{{1, 4}});
    uint8_t *untraced = alloc(10);
    KovaMemUpdateLogStackFlag(1);
    KovaMemSetFreeCheck(1);
    uint8_t *live = alloc(10), *gone = alloc(10);
    EXPECT_EQ(KovaMemFree(gone), 1);
    const auto entry = [](uint8_t *p, const char *what) {
        return " ERROR: KovaMemFree: Ptr " + hex(p) + what + "\n" + kt::chainEntry("KovaMemFree", p, "released by", 0);
    };
    const struct {
        uint8_t *ptr;
        std::string log;
    } cases[] = {
        {live + 1, entry(live + 1, " is inside block 1 of pool 0 at offset 1") +
                       kt::chainEntry("KovaMemFree", live + 1, "allocated by", 0)},
        {gone, entry(gone, " is already free (block 2 of pool 0)") +
                   kt::chainEntry("KovaMemFree", gone, "first released by", 0) +
                   kt::chainEntry("KovaMemFree", gone, "allocated by", 0)},
        {untraced + 1, entry(untraced + 1, " is inside block 0 of pool 0 at offset 1")},
    };
    for (const auto &c : cases) {
        KovaMemResetFile();
        EXPECT_EQ(KovaMemFree(c.ptr), MEM_FREE_NOT_BUSY);
        EXPECT_EQ(kt::readLogMarked(), c.log);
    }
    EXPECT_EQ(KovaMemFree(live) + KovaMemFree(untraced), 2);
    EXPECT_EQ(kt::validity(), "valid");
}

TEST_F(Release, OneByteOverrunQuarantinesAlsoThroughRealloc) {
    kt::start(kt::Cfg{{1, 3}, {2, 1}});
    uint8_t *ok = alloc(10), *p = alloc(10), *q = alloc(4);
    memset(ok, 1, 10);
    memset(p, 1, 10);
    kt::poke(p + 10, 0xFF);  // one byte into the guard at data + 10
    kt::poke(q + 4, 0xFF);
    EXPECT_EQ(KovaMemFree(ok), 1);
    EXPECT_EQ(KovaMemFree(p), 0);
    EXPECT_EQ(kt::readLogMarked(), quarantineEntries(p, 1, 10));
    EXPECT_EQ(kt::pool(0), "N3 F1 B1 C1 A4 P3");
    KovaMemResetFile();
    void *moved = KovaMemReAlloc(q, 20);  // the damaged old block is quarantined, the new one returned
    ASSERT_NE(moved, nullptr);
    EXPECT_EQ(kt::readLogMarked(), quarantineEntries(q, 2, 4, "KovaMemReAlloc"));
    EXPECT_EQ(memMgrDetails.corruptCount, 2);
    EXPECT_EQ(kt::counted().memFreeCount, 1u);
    KovaMemFree(moved);
    if (kt::config_classic) return;  // the size never follows
    uint8_t *r = alloc(6);
    kt::poke(r + 6, 0xFF);  // overrun before a resize in place
    EXPECT_EQ(KovaMemReAlloc(r, 12), r);
    EXPECT_EQ(kt::hdrOf(r)->reqSize, 6u);  // size and damaged guard stay where they were
    KovaMemResetFile();
    EXPECT_EQ(KovaMemFree(r), 0);
    EXPECT_EQ(kt::readLogMarked(), quarantineEntries(r, 0, 6));
    KovaMemCleanMemBlocks();
}

TEST_F(Release, ReallocStaysWhileTheBlockHoldsItOtherwiseMoves) {
    kt::start(kt::Cfg{{1, 2}, {2, 2}});
    uint8_t *p = alloc(10);
    memcpy(p, "0123456789", 10);
    EXPECT_EQ(KovaMemReAlloc(p, 16), p);
    EXPECT_EQ(KovaMemReAlloc(p, 0), p);
    if (kt::config_classic) {
        EXPECT_EQ(kt::wordAt(p + 10), MEM_GUARD_WORD);  // size and guard stay as they were
        EXPECT_EQ(kt::pool(0), "N2 F1 B1 C0 A10 P1");
    } else {
        EXPECT_EQ(kt::wordAt(p + 16), MEM_GUARD_WORD);  // size and guard follow; size 0 changes nothing
        EXPECT_EQ(kt::pool(0), "N2 F1 B1 C0 A16 P1");
    }
    uint8_t *q = static_cast<uint8_t *>(KovaMemReAlloc(p, 20));
    ASSERT_NE(q, p);
    EXPECT_EQ(memcmp(q, "0123456789", 10), 0);
    EXPECT_TRUE(kt::hdrOf(q)->poolIndex == 1 && kovamem::memPool(0).freeTail->data == p);
    EXPECT_EQ(kt::counted().memReallocCount, 1u);
    if (kt::config_classic) {
        EXPECT_EQ(KovaMemReAlloc(nullptr, 10), nullptr);
        void *big = KovaMemAlloc(64);
        EXPECT_EQ(KovaMemReAlloc(big, 128), nullptr);  // C-heap block: nothing done
        EXPECT_EQ(memMgrDetails.sysMallocCount + kt::counted().memMallocCount, 3u);
        KovaMemFree(big);
    }
    KovaMemFree(q);
}

// ---- the default build's reallocation, range and calloc rules ----

TEST_F(Release, DefaultGrowWriteMoveWriteReleaseKeepsEveryByte) {
    if (kt::config_classic) GTEST_SKIP() << "classic: a block grown in place keeps its first size";
    kt::start(kt::Cfg{{0, 2}, {1, 2}, {2, 2}, {3, 2}});
    std::string pattern(64, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>('A' + i % 50);
    uint32_t size = 3;
    uint8_t *p = alloc(size);
    memcpy(p, pattern.data(), size);
    // Grow in place, shrink, grow to the block's end, move, move, shrink:
    // every byte written before each step is there after it, and each block
    // is written to its last requested byte.
    for (uint32_t next : {8u, 5u, 16u, 12u, 32u, 64u, 40u}) {
        uint8_t *q = static_cast<uint8_t *>(KovaMemReAlloc(p, next));
        ASSERT_NE(q, nullptr) << next;
        EXPECT_EQ(kt::hdrOf(q)->reqSize, next);
        const uint32_t kept = std::min(size, next);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(q), kept), pattern.substr(0, kept)) << next;
        memcpy(q, pattern.data(), next);
        p = q;
        size = next;
    }
    EXPECT_EQ(kt::counted().memReallocCount, 3u);  // 5 -> 16, 12 -> 32 and 32 -> 64 moved
    EXPECT_EQ(KovaMemFree(p), 1);
    EXPECT_EQ(readLog(), "");
    EXPECT_EQ(kt::pool(0) + " " + kt::pool(3), "N2 F2 B0 C0 A0 P1 N2 F2 B0 C0 A0 P1");
}

TEST_F(Release, CleanupReturnsEachBlockToItsPoolNewestQuarantinedFirst) {
    kt::start(kt::Cfg{{0, 3}, {2, 2}});
    const std::string notRequired = " EXIT: KovaMemCleanMemBlocks: Process not Required\n";
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), notRequired);
    KovaMemUpdateLogStackFlag(1);
    uint8_t *keep = alloc(8), *a = alloc(2), *b = alloc(8), *c = alloc(30);
    kt::poke(a + 2, 0xFF);  // each damages its guard
    kt::poke(b + 8, 0xFF);
    kt::poke(c + 32, 0xFF);  // 30 > 32 - 4: the guard sits at data + S
    for (uint8_t *p : {a, b, c}) EXPECT_EQ(KovaMemFree(p), 0);
    EXPECT_EQ(memMgrDetails.corruptList->stackRec, nullptr);  // records given back
    EXPECT_EQ(kt::table(), "free 2999 busy 1");
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), " INFO: KovaMemCleanMemBlocks: Process Started\n"
                         " EXIT: KovaMemCleanMemBlocks: Process Successfull\n");
    EXPECT_TRUE(memMgrDetails.corruptCount == 0 && memMgrDetails.corruptList == nullptr);
    EXPECT_EQ(kt::pool(0) + " " + kt::pool(1), "N3 F2 B1 C0 A8 P3 N2 F2 B0 C0 A0 P1");
    // Pool 0 had no free block: B (quarantined last) heads, then A.
    EXPECT_TRUE(kovamem::memPool(0).freeHead->data == b && kovamem::memPool(0).freeTail->data == a);
    EXPECT_EQ(kt::wordAt(a + 8) ^ kt::wordAt(c + 32), 0u);  // both guards rewritten at data + S
    EXPECT_EQ(kt::wordAt(c + 32), MEM_GUARD_WORD);
    EXPECT_EQ(kt::counted().memFreeCount, 0u);  // counters untouched
    EXPECT_EQ(alloc(8), b);
    EXPECT_EQ(alloc(8), a);
    EXPECT_EQ(KovaMemFree(a) + KovaMemFree(b) + KovaMemFree(keep), 3);
    KovaMemResetFile();
    KovaMemCleanMemBlocks();
    EXPECT_EQ(readLog(), notRequired);
}

TEST_F(Release, DefaultPoolAddressesNeverReachTheCHeap) {
    if (kt::config_classic) GTEST_SKIP() << "classic: the range ends at the last slot's data address";
    kt::start(kt::Cfg{{1, 2}});
    uint8_t *a = alloc(16), *last = alloc(16);
    ASSERT_EQ(last, kovamem::memPool(0).area + kt::stride(16));
    // The inside of the last slot, its guard and its padding, and the inside
    // of the first: all refused, nothing handed to free, each said.
    for (uint8_t *inside : {last + 1, last + 16, last + kt::stride(16) - 1, a + 17}) {
        KovaMemResetFile();
        EXPECT_EQ(KovaMemFree(inside), MEM_FREE_NOT_BUSY) << inside - last;
        const int block = inside > last ? 1 : 0;
        const long offset = inside - (block ? last : a);
        EXPECT_EQ(kt::readLogMarked(), " ERROR: KovaMemFree: Ptr " + hex(inside) + " is inside block " +
                                           std::to_string(block) + " of pool 0 at offset " + std::to_string(offset) +
                                           "\n" + kt::chainEntry("KovaMemFree", inside, "released by", 0));
    }
    KovaMemResetFile();
    EXPECT_EQ(memMgrDetails.sysFreeCount, 0u);
    KovaMemDebugModes(MEM_DEBUG_CHECK_POINTER, hex(last + 20).c_str());
    EXPECT_EQ(readLog(), " DataPtr:" + hex(last + 20) + " is not in Busy List\n");
    EXPECT_EQ(KovaMemFree(last) + KovaMemFree(a), 2);
}

TEST_F(Release, DefaultReallocOfNullAndCHeapBlockAndCallocOverflow) {
    if (kt::config_classic) GTEST_SKIP() << "classic: NULL and C-heap blocks give NULL, calloc wraps";
    kt::start(kt::Cfg{{1, 1}});
    uint8_t *p = static_cast<uint8_t *>(KovaMemReAlloc(nullptr, 10));  // as KovaMemAlloc(10)
    ASSERT_NE(kt::hdrOf(p), nullptr);
    char *big = static_cast<char *>(KovaMemAlloc(100));  // beyond the pools
    memcpy(big, "held", 5);
    char *bigger = static_cast<char *>(KovaMemReAlloc(big, 5000));
    ASSERT_NE(bigger, nullptr);
    EXPECT_STREQ(bigger, "held");
    EXPECT_EQ(KovaMemReAlloc(bigger, 0), bigger);  // size 0: nothing done, as for a pool block
    EXPECT_EQ(memMgrDetails.sysReallocCount, 1u);
    EXPECT_EQ(KovaMemCalloc(0x10001, 0x10000), nullptr);
    EXPECT_EQ(readLog(), kt::noted(" EXIT: ERROR: KovaMemAlloc: System alloc with size 100", 1) +
                             kt::noted(" EXIT: ERROR: KovaMemReAlloc: System realloc with Ptr " + hex(big) + " and size 5000", 1) +
                         " EXIT: ERROR: KovaMemCalloc: count 65537 times size 65536 overflows 32 bits\n");
    EXPECT_EQ(KovaMemFree(bigger) + KovaMemFree(p), 2);
}

// ---- another thread's release while a reallocation moves the block ----
//
// The log is opened for every entry: an open() of this test's own catches
// the entries a reallocation writes while it moves a block and, at the
// first one after being armed, runs what another thread might do there.

namespace {
std::function<void()> atNextLogOpen;
}  // namespace

extern "C" int open(const char *path, int flags, ...) {
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (atNextLogOpen && strstr(path, "/memmgr-") != nullptr) {
        const std::function<void()> run = std::move(atNextLogOpen);
        atNextLogOpen = nullptr;
        run();
    }
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

// A host bug: the block is released by another thread during the move, and
// a third thread is handed it. The default build finds that out (the
// block's allocation serial changed) and leaves the third thread's block
// alone; the classic build copies the third thread's bytes and releases its
// block, which is then handed out a second time.
TEST_F(Release, BlockReleasedDuringAMoveToTheCHeapIsNeverHandedOutTwice) {
    kt::start(kt::Cfg{{0, 1}});
    uint8_t *p = alloc(8);
    memcpy(p, "owner-1", 8);
    uint8_t *third = nullptr;
    atNextLogOpen = [&] {
        EXPECT_EQ(KovaMemFree(p), 1);
        third = alloc(8);
        memcpy(third, "third!!", 8);
    };
    void *moved = KovaMemReAlloc(p, 100000);  // beyond every pool
    ASSERT_EQ(third, p);                      // the only block, handed to the third thread
    if (kt::config_classic) {
        ASSERT_NE(moved, nullptr);
        EXPECT_EQ(memcmp(moved, "third!!", 8), 0);
        EXPECT_EQ(kt::pool(0), "N1 F1 B0 C0 A0 P1");  // the third thread's block released under it
        EXPECT_EQ(alloc(8), third);                    // and handed out again: two owners
        free(moved);
        return;
    }
    EXPECT_EQ(moved, nullptr);
    EXPECT_EQ(memcmp(third, "third!!", 8), 0);
    EXPECT_EQ(kt::pool(0), "N1 F0 B1 C0 A8 P1");
    EXPECT_EQ(kt::counted().memReallocCount, 0u);
    EXPECT_EQ(memMgrDetails.sysMallocCount, memMgrDetails.sysFreeCount);  // the C-heap block was given back
    EXPECT_NE(readLog().find(" ERROR: KovaMemReAlloc: Ptr " + hex(p) +
                             " was released by another thread while it moved to the C heap: nothing copied or released\n"),
              std::string::npos)
        << readLog();
    void *other = KovaMemAlloc(8);  // the pool is still full: the block is the third thread's alone
    EXPECT_NE(other, third);
    KovaMemFree(other);
    KovaMemFree(third);
}

// A move between pools: the stray release and a new allocation come while
// the new block is taken (at the smaller pool's "Pool is full" note). The
// default build takes the new block with the old block's pool lock
// released, finds the old block's serial changed when it retakes it, and
// gives the new block back, as for a move to the C heap. The classic build
// drops the lock around the allocation and copies the third thread's bytes.
TEST_F(Release, BlockReleasedDuringAMoveBetweenPoolsIsNeverHandedOutTwice) {
    kt::start(kt::Cfg{{0, 1}, {1, 1}, {2, 1}});
    uint8_t *p = alloc(8);
    memcpy(p, "owner-1", 8);
    uint8_t *full = alloc(16);  // fills the 16-byte pool: the move goes to the 32-byte one
    uint8_t *third = nullptr;
    uint8_t strayResult = 0;
    std::function<void()> stray = [&] {
        strayResult = KovaMemFree(p);
        third = alloc(8);
        memcpy(third, "third!!", 8);
    };
    // Another thread gets in only where the reallocation does not hold the
    // old block's lock.
    std::function<void()> whenUnlocked = [&] {
        bool held;
        if (kt::config_classic) {
            held = pthread_mutex_trylock(memMgrDetails.lock->mutex) != 0;
            if (!held) pthread_mutex_unlock(memMgrDetails.lock->mutex);
        } else {
            held = kovamem::memPoolLockHeld(0);
        }
        if (held) {
            atNextLogOpen = whenUnlocked;
            return;
        }
        stray();
    };
    atNextLogOpen = whenUnlocked;
    uint8_t *moved = static_cast<uint8_t *>(KovaMemReAlloc(p, 12));
    if (atNextLogOpen) {
        atNextLogOpen = nullptr;
        stray();
    }
    EXPECT_EQ(third, p);
    if (kt::config_classic) {
        ASSERT_NE(moved, nullptr);
        EXPECT_EQ(kt::hdrOf(moved)->poolIndex, 2);
        EXPECT_EQ(strayResult, 1);
        EXPECT_EQ(memcmp(moved, "third!!", 8), 0);
        EXPECT_EQ(kt::pool(0), "N1 F1 B0 C0 A0 P1");
        return;
    }
    EXPECT_EQ(strayResult, 1);
    EXPECT_EQ(memcmp(third, "third!!", 8), 0);
    EXPECT_EQ(kt::pool(0), "N1 F0 B1 C0 A8 P1");  // the third thread's block, untouched
    EXPECT_EQ(kt::pool(2), "N1 F1 B0 C0 A0 P1");  // the new block given back
    EXPECT_EQ(kt::counted().memReallocCount, 0u);
    EXPECT_EQ(kt::readLogMarked(), kt::noted(" REQ: KovaMemAlloc: 1 Pool is full and so going to next Pool", 1) +
                                       " ERROR: KovaMemReAlloc: Ptr " + hex(p) +
                                       " was released by another thread while it moved to another pool: nothing "
                                       "copied or released\n");
    KovaMemFree(third);
    KovaMemFree(full);
}
