// Trace capture and printing: the frame walk over synthetic o32 images, the
// result table, real call chains, the printed entry and the depth setter.
#include <dlfcn.h>

#include <map>

#include "chain.h"
#include "diag/prim/stackwalk.h"
#include "support.h"

namespace {

constexpr MemTraceAddr E = MEM_TRACE_END;

// Instruction words of the o32 prologue.
constexpr uint32_t luiGp() { return 0x3C1C0002u; }
constexpr uint32_t addiuSp(int16_t imm) { return 0x27BD0000u | static_cast<uint16_t>(imm); }
constexpr uint32_t swRa(int16_t imm) { return 0xAFBF0000u | static_cast<uint16_t>(imm); }
constexpr uint32_t kNop = 0, kJrRa = 0x03E00008u;

// A synthetic process image: words not set read as 0 (a nop in code, a
// zero return address on the stack).
struct Image {
    std::map<uintptr_t, uint32_t> code_;
    std::map<uintptr_t, uintptr_t> stack_;
    uint32_t code(uintptr_t a) const { auto it = code_.find(a); return it == code_.end() ? 0 : it->second; }
    uintptr_t stack(uintptr_t a) const { auto it = stack_.find(a); return it == stack_.end() ? 0 : it->second; }
    // Lays out a function from `at`, one word after another.
    void fn(uintptr_t at, std::initializer_list<uint32_t> words) {
        for (uint32_t w : words) { code_[at] = w; at += 4; }
    }
};

struct Walked {
    int32_t n;
    MemTraceAddr buf[MEM_TRACE_ENTRIES + 1];
};

Walked walk(const Image &im, int32_t depth, uintptr_t pc, uintptr_t sp) {
    Walked w;
    for (auto &e : w.buf) e = E;
    w.n = kovamem::memWalkFrames(im, w.buf, depth, pc, sp);
    return w;
}

// A caller A (frame 40, ra at 36) called from B (frame 32, ra at 28),
// called from C, whose saved return address is 0.
Image threeFrames() {
    Image im;
    im.fn(0x1000, {luiGp(), 0x279C0000u, addiuSp(-40), swRa(36), kNop, kNop, kNop, kNop});
    im.fn(0x2000, {luiGp(), 0x279C0000u, addiuSp(-32), swRa(28), kNop, kNop, kNop});
    im.fn(0x3000, {luiGp(), 0x279C0000u, addiuSp(-24), swRa(20), kNop, kNop});
    im.stack_[0x8000 + 36] = 0x2018;  // A's frame: return into B
    im.stack_[0x8028 + 28] = 0x3014;  // B's frame at sp + 40: return into C
    im.stack_[0x8048 + 20] = 0;       // C's frame at sp + 40 + 32
    return im;
}

}  // namespace

TEST(FrameWalk, FollowsSavedReturnAddressesAndFrameSizesOutward) {
    Walked w = walk(threeFrames(), 10, 0x101C, 0x8000);
    ASSERT_EQ(w.n, 3);  // the zero saved by C is not stored
    EXPECT_EQ(w.buf[0], 0x101Cu);
    EXPECT_EQ(w.buf[1], 0x2018u);
    EXPECT_EQ(w.buf[2], 0x3014u);
    EXPECT_EQ(w.buf[3], E);
}

TEST(FrameWalk, StopsAtDepthWritingNothingBeyond) {
    for (int32_t depth : {1, 2}) {
        Walked w = walk(threeFrames(), depth, 0x101C, 0x8000);
        EXPECT_EQ(w.n, depth);
        EXPECT_EQ(w.buf[depth], E);
    }
    EXPECT_EQ(walk(threeFrames(), 5, 0, 0x8000).n, 0);  // pc 0: nothing written
}

TEST(FrameWalk, OffsetZeroDoesNotResolveAndScanEndsAtLuiGp) {
    Image im;
    im.fn(0x1000, {luiGp(), addiuSp(-24), swRa(0), kNop, kNop});
    im.stack_[0x8000] = 0x5000;  // would be followed if offset 0 resolved
    Walked w = walk(im, 10, 0x1010, 0x8000);
    EXPECT_EQ(w.n, 1);
    EXPECT_EQ(w.buf[0], 0x1010u);
    EXPECT_EQ(w.buf[1], E);
}

TEST(FrameWalk, LaterMatchReplacesEarlierWhileUnresolved) {
    Image im;
    // Scanning back from 0x1014 meets sw ra,16 first, then sw ra,36, then
    // the addiu: the frame is 40 with ra at 36.
    im.fn(0x1000, {luiGp(), addiuSp(-40), swRa(36), swRa(16), kNop, kNop});
    im.fn(0x2000, {luiGp(), addiuSp(-8), swRa(4), kNop});
    im.stack_[0x8000 + 36] = 0x200C;
    im.stack_[0x8000 + 16] = 0x6000;
    Walked w = walk(im, 10, 0x1014, 0x8000);
    ASSERT_EQ(w.n, 2);
    EXPECT_EQ(w.buf[1], 0x200Cu);
}

TEST(FrameWalk, GuardsEndTheWalkWithTheEntriesItHas) {
    // Saved-address offset outside its frame.
    Image out;
    out.fn(0x1000, {luiGp(), addiuSp(-16), swRa(44), kNop});
    out.stack_[0x8000 + 44] = 0x2000;
    EXPECT_EQ(walk(out, 10, 0x100C, 0x8000).n, 1);
    // Misaligned saved return address: not recorded.
    Image odd = threeFrames();
    odd.stack_[0x8000 + 36] = 0x2019;
    Walked w = walk(odd, 10, 0x101C, 0x8000);
    EXPECT_EQ(w.n, 1);
    EXPECT_EQ(w.buf[1], E);
    // Code without any prologue: the backward scan is bounded.
    Image none;
    EXPECT_EQ(walk(none, 10, 0x400000, 0x8000).n, 1);
}

TEST(FrameWalk, OwnFrameSizeIsFirstNonZeroAddiuBeforeJrRa) {
    Image im;
    im.fn(0x1000, {luiGp(), addiuSp(0), addiuSp(-48), swRa(44), kJrRa});
    EXPECT_EQ(kovamem::memOwnFrameSize(im, 0x1000), 48u);
    Image leaf;
    leaf.fn(0x1000, {kNop, kJrRa, addiuSp(-48)});
    EXPECT_EQ(kovamem::memOwnFrameSize(leaf, 0x1000), 0u);
}

TEST(SysStackTrace, BadArgumentsWriteNothing) {
    MemTraceAddr buf[MEM_TRACE_ENTRIES];
    for (auto &e : buf) e = 7;
    EXPECT_EQ(SYS_StackTrace(nullptr, 0, 1), 0);
    EXPECT_EQ(SYS_StackTrace(buf, 0, 1), 0);
    EXPECT_EQ(SYS_StackTrace(nullptr, 5, 1), -1);
    EXPECT_EQ(SYS_StackTrace(buf, -1, 1), -1);
    for (auto e : buf) EXPECT_EQ(e, 7u);
}

namespace {

// The function an address lies in, by the dynamic symbol table.
std::string functionOf(MemTraceAddr a) {
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(a), &info) == 0 || info.dli_sname == nullptr) return "?";
    return info.dli_sname;
}

// True when a lies behind the start of f and not far into it.
bool inside(MemTraceAddr a, int32_t (*f)(MemTraceAddr *, int32_t)) {
    const MemTraceAddr start = reinterpret_cast<MemTraceAddr>(f);
    return a > start && a < start + 1024;
}

}  // namespace

TEST(SysStackTrace, RealChainResolvesInnermostFirstUpToDepth) {
    MemTraceAddr buf[MEM_TRACE_ENTRIES];
    for (auto &e : buf) e = E;
    ASSERT_EQ(ktChainF(buf, 3), 3);
    EXPECT_EQ(functionOf(buf[0]), "ktChainH");
    EXPECT_EQ(functionOf(buf[1]), "ktChainG");
    EXPECT_EQ(functionOf(buf[2]), "ktChainF");
    EXPECT_TRUE(inside(buf[0], ktChainH));
    EXPECT_TRUE(inside(buf[2], ktChainF));
    for (int i = 3; i < MEM_TRACE_ENTRIES; ++i) EXPECT_EQ(buf[i], E);

    MemTraceAddr one[MEM_TRACE_ENTRIES];
    for (auto &e : one) e = E;
    ASSERT_EQ(ktChainF(one, 1), 1);
    EXPECT_EQ(one[0], buf[0]);  // the same call site in H
    for (int i = 1; i < MEM_TRACE_ENTRIES; ++i) EXPECT_EQ(one[i], E);

    // A full-depth walk reaches beyond F (the test runner) and records no 0.
    MemTraceAddr all[MEM_TRACE_ENTRIES];
    int32_t n = ktChainF(all, MEM_TRACE_ENTRIES);
    EXPECT_GT(n, 3);
    for (int i = 0; i < n; ++i) EXPECT_NE(all[i], 0u);
}

TEST(SysStackTrace, CaptureHonoursDepthAndFillsTheRestWithMarker) {
    MemTraceAddr t[MEM_TRACE_ENTRIES];
    KovaMemSetStackDepth(3);
    ktCaptureDeep(6, t);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(functionOf(t[i]), "ktCaptureDeep") << i;
    for (int i = 3; i < MEM_TRACE_ENTRIES; ++i) EXPECT_EQ(t[i], E) << i;
    for (int32_t d : {0, -1}) {
        KovaMemSetStackDepth(d);
        ktCaptureDeep(6, t);
        for (auto e : t) EXPECT_EQ(e, E);
    }
}

TEST(StackDepth, AcceptsOnlyValuesBelowTen) {
    EXPECT_EQ(gStackDepth, 10);
    KovaMemSetStackDepth(11);
    EXPECT_EQ(gStackDepth, 10);
    for (int32_t d : {9, 0, -1}) {
        KovaMemSetStackDepth(d);
        EXPECT_EQ(gStackDepth, d);
    }
    KovaMemSetStackDepth(10);
    EXPECT_EQ(gStackDepth, -1);
}

namespace {

const std::string kStars = std::string(64, '*');

// The entry for a header line and addresses 0x100, 0x200, ... (n of them).
std::string expectedEntry(const std::string &header, int n) {
    std::string s = "STACK DETAILS: " + header;
    for (int i = 0; i < n; ++i) {
        char line[64];
        snprintf(line, sizeof line, "%s[%08X] in  /bin/appmain ", i == 0 ? " c: \n" : "\n", 0x100 * (i + 1));
        s += line;
    }
    return s + "\n" + kStars + "\n\n";
}

}  // namespace

using TracePrint = kt::Scenario;

TEST_F(TracePrint, MatchesByteForByteAtEveryDepth) {
    kt::init(kt::Cfg{{0, 1}});
    MemTraceAddr full[MEM_TRACE_ENTRIES + 1];
    for (int i = 0; i <= MEM_TRACE_ENTRIES; ++i) full[i] = 0x100u * (i + 1);  // [10] must never be read
    MemTraceAddr empty[MEM_TRACE_ENTRIES];
    for (auto &e : empty) e = E;
    const std::string zeros = "A:     0 L:     0 T:       0";

    struct Case { int32_t depth; const MemTraceAddr *trace; int lines; };
    for (const Case &c : {Case{10, empty, 0}, Case{0, full, 0}, Case{4, full, 4}, Case{-1, full, 10}}) {
        if (c.depth != 10) KovaMemSetStackDepth(c.depth);
        KovaMemResetFile();
        printStackDetails(c.trace, 0, 0, 0);
        EXPECT_EQ(kt::readLog(), expectedEntry(zeros, c.lines)) << "depth " << c.depth;
    }
    KovaMemResetFile();
    printStackDetails(empty, 0xABC, -12, 0xDEADBEEF);
    EXPECT_EQ(kt::readLog(), expectedEntry("A:   ABC L:   -12 T:DEADBEEF", 0));
}

TEST_F(TracePrint, FullDepthPrintsTenLines) {
    kt::init(kt::Cfg{{0, 1}});
    MemTraceAddr full[MEM_TRACE_ENTRIES];
    for (int i = 0; i < MEM_TRACE_ENTRIES; ++i) full[i] = 0x100u * (i + 1);
    KovaMemResetFile();
    printStackDetails(full, 0, 0, 0);
    EXPECT_EQ(kt::readLog(), expectedEntry("A:     0 L:     0 T:       0", 10));
}
