// Trace capture and printing: the frame walk over synthetic o32 images, the
// result table, real call chains, the printed entry and the depth setter.
#include <map>

#include "diag/prim/stackwalk.h"
#include "support.h"

namespace {

constexpr MemTraceAddr E = MEM_TRACE_END;
constexpr uint32_t kLuiGp = 0x3C1C0002u, kJrRa = 0x03E00008u;
constexpr uint32_t addiuSp(int16_t imm) { return 0x27BD0000u | static_cast<uint16_t>(imm); }
constexpr uint32_t swRa(int16_t imm) { return 0xAFBF0000u | static_cast<uint16_t>(imm); }

// A synthetic process image; words not set read as 0 (a nop in code, a
// zero return address on the stack).
struct Image {
    std::map<uintptr_t, uintptr_t> code_, stack_;
    uint32_t code(uintptr_t a) const { return static_cast<uint32_t>(at(code_, a)); }
    uintptr_t stack(uintptr_t a) const { return at(stack_, a); }
    static uintptr_t at(const std::map<uintptr_t, uintptr_t> &m, uintptr_t a) {
        auto it = m.find(a);
        return it == m.end() ? 0 : it->second;
    }
    void fn(uintptr_t at, std::initializer_list<uint32_t> words) {
        for (uint32_t w : words) code_[at += 4] = w;
    }
    // Walks from pc with sp 0x8000; returns the count and the entries.
    std::pair<int32_t, std::vector<MemTraceAddr>> walk(uintptr_t pc, int32_t depth = 10) const {
        std::vector<MemTraceAddr> buf(11, E);
        int32_t n = kovamem::memWalkFrames(*this, buf.data(), depth, pc, 0x8000);
        return {n, buf};
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
