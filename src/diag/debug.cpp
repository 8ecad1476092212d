// Debug commands: record a debug level, tell whether an address is a live
// pool block, check a pool and block index pair. Every answer goes to the
// log. A NULL text, and a text too short to hold a block index, is refused
// without an entry.
#include <stdlib.h>
#include <string.h>

#include "../internal.h"

using kovamem::kDashLine;

namespace {

constexpr const char kPtrNotInitBanner[] =
    "---------------------- Memory Manager Not Initialized -------------------------\n";
// "12 ": two digits of pool index and one separator, then the block index.
constexpr size_t kBlockIndexOffset = 3;

void banner(const char *title) {
    memLogPrint(kDashLine);
    memLogPrint("%s", title);
    memLogPrint(kDashLine);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The C library's atoi without its undefined behaviour for values out of
// the int range: strtol saturates, and the cut to int is by value.
int parseInt(const char *text) { return static_cast<int>(strtol(text, nullptr, 10)); }

void checkPointer(const char *text) {
    if (memMgrDetails.initialized == 0) {
        banner(kPtrNotInitBanner);
        return;
    }
    const uintptr_t value = memParseHexAddr(text);
    MemFindResult found;
    int held;
    const int result = kovamem::memLockAndFind(reinterpret_cast<const void *>(value), &found, &held);
    kovamem::memUnlockFound(held);
    if (result == MEM_FIND_NOT_MANAGED)
        memLogPrint(" DataPtr:0x%" PRIxPTR " is not Memory Manager Valid pointer\n", value);
    else if (result == MEM_FIND_NOT_BUSY)
        memLogPrint(" DataPtr:0x%" PRIxPTR " is not in Busy List\n", value);
    else
        memLogPrint(" DataPtr:0x%" PRIxPTR " is in Busy List\n", value);
}

void checkIndex(const char *text) {
    if (memMgrDetails.initialized == 0) {
        banner(kovamem::kNotInitBanner);
        return;
    }
    if (strlen(text) < kBlockIndexOffset) return;
    const uint16_t pool = static_cast<uint16_t>(parseInt(text));
    const uint16_t block = static_cast<uint16_t>(parseInt(text + kBlockIndexOffset));
    if (pool >= kovamem::memLoad(memMgrDetails.poolCount)) {  // raised atomically by growth
        memLogPrint("\n Wrong Pool Index %d\n", pool);
        return;
    }
    if (block >= kovamem::memPool(static_cast<unsigned>(pool)).blockCount) {
        memLogPrint("\n Wrong Block Index %d with Pool Index %d\n", block, pool);
        return;
    }
    memLogPrint("\n Got details P:%d, B:%d\n", pool, block);
}

}  // namespace

extern "C" {

uint8_t memDebugMode = 3;

// Hexadecimal, pointer-wide, wrapping: an optional lower-case "0x", then
// digits until the first other character. Of more digits than a pointer
// holds only the last ones count.
uintptr_t memParseHexAddr(const char *text) {
    if (text[0] == '0' && text[1] == 'x') text += 2;
    uintptr_t value = 0;
    for (int d; (d = hexDigit(*text)) >= 0; ++text) value = value * 16u + static_cast<uintptr_t>(d);
    return value;
}

void KovaMemDebugModes(uint32_t command, const char *arg) {
    if (command == MEM_DEBUG_SET_MODE) {
        const uint8_t level = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(arg));
        kovamem::memStore(memDebugMode, level);
        memLogPrint("\n Memory Manager Debug Mode is set as %d\n", level);
        return;
    }
    if (arg == nullptr) return;
    if (command == MEM_DEBUG_CHECK_POINTER)
        checkPointer(arg);
    else if (command == MEM_DEBUG_CHECK_INDEX)
        checkIndex(arg);
}

}  // extern "C"
