// Fuzz target for the texts of debug commands 4 (an address in hexadecimal)
// and 5 ("PP BBB" pool and block indices). Built for libFuzzer with clang
// (KOVAMEM_LIBFUZZER), and otherwise driven by a seeded random loop of
// texts made from the tokens those parsers care about. Besides memory
// safety (a text is read up to its NUL and no further, no overflow is
// undefined), every answer must agree with the manager:
//   command 4 names the value of the text's hexadecimal digits and says what
//     the lookup says of it;
//   command 5 either says nothing (a text shorter than three characters) or
//     gives one answer whose indices are consistent with the pool table.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "internal.h"

namespace {

std::string logPath() { return "/tmp/memmgr-" + std::to_string(getpid()) + ".log"; }

std::string readLog() {
    std::stringstream s;
    s << std::ifstream(logPath(), std::ios::binary).rdbuf();
    return s.str();
}

[[noreturn]] void fail(const std::string &text, const std::string &what) {
    fprintf(stderr, "fuzz_debug: text \"%s\": %s\n", text.c_str(), what.c_str());
    abort();
}

void *gBusy[2];

void setUp() {
    static bool ready = false;
    if (ready) return;
    ready = true;
    unlink(logPath().c_str());
    const int32_t cfg[MEM_POOL_SLOTS] = {3, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
    KovaMemInit(cfg);
    if (!KovaMemIsInitialized()) fail("", "init failed");
    KovaMemSetFileSize(0);  // never full
    gBusy[0] = KovaMemAlloc(8);
    gBusy[1] = KovaMemAlloc(32);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void checkPointer(const std::string &text) {
    KovaMemResetFile();
    KovaMemDebugModes(MEM_DEBUG_CHECK_POINTER, text.c_str());
    // The value: the last pointer-width hexadecimal digits after an
    // optional lower-case "0x".
    size_t at = text.compare(0, 2, "0x") == 0 ? 2 : 0;
    uintptr_t value = 0;
    for (int d; at < text.size() && (d = hexDigit(text[at])) >= 0; ++at) value = value * 16 + static_cast<uintptr_t>(d);
    MemFindResult r;
    const int found = memFindBlock(reinterpret_cast<void *>(value), &r);
    char want[128];
    snprintf(want, sizeof want, " DataPtr:0x%" PRIxPTR " %s\n", value,
             found == MEM_FIND_FOUND       ? "is in Busy List"
             : found == MEM_FIND_NOT_BUSY ? "is not in Busy List"
                                          : "is not Memory Manager Valid pointer");
    if (readLog() != want) fail(text, "command 4 wrote \"" + readLog() + "\", want \"" + want + "\"");
}

void checkIndex(const std::string &text) {
    KovaMemResetFile();
    KovaMemDebugModes(MEM_DEBUG_CHECK_INDEX, text.c_str());
    const std::string log = readLog();
    if (text.size() < 3) {
        if (!log.empty()) fail(text, "command 5 answered a short text");
        return;
    }
    unsigned p = 0, b = 0;
    const unsigned pools = memMgrDetails.poolCount;
    char tail;
    if (sscanf(log.c_str(), "\n Got details P:%u, B:%u%c", &p, &b, &tail) == 3) {
        if (p >= pools || b >= kovamem::memPool(p).blockCount) fail(text, "details for a block that does not exist: " + log);
    } else if (sscanf(log.c_str(), "\n Wrong Pool Index %u%c", &p, &tail) == 2) {
        if (p < pools || p > 65535) fail(text, "wrong pool index that is valid: " + log);
    } else if (sscanf(log.c_str(), "\n Wrong Block Index %u with Pool Index %u%c", &b, &p, &tail) == 3) {
        if (p >= pools || b < kovamem::memPool(p).blockCount || b > 65535) fail(text, "wrong block index that is valid: " + log);
    } else {
        fail(text, "command 5 wrote \"" + log + "\"");
    }
    if (tail != '\n' || log.back() != '\n' || std::count(log.begin(), log.end(), '\n') != 2)
        fail(text, "command 5 wrote more than one answer: " + log);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    setUp();
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.c_str();  // the commands read up to the first NUL
    checkPointer(text);
    checkIndex(text);
    return 0;
}

#ifndef KOVAMEM_LIBFUZZER
// The seeded random loop: texts of up to 40 pieces drawn from tokens that
// matter to the two parsers, random bytes among them.
//   fuzz_debug [inputs] [seed]
int main(int argc, char **argv) {
    const long inputs = argc > 1 ? atol(argv[1]) : 20000;
    const unsigned seed = argc > 2 ? static_cast<unsigned>(atol(argv[2])) : 1u;
    setUp();
    char busy[2][32];
    for (int i = 0; i < 2; ++i) snprintf(busy[i], sizeof busy[i], "%" PRIxPTR, reinterpret_cast<uintptr_t>(gBusy[i]));
    const std::string tokens[] = {"0",  "1",  "9",  "a",   "F",   "f",  "g",   "x",   "X",   "0x",  "0X", "-",
                                  "+",  " ",  "\t", ":",   "00",  "01", "02",  "03",  "12 ", "99",  "-1", "65535",
                                  "65536", "4294967296", "99999999999999999999", "ffffffffffffffffff", busy[0], busy[1]};
    std::mt19937 rng(seed);
    for (long n = 0; n < inputs; ++n) {
        std::string text;
        const int pieces = static_cast<int>(rng() % 41);
        for (int i = 0; i < pieces; ++i) {
            if (rng() % 5 == 0)
                text += static_cast<char>(1 + rng() % 255);
            else
                text += tokens[rng() % (sizeof tokens / sizeof tokens[0])];
        }
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(text.data()), text.size());
    }
    unlink(logPath().c_str());
    printf("fuzz_debug: %ld inputs checked, seed %u\n", inputs, seed);
    return 0;
}
#endif
