// Trace capture and printing: the frame walk over synthetic o32 images, the
// result table, real call chains, the printed entry and the depth setter.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "diag/prim/codemap.h"
#include "diag/prim/stackwalk.h"
#include "support.h"

namespace {

constexpr MemTraceAddr E = MEM_TRACE_END;
constexpr uint32_t kLuiGp = 0x3C1C0002u, kJrRa = 0x03E00008u;
constexpr uint32_t addiuSp(int16_t imm) { return 0x27BD0000u | static_cast<uint16_t>(imm); }
constexpr uint32_t swRa(int16_t imm) { return 0xAFBF0000u | static_cast<uint16_t>(imm); }

// A synthetic process image; words not set read as 0 (a nop in code, a
// zero return address on the stack). Code is everywhere unless ranges are
// given; reading code outside them fails the test.
struct Image {
    std::map<uintptr_t, uintptr_t> code_, stack_;
    std::vector<std::pair<uintptr_t, uintptr_t>> ranges_;  // [lo, hi)
    uint32_t code(uintptr_t a) const {
        uintptr_t lo, hi;
        EXPECT_TRUE(codeRange(a, &lo, &hi)) << "code read outside the mappings at " << a;
        return static_cast<uint32_t>(at(code_, a));
    }
    uintptr_t stack(uintptr_t a) const { return at(stack_, a); }
    bool codeRange(uintptr_t pc, uintptr_t *lo, uintptr_t *hi) const {
        if (ranges_.empty()) {
            *lo = 0;
            *hi = ~uintptr_t{0};
            return true;
        }
        for (auto &r : ranges_)
            if (pc >= r.first && pc < r.second) {
                *lo = r.first;
                *hi = r.second;
                return true;
            }
        return false;
    }
    static uintptr_t at(const std::map<uintptr_t, uintptr_t> &m, uintptr_t a) {
        auto it = m.find(a);
        return it == m.end() ? 0 : it->second;
    }
    void fn(uintptr_t at, std::initializer_list<uint32_t> words) {
        for (uint32_t w : words) code_[at += 4] = w;
    }
    // Walks from pc with sp 0x8000; returns the count and the entries. The
    // walk runs without a frame cache, then twice through a fresh cache
    // (filling it, then only reading it): all three must agree.
    std::pair<int32_t, std::vector<MemTraceAddr>> walk(uintptr_t pc, int32_t depth = 10) const {
        auto once = [&](auto &cache) {
            std::vector<MemTraceAddr> buf(11, E);
            int32_t n = kovamem::memWalkFrames(*this, cache, buf.data(), depth, pc, 0x8000);
            return std::make_pair(n, buf);
        };
        kovamem::NoFrameCache none;
        kovamem::FrameCache<64> cache{};
        const auto plain = once(none), cold = once(cache), warm = once(cache);
        EXPECT_EQ(plain, cold) << "walk from " << pc << ", filling the cache";
        EXPECT_EQ(plain, warm) << "walk from " << pc << ", from the cache";
        return plain;
    }
};

// A (frame 40, ra at 36) called from B (frame 32, ra at 28) called from C,
// whose saved return address is 0.
Image threeFrames() {
    Image im;
    im.fn(0x1000, {kLuiGp, addiuSp(-40), swRa(36), 0, 0, 0});
    im.fn(0x2000, {kLuiGp, addiuSp(-32), swRa(28), 0, 0});
    im.fn(0x3000, {kLuiGp, addiuSp(-24), swRa(20), 0});
    im.stack_[0x8000 + 36] = 0x2014;  // A's frame: return into B
    im.stack_[0x8028 + 28] = 0x3010;  // B's frame at sp + 40: return into C
    return im;
}

}  // namespace

TEST(FrameWalk, FollowsFramesOutwardToZeroOrDepth) {
    const Image im = threeFrames();
    auto [n, buf] = im.walk(0x1018);
    EXPECT_EQ(n, 3);  // C's saved 0 ends the walk and is not stored
    EXPECT_EQ(buf, (std::vector<MemTraceAddr>{0x1018, 0x2014, 0x3010, E, E, E, E, E, E, E, E}));
    EXPECT_EQ(im.walk(0x1018, 2).first, 2);
    EXPECT_EQ(im.walk(0x1018, 2).second[2], E);
    EXPECT_EQ(im.walk(0).first, 0);
}

TEST(FrameWalk, UnresolvedFramesAndGuardsEndTheWalk) {
    Image im;
    im.fn(0x1000, {kLuiGp, addiuSp(-24), swRa(0), 0});  // offset 0 never resolves
    im.fn(0x2000, {kLuiGp, addiuSp(-16), swRa(44), 0});  // offset outside the frame
    im.stack_[0x8000] = 0x5000;
    im.stack_[0x8000 + 44] = 0x5000;
    EXPECT_EQ(im.walk(0x1010).first, 1);
    EXPECT_EQ(im.walk(0x2010).first, 1);
    EXPECT_EQ(im.walk(0x400000).first, 1);  // no prologue at all: the scan is bounded
    Image odd = threeFrames();
    odd.stack_[0x8000 + 36] = 0x2015;  // misaligned: not recorded
    EXPECT_EQ(odd.walk(0x1018).first, 1);
    // While unresolved, a later match replaces an earlier one: ra at 36.
    Image later;
    later.fn(0x1000, {kLuiGp, addiuSp(-40), swRa(36), swRa(16), 0});
    later.stack_[0x8000 + 36] = 0x77C;
    EXPECT_EQ(later.walk(0x1014).second[1], 0x77Cu);
}

TEST(FrameWalk, NeverLeavesTheCodeMappingsAndStopsAtSignalTrampolines) {
    Image im = threeFrames();
    im.ranges_ = {{0x1000, 0x1100}, {0x2000, 0x2100}, {0x3000, 0x3100}};
    EXPECT_EQ(im.walk(0x1018).first, 3);  // inside the mappings: as without them
    im.stack_[0x8000 + 36] = 0x2200;      // B's return address points outside code
    EXPECT_EQ(im.walk(0x1018), (std::make_pair(1, std::vector<MemTraceAddr>{0x1018, E, E, E, E, E, E, E, E, E, E})));
    EXPECT_EQ(im.walk(0x9000).first, 0);  // the first pc outside code: nothing recorded
    // A mapping that starts inside a function: the scan ends at its first
    // word, as at a function start.
    Image cut;
    cut.fn(0x1000, {kLuiGp, addiuSp(-40), swRa(36), 0, 0, 0});
    cut.ranges_ = {{0x100C, 0x1100}};  // the lui gp and addiu lie before it
    EXPECT_EQ(cut.walk(0x1018).first, 1);
    // A handler returns into the o32 sigreturn and rt_sigreturn trampolines:
    // the walk ends at the handler, the trampoline is not recorded.
    for (uint32_t li : {0x24021017u, 0x24021061u}) {
        Image sig = threeFrames();
        sig.code_[0x5000] = li;
        sig.code_[0x5004] = 0x0000000Cu;  // syscall
        sig.ranges_ = {{0x1000, 0x1100}, {0x5000, 0x5008}};
        sig.stack_[0x8000 + 36] = 0x5000;
        EXPECT_EQ(sig.walk(0x1018), (std::make_pair(1, std::vector<MemTraceAddr>{0x1018, E, E, E, E, E, E, E, E, E, E})));
    }
    // Saved return addresses are read only within the window above the
    // first stack pointer: ten frames of 32 KiB.
    Image wide;
    for (uintptr_t f = 0; f < 12; ++f) {
        wide.fn(0x1000 * (f + 1), {kLuiGp, addiuSp(-32760), swRa(32756), 0});
        wide.stack_[0x8000 + f * 32760 + 32756] = 0x1000 * (f + 2) + 0x10;
    }
    EXPECT_EQ(wide.walk(0x1010, 10).first, 10);
    std::vector<MemTraceAddr> buf(12, E);
    kovamem::NoFrameCache none;
    EXPECT_EQ(kovamem::memWalkFrames(wide, none, buf.data(), 12, 0x1010, 0x8000), 11);  // the 11th read is outside
}

TEST(FrameWalk, OwnFrameSizeIsFirstNonZeroAddiuBeforeJrRa) {
    Image im;
    im.fn(0x1000, {kLuiGp, addiuSp(0), addiuSp(-48), kJrRa});
    im.fn(0x2000, {0, kJrRa, addiuSp(-48)});
    EXPECT_EQ(kovamem::memOwnFrameSize(im, 0x1004), 48u);
    EXPECT_EQ(kovamem::memOwnFrameSize(im, 0x2004), 0u);
}

TEST(SysStackTrace, RealChainResolvesInnermostFirstUpToDepth) {
    MemTraceAddr buf[MEM_TRACE_ENTRIES], one[MEM_TRACE_ENTRIES], all[MEM_TRACE_ENTRIES];
    for (int i = 0; i < MEM_TRACE_ENTRIES; ++i) buf[i] = one[i] = E;
    EXPECT_EQ(SYS_StackTrace(nullptr, 0, 1) + SYS_StackTrace(buf, 0, 1), 0);  // bad arguments write nothing
    EXPECT_EQ(SYS_StackTrace(nullptr, 5, 1) + SYS_StackTrace(buf, -1, 1), -2);
    EXPECT_EQ(buf[0], E);
    ASSERT_EQ(kt::ktChainF(buf, 3), 3);
    EXPECT_EQ(kt::functionOf(buf[0]) + kt::functionOf(buf[1]) + kt::functionOf(buf[2]), "ktChainHktChainGktChainF");
    EXPECT_GT(buf[0], reinterpret_cast<MemTraceAddr>(&kt::ktChainH));  // just behind the call
    EXPECT_EQ(buf[3], E);
    ASSERT_EQ(kt::ktChainF(one, 1), 1);
    EXPECT_EQ(one[0], buf[0]);
    EXPECT_EQ(one[1], E);
    const int32_t n = kt::ktChainF(all, MEM_TRACE_ENTRIES);  // beyond F, into the runner
    EXPECT_GT(n, 3);
    for (int i = 0; i < n; ++i) EXPECT_NE(all[i], 0u);
}

// On MIPS the walk keeps what it learned of each frame: a capture through
// frames seen before must record exactly what the scans record.
TEST(SysStackTrace, CachedAndUncachedWalksRecordTheSameChain) {
    MemTraceAddr t[3][MEM_TRACE_ENTRIES];  // scanned, filling the cache, from the cache
    int32_t n[3];
    for (int pass = 0; pass < 3; ++pass) {  // one call site, so one chain
        for (auto &e : t[pass]) e = E;
        memFrameCacheOff = pass == 0;
        n[pass] = kt::ktChainF(t[pass], MEM_TRACE_ENTRIES);
    }
    memFrameCacheOff = false;
    EXPECT_GT(n[0], 3);
    for (int pass = 1; pass < 3; ++pass) {
        EXPECT_EQ(n[pass], n[0]) << pass;
        for (int i = 0; i < MEM_TRACE_ENTRIES; ++i) EXPECT_EQ(t[pass][i], t[0][i]) << pass << "/" << i;
    }
}

TEST(SysStackTrace, DepthSetterBoundsEveryCapture) {
    MemTraceAddr t[MEM_TRACE_ENTRIES];
    KovaMemSetStackDepth(11);
    EXPECT_EQ(gStackDepth, 10);
    KovaMemSetStackDepth(3);
    kt::ktCaptureDeep(6, t);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kt::functionOf(t[i]), "ktCaptureDeep") << i;
    for (int i = 3; i < MEM_TRACE_ENTRIES; ++i) EXPECT_EQ(t[i], E) << i;
    for (int32_t d : {0, -1}) {
        KovaMemSetStackDepth(d);
        EXPECT_EQ(gStackDepth, d);
        kt::ktCaptureDeep(6, t);
        for (auto e : t) EXPECT_EQ(e, E);
    }
    KovaMemSetStackDepth(10);  // once lowered, 10 cannot be set again
    EXPECT_EQ(gStackDepth, -1);
}

// A crash handler logging a backtrace: captures from a signal handler, on
// the thread's stack and on an alternate signal stack, end without a fault
// and begin in the handler.
TEST(SysStackTrace, CapturesFromASignalHandlerOnAnyStack) {
    kt::start(kt::Cfg{{0, 1}});
    static char alternate[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alternate;
    ss.ss_size = sizeof alternate;
    ASSERT_EQ(sigaltstack(&ss, nullptr), 0);
    for (int onAltStack : {0, 1}) {
        struct sigaction sa{};
        sa.sa_handler = kt::ktOnSignal;
        sa.sa_flags = onAltStack ? SA_ONSTACK : 0;
        ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
        KovaMemResetFile();
        kt::ktSignalDepth = -9;
        ASSERT_EQ(raise(SIGUSR1), 0);
        EXPECT_GE(kt::ktSignalDepth, 1) << "alternate stack " << onAltStack;
        EXPECT_EQ(kt::functionOf(kt::ktSignalTrace[0]), "ktOnSignal") << "alternate stack " << onAltStack;
        const std::string log = kt::readLog();
        EXPECT_EQ(log.rfind(" EXIT: Allocation for Zero Bytes \nSTACK DETAILS: A:     0 L:     0 T:       0 c: \n[", 0), 0u)
            << log;
    }
    signal(SIGUSR1, SIG_DFL);
}

// A profiling timer firing into a thread that captures in a loop, as an
// allocation does (the library's own capture, which checks the modules):
// most signals land inside a capture, and the handler captures too, as a
// host does. With each walk the build offers, neither the interrupted
// captures nor the handler's may fault, hang or come out wrong.
namespace interrupted {

constexpr int kDeep = 64;
MemTraceAddr ref[MEM_TRACE_ENTRIES];      // the loop's chain, captured before the timer starts
MemTraceAddr handlerRef[MEM_TRACE_ENTRIES];  // the handler's first frames, from a direct call
volatile sig_atomic_t inCapture;
bool recording;
int handled, nested, nestedWhole, badHandler;
std::chrono::steady_clock::time_point deadline;

__attribute__((noinline)) int32_t loopCapture(MemTraceAddr *buf) {
    inCapture = 1;
    kt::ktCaptureDeep(3, buf);
    inCapture = 0;
    int32_t n = 0;
    while (n < MEM_TRACE_ENTRIES && buf[n] != E) ++n;
    return n;
}

void onTimer(int) {
    const int saved = errno;
    const bool wasCapturing = inCapture != 0;
    MemTraceAddr b[kDeep];
    const int32_t n = kt::ktChainF(b, kDeep);
    if (recording) {
        for (int i = 0; i < MEM_TRACE_ENTRIES; ++i) handlerRef[i] = b[i];
        return;
    }
    ++handled;
    // The handler's own frames (H, G, F return to the same places as in the
    // direct call); past them come the handler and, where the walk goes
    // through signal frames, the interrupted code.
    if (n < 3 || b[0] != handlerRef[0] || b[1] != handlerRef[1] || b[2] != handlerRef[2]) ++badHandler;
    if (wasCapturing) {
        ++nested;
        // Inside loopCapture, whatever it was doing: its return address
        // into the loop and the one past it are on the interrupted stack.
        for (int32_t i = 3; i + 1 < n; ++i)
            if (b[i] == ref[4] && b[i + 1] == ref[5]) {
                ++nestedWhole;
                break;
            }
    }
    // A handler slower than the timer's period would starve the loop: the
    // handler ends the run itself.
    if (std::chrono::steady_clock::now() >= deadline) {
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
    }
    errno = saved;
}

}  // namespace interrupted

TEST(SysStackTrace, CaptureFromAHandlerThatInterruptsACaptureIsWholeWithEveryWalk) {
    namespace I = interrupted;
    struct Walk {
        const char *name;
        bool *flag;
        bool value;
    };
    std::vector<Walk> walks;
    MemTraceAddr first[MEM_TRACE_ENTRIES];
    kt::ktCaptureDeep(1, first);  // the library's first capture starts libunwind where it is used
    if (kt::kMips) {
        walks = {{"frame cache", &memFrameCacheOff, false}, {"scans only", &memFrameCacheOff, true}};
    } else {
        if (memUnwindCached) walks.push_back({"libunwind", &memUnwindCached, true});
        walks.push_back({"compiler runtime", &memUnwindCached, false});
    }
    const bool cachedAtLoad = memUnwindCached;
    I::recording = true;
    I::onTimer(0);
    I::recording = false;
    struct sigaction sa{};
    sa.sa_handler = I::onTimer;
    sa.sa_flags = SA_RESTART;
    ASSERT_EQ(sigaction(SIGALRM, &sa, nullptr), 0);
    for (const Walk &w : walks) {
        *w.flag = w.value;
        I::handled = I::nested = I::nestedWhole = I::badHandler = 0;
        MemTraceAddr buf[MEM_TRACE_ENTRIES];
        int32_t n0 = 0, mismatches = 0, loops = 0;
        I::deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kt::kMips ? 1500 : 400);
        for (int i = 0; i == 0 || std::chrono::steady_clock::now() < I::deadline; ++i) {
            for (auto &e : buf) e = E;
            const int32_t n = I::loopCapture(buf);  // one call site: one chain
            if (i == 0) {
                n0 = n;
                for (int k = 0; k < MEM_TRACE_ENTRIES; ++k) I::ref[k] = buf[k];
                itimerval it{{0, 100}, {0, 100}};
                ASSERT_EQ(setitimer(ITIMER_REAL, &it, nullptr), 0);
                continue;
            }
            ++loops;
            if (n != n0 || memcmp(buf, I::ref, sizeof buf) != 0) ++mismatches;
        }
        itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        EXPECT_GE(n0, 4) << w.name;
        EXPECT_EQ(mismatches, 0) << w.name << ": of " << loops << " captures";
        EXPECT_EQ(I::badHandler, 0) << w.name << ": of " << I::handled << " handler captures";
        EXPECT_GE(I::nested, 20) << w.name << ": too few signals landed in a capture to test anything";
        // Hosts walk through the signal frame into the interrupted capture;
        // under qemu (aarch64) a few signals land where the emulated frame
        // does not let the walk through.
        if (kt::kX86_64) {
            EXPECT_EQ(I::nestedWhole, I::nested) << w.name;
        } else if (!kt::kMips) {
            EXPECT_GE(I::nestedWhole * 10, I::nested * 9) << w.name;
        }
        printf("%s: %d captures, %d in handlers, %d of them inside a capture, %d through the signal frame\n", w.name,
               loops, I::handled, I::nested, I::nestedWhole);
    }
    signal(SIGALRM, SIG_DFL);
    memFrameCacheOff = false;
    memUnwindCached = cachedAtLoad;
}

// ---- modules that come and go ----

namespace plugins {

using Capture = int32_t (*)(MemTraceAddr *, int32_t);

struct Loaded {
    void *handle;
    Capture outer;
    uintptr_t base;
};

Loaded load(const char *name) {
    Loaded l{dlopen((std::string(KT_PLUGIN_DIR "/") + name).c_str(), RTLD_NOW | RTLD_LOCAL), nullptr, 0};
    if (l.handle == nullptr) return l;
    l.outer = reinterpret_cast<Capture>(dlsym(l.handle, "ktPlugOuter"));
    Dl_info info;
    if (l.outer != nullptr && dladdr(reinterpret_cast<void *>(l.outer), &info) != 0)
        l.base = reinterpret_cast<uintptr_t>(info.dli_fbase);
    return l;
}

// The plugin's three frames, then the caller's: what a fresh process records.
extern "C" __attribute__((noinline, used)) int32_t ktThroughPlugin(Capture outer, MemTraceAddr *b) {
    const int32_t n = outer(b, MEM_TRACE_ENTRIES);
    __asm__ volatile("" ::: "memory");
    return n;
}
std::string throughPlugin(Capture outer) {
    MemTraceAddr b[MEM_TRACE_ENTRIES];
    for (auto &e : b) e = MEM_TRACE_END;
    const int32_t n = ktThroughPlugin(outer, b);
    std::string names;
    for (int32_t i = 0; i < n && i < 4; ++i) names += kt::functionOf(b[i]) + " ";
    return names;
}
constexpr const char *kWhole = "ktPlugInner ktPlugMiddle ktPlugOuter ktThroughPlugin ";

}  // namespace plugins

// The descriptors the process has open, from /proc/self/fd (the
// directory's own descriptor left out).
std::vector<int> openDescriptors() {
    std::vector<int> fds;
    for (int fd = 0; fd < 1024; ++fd)
        if (fcntl(fd, F_GETFD) != -1) fds.push_back(fd);
    return fds;
}

// What a program started now holds: the listing of its /proc/self/fd.
std::string execdDescriptors() {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return "no pipe";
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    char ls[] = "ls", l[] = "-l", dir[] = "/proc/self/fd";
    char *argv[] = {ls, l, dir, nullptr};
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/bin/ls", &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    close(out[1]);
    std::string text;
    char buf[512];
    for (ssize_t n; rc == 0 && (n = read(out[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    close(out[0]);
    if (rc == 0) waitpid(pid, nullptr, 0);
    return text;
}

// A crash handler's capture may be the process's first: nothing it needs
// is learned by it (learning calls the loader, which a handler must not).
// libunwind is not touched before the library's own first capture (its
// first use opens a pipe): a host that never traces keeps every descriptor
// to itself, and a program it starts inherits none of the library's.
TEST(SysStackTrace, CodeMapIsLearnedBeforeTheFirstCaptureAndLibunwindStartsWithTracing) {
    uintptr_t lo, hi;
    EXPECT_TRUE(kovamem::memCodeRange(reinterpret_cast<uintptr_t>(&kt::ktChainF), &lo, &hi, false));
    EXPECT_TRUE(kovamem::memCodeRange(reinterpret_cast<uintptr_t>(&KovaMemAlloc), &lo, &hi, false));
    EXPECT_FALSE(kovamem::memCodeRange(reinterpret_cast<uintptr_t>(&lo), &lo, &hi, false));  // the stack
    EXPECT_FALSE(memUnwindCached);
    const std::vector<int> before = openDescriptors();
    MemTraceAddr t[MEM_TRACE_ENTRIES];
    EXPECT_GE(kt::ktChainF(t, MEM_TRACE_ENTRIES), 3);  // a host's capture
    const int32_t cfg[MEM_POOL_SLOTS] = {4, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    KovaMemInit(cfg);
    KovaMemFree(KovaMemAlloc(8));
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_FALSE(memUnwindCached);
    // What a traced allocation captures; then the host closes every
    // descriptor it did not open itself, and captures go on whole.
    for (int i = 0; i < 4; ++i) {
        MemTraceAddr now[MEM_TRACE_ENTRIES];
        kt::ktCaptureDeep(1, now);
        if (i > 0) {
            // Entry 1 is this loop's call site, which the compiler may copy.
            for (int k = 0; k < MEM_TRACE_ENTRIES; ++k)
                if (k != 1) {
                    EXPECT_EQ(now[k], t[k]) << i << " entry " << k;
                }
            continue;
        }
        memcpy(t, now, sizeof t);
        EXPECT_NE(t[3], MEM_TRACE_END);
        EXPECT_EQ(memUnwindCached, !kt::kMips && kovamem::config_libunwind && !kovamem::config_tsan);
        // What the walk holds now (libunwind's pipe) never reaches a program
        // the host starts.
        const std::string child = execdDescriptors();
        EXPECT_NE(child.find("/proc/"), std::string::npos) << child;
        for (int fd : openDescriptors()) {
            struct stat st;
            if (std::find(before.begin(), before.end(), fd) != before.end() || fstat(fd, &st) != 0) continue;
            EXPECT_EQ(child.find(":[" + std::to_string(st.st_ino) + "]"), std::string::npos) << fd << "\n" << child;
        }
        for (int fd : openDescriptors())
            if (fd > 2 && std::find(before.begin(), before.end(), fd) == before.end()) close(fd);
    }
    unlink(kt::logPath().c_str());
}

// A plugin unloaded and another loaded at the same base: what the walk
// learned of the first one's frames must not be applied to the second's
// code at the same addresses, in this thread or in another.
TEST(SysStackTrace, PluginReloadedAtTheSameBaseGivesTheChainOfAFreshProcess) {
    namespace P = plugins;
    P::Loaded a = P::load("libktplugA.so");
    ASSERT_NE(a.outer, nullptr) << dlerror();
    // A host's capture never calls into the loader (it may run in a signal
    // handler): on MIPS, code the map has not learned yet ends its chain.
    if (kt::kMips) {
        EXPECT_EQ(P::throughPlugin(a.outer), "");
    }
    MemTraceAddr t[MEM_TRACE_ENTRIES];
    kt::ktCaptureDeep(1, t);  // the next allocation learns the module (KovaMemLogModules does too)
    for (int i = 0; i < 3; ++i) EXPECT_EQ(P::throughPlugin(a.outer), P::kWhole);  // frames learned
    const uintptr_t inA = reinterpret_cast<uintptr_t>(a.outer);
    ASSERT_EQ(dlclose(a.handle), 0);
    // Unloaded: once the library has captured (an allocation does), the code
    // map no longer counts its code as code.
    kt::ktCaptureDeep(1, t);
    uintptr_t lo, hi;
    EXPECT_FALSE(kovamem::memCodeRange(inA, &lo, &hi, false));
    P::Loaded b = P::load("libktplugB.so");
    ASSERT_NE(b.outer, nullptr) << dlerror();
    // Plain x86_64 and MIPS under qemu load it there every time; a
    // sanitizer's own mappings, or qemu's placement for aarch64, may take
    // the place.
    const bool sameBaseExpected = kt::kMips || (kt::kX86_64 && !kovamem::config_asan && !kovamem::config_tsan);
    if (b.base != a.base && !sameBaseExpected) {
        dlclose(b.handle);
        GTEST_SKIP() << "the loader put the second plugin elsewhere here";
    }
    ASSERT_EQ(b.base, a.base) << "the loader put the second plugin elsewhere: nothing to test";
    kt::ktCaptureDeep(1, t);  // as the next allocation does: the library learns the new module
    EXPECT_EQ(P::throughPlugin(b.outer), P::kWhole);
    EXPECT_EQ(P::throughPlugin(b.outer), P::kWhole);
    std::string fromThread;
    std::thread([&] { fromThread = P::throughPlugin(b.outer); }).join();
    EXPECT_EQ(fromThread, P::kWhole);
    dlclose(b.handle);
}

// fork while the code map is being rebuilt: the test's hook forks in the
// middle of the rebuild (count odd, writer role held) and runs the child's
// part there; in a real host the child's only thread would be one that was
// not rebuilding, and nothing would ever finish that rebuild in the child.
// The child must learn the modules it loads.
namespace forking {
int childStatus = -1;
int childCheck();
void forkNow() {
    kovamem::memCodeMapRebuildHook = nullptr;
    const pid_t pid = fork();
    if (pid == 0) _exit(childCheck());
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) childStatus = WEXITSTATUS(status);
}
}  // namespace forking

TEST(SysStackTrace, ChildForkedDuringARebuildLearnsModulesLoadedLater) {
    namespace P = plugins;
    P::Loaded a = P::load("libktplugA.so");  // the loader's counts move: the next lookup rebuilds
    ASSERT_NE(a.outer, nullptr) << dlerror();
    kovamem::memCodeMapRebuildHook = forking::forkNow;
    uintptr_t lo, hi;
    EXPECT_TRUE(kovamem::memCodeRange(reinterpret_cast<uintptr_t>(a.outer), &lo, &hi, true));
    EXPECT_EQ(kovamem::memCodeMapRebuildHook, nullptr) << "the lookup did not rebuild";
    EXPECT_EQ(forking::childStatus, 0) << "1: module not learned; 2: chain cut; 3: not loaded";
    dlclose(a.handle);
}

TEST(TracePrint, MatchesByteForByteAtEveryDepth) {
    kt::start(kt::Cfg{{0, 1}});
    MemTraceAddr full[MEM_TRACE_ENTRIES + 1], empty[MEM_TRACE_ENTRIES];
    for (int i = 0; i <= MEM_TRACE_ENTRIES; ++i) full[i] = 0x100u * (i + 1);  // [10] is never read
    for (auto &e : empty) e = E;
    auto entry = [](const std::string &header, int n) {
        std::string s = "STACK DETAILS: " + header;
        for (int i = 0; i < n; ++i) {
            char line[48];
            snprintf(line, sizeof line, "%s[%08X] in  /bin/appmain ", i ? "\n" : " c: \n", 0x100 * (i + 1));
            s += line;
        }
        return s + "\n" + std::string(64, '*') + "\n\n";
    };
    const std::string zeros = "A:     0 L:     0 T:       0";
    struct Case { int32_t depth; const MemTraceAddr *trace; int lines; };
    for (const Case &c : {Case{10, full, 10}, Case{9, empty, 0}, Case{0, full, 0}, Case{4, full, 4},
                          Case{-1, full, 10}}) {
        KovaMemSetStackDepth(c.depth);
        KovaMemResetFile();
        printStackDetails(c.trace, 0, 0, 0);
        EXPECT_EQ(kt::readLog(), entry(zeros, c.lines)) << "depth " << c.depth;
    }
    KovaMemResetFile();
    printStackDetails(empty, 0xABC, -12, 0xDEADBEEF);
    EXPECT_EQ(kt::readLog(), entry("A:   ABC L:   -12 T:DEADBEEF", 0));
}

int forking::childCheck() {
    namespace P = plugins;
    alarm(10);
    P::Loaded b = P::load("libktplugB.so");
    if (b.outer == nullptr) return 3;
    uintptr_t lo, hi;
    if (!kovamem::memCodeRange(reinterpret_cast<uintptr_t>(b.outer), &lo, &hi, true)) return 1;
    return P::throughPlugin(b.outer) == P::kWhole ? 0 : 2;
}
