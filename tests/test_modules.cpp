// The module map in the log and the walk's knowledge of loaded code, for
// programs that load and unload libraries as they run.
#include <dlfcn.h>

#include <set>

#include "diag/prim/codemap.h"
#include "support.h"

namespace {

const char *const kMapStart = "KovaMemLogModules: module 0 base";

void *load(const char *name) { return dlopen((std::string(KT_PLUGIN_DIR "/") + name).c_str(), RTLD_NOW | RTLD_LOCAL); }

uint32_t generation() { return __atomic_load_n(&kovamem::memCodeMapGeneration, __ATOMIC_ACQUIRE); }

// One traced allocation and its release, as a program's own would be.
void tracedPair() { KovaMemFree(KovaMemAlloc(32)); }

}  // namespace

using ModuleMap = kt::Scenario;

// A program that loads and unloads the same library in a loop writes one
// map for it, not one per round, and the fault that follows still finds
// room in the log; an emptied log gets the whole map again.
TEST_F(ModuleMap, LoadUnloadLoopWritesOneMapAndLeavesRoomForTheFault) {
    kt::init(kt::Cfg{{1, 16}, {2, 16}});
    KovaMemUpdateLogStackFlag(1);
    void *anchor = KovaMemAlloc(16);  // the trace lists never run empty (each time would be an entry)
    KovaMemLogModules();
    KovaMemLogModules();  // nothing came: nothing written
    EXPECT_EQ(kt::count(kt::readLog(), kMapStart), 1u);
    const int rounds = kt::kMips ? 300 : 2000;
    std::set<uintptr_t> bases;  // where the loader put the library, round by round
    for (int i = 0; i < rounds; ++i) {
        void *h = load("libktplugA.so");
        ASSERT_NE(h, nullptr) << dlerror();
        Dl_info info;
        ASSERT_NE(dladdr(dlsym(h, "ktPlugOuter"), &info), 0);
        bases.insert(reinterpret_cast<uintptr_t>(info.dli_fbase));
        tracedPair();
        KovaMemLogModules();  // as the preload library does after each change
        dlclose(h);
        tracedPair();
        KovaMemLogModules();
    }
    std::string log = kt::readLog();
    // One more for each load address the loader chose: natively one or two.
    // Under qemu's emulation each load may land elsewhere; the maps then
    // stop at three quarters of the cap.
    if (bases.size() <= 3) {
        EXPECT_EQ(kt::count(log, kMapStart), 1 + bases.size());
    } else {
        EXPECT_LE(kt::count(log, kMapStart), 1 + bases.size());
    }
    EXPECT_NE(log.find("libktplugA.so"), std::string::npos);
    uint8_t *p = static_cast<uint8_t *>(KovaMemAlloc(24));
    kt::poke(p + 24, 0xFF);
    KovaMemFree(p);
    log = kt::readLog();
    EXPECT_NE(log.find("might be corrupted"), std::string::npos);
    EXPECT_EQ(log.find("Max file size reached"), std::string::npos);
    KovaMemCleanMemBlocks();
    KovaMemFree(anchor);

    KovaMemResetFile();
    KovaMemLogModules();
    EXPECT_EQ(kt::count(kt::readLog(), kMapStart), 1u);
}

// A map after the first is a note: written below three quarters of the
// cap only, so that it never takes the room of a report.
TEST_F(ModuleMap, LaterMapsAreLeftOutPastThreeQuartersOfTheCap) {
    kt::init(kt::Cfg{{1, 16}});
    KovaMemSetFileSize(32);
    KovaMemLogModules();
    while (kt::readLog().size() < 25 * 1024) memLogPrint(" INFO: test: filler line of the log, as a busy host writes\n");
    void *h = load("libktplugB.so");
    ASSERT_NE(h, nullptr) << dlerror();
    KovaMemLogModules();
    std::string log = kt::readLog();
    EXPECT_EQ(kt::count(log, kMapStart), 1u);
    EXPECT_EQ(log.find("libktplugB.so"), std::string::npos);
    dlclose(h);
    // Below the mark again: the next new module is written.
    KovaMemSetFileSize(64);
    h = load("libktplugB.so");
    ASSERT_NE(h, nullptr);
    KovaMemLogModules();
    log = kt::readLog();
    EXPECT_EQ(kt::count(log, kMapStart), 2u);
    EXPECT_NE(log.find("libktplugB.so"), std::string::npos);
    dlclose(h);
}

// The preload library writes a map when the walk's generation moves; the
// walk must notice modules that came or went whichever unwinder serves the
// capture (builds without libunwind walk with the compiler runtime only).
TEST_F(ModuleMap, TracedAllocationsNoticeModulesWithEitherWalk) {
    kt::init(kt::Cfg{{1, 16}, {2, 16}});
    KovaMemUpdateLogStackFlag(1);
    tracedPair();
    for (bool cached : {true, false}) {
        if (cached && !memUnwindCached) continue;
        memUnwindCached = cached;
        const uint32_t before = generation();
        void *h = load("libktplugA.so");
        ASSERT_NE(h, nullptr) << dlerror();
        tracedPair();
        const uint32_t loaded = generation();
        EXPECT_NE(loaded, before) << (cached ? "libunwind" : "compiler runtime");
        dlclose(h);
        tracedPair();
        EXPECT_NE(generation(), loaded) << (cached ? "libunwind" : "compiler runtime");
        // Untraced allocations never call the loader.
        KovaMemUpdateLogStackFlag(0);
        const uint32_t quiet = generation();
        h = load("libktplugA.so");
        tracedPair();
        EXPECT_EQ(generation(), quiet);
        dlclose(h);
        KovaMemUpdateLogStackFlag(1);
        tracedPair();
    }
}
