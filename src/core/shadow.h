// Pool blocks as Valgrind's memcheck and AddressSanitizer see them.
//
// To either tool a pool area is one block from the C heap; these calls tell
// them what the manager knows. A busy block is addressable for exactly its
// requested size (memcheck: undefined until written), and everything else
// in an area (the guard and whatever lies behind it, free and quarantined
// blocks) is not. memcheck gets malloc-like and free-like blocks, so its
// reports name the stacks of the allocation and of the release; ASan gets
// its region poisoning (its reports then say "use-after-poison").
//
// The manager's own accesses to guard words go through memPutGuard and
// memGuardWord, which neither tool checks. Outside Valgrind each request is
// a few instructions; without the header, or outside an ASan build, the
// calls compile to nothing. config_valgrind and config_asan (config.h) say
// which tool a build describes its blocks to.
#ifndef KOVAMEM_SHADOW_H
#define KOVAMEM_SHADOW_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "../config.h"
#include "kovamem.h"

#if KOVAMEM_VALGRIND
#include <valgrind/memcheck.h>
#endif
#if KOVAMEM_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace kovamem {

// 1 when the process runs under Valgrind, learned once at initialisation
// (memShadowLearn): outside Valgrind each call below is one well-predicted
// test of this flag.
extern bool memUnderValgrind;

inline void memShadowLearn() {
#if KOVAMEM_VALGRIND
    memUnderValgrind = RUNNING_ON_VALGRIND != 0;
#endif
}

#if KOVAMEM_ASAN
#define MEM_NO_ASAN __attribute__((no_sanitize_address))
#else
#define MEM_NO_ASAN
#endif
#if KOVAMEM_TSAN
#define MEM_NO_TSAN __attribute__((no_sanitize_thread))
#else
#define MEM_NO_TSAN
#endif

// Under Valgrind the areas are mapped rather than taken from the C heap:
// memcheck describes an address by a block of the C heap before any freed
// block, so inside a calloc'd area every report about a released pool
// block would name the area instead of the block.
inline bool memShadowMapsAreas() { return memUnderValgrind; }

// Init: the whole area unaddressable.
inline void memShadowArea(uint8_t *area, size_t bytes) {
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) (void)VALGRIND_MAKE_MEM_NOACCESS(area, bytes);
#endif
#if KOVAMEM_ASAN
    ASAN_POISON_MEMORY_REGION(area, bytes);
#endif
    (void)area;
    (void)bytes;
}

// A block handed out for size bytes.
inline void memShadowTake(uint8_t *data, uint32_t size) {
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_MALLOCLIKE_BLOCK(data, size, 0, 0);
#endif
#if KOVAMEM_ASAN
    ASAN_UNPOISON_MEMORY_REGION(data, size);
#endif
    (void)data;
    (void)size;
}

// A busy block whose size changes in place from old to size bytes; stride
// is its slot's length.
inline void memShadowResize(uint8_t *data, uint32_t old, uint32_t size, uint32_t stride) {
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_RESIZEINPLACE_BLOCK(data, old, size, 0);
#endif
#if KOVAMEM_ASAN
    ASAN_POISON_MEMORY_REGION(data, stride);
    ASAN_UNPOISON_MEMORY_REGION(data, size);
#endif
    (void)data;
    (void)old;
    (void)size;
    (void)stride;
}

// A busy block released, to its free list or to the quarantine.
inline void memShadowGive(uint8_t *data, uint32_t stride) {
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_FREELIKE_BLOCK(data, 0);
#endif
#if KOVAMEM_ASAN
    ASAN_POISON_MEMORY_REGION(data, stride);
#endif
    (void)data;
    (void)stride;
}

// A release of a pool address that is not a busy block (a second release,
// an address inside a block): reported by the tool as the caller's fault,
// unless tests that make such releases on purpose have switched it off.
void memShadowBadRelease(const void *ptr);

// The guard word, read and written past both tools' checks. In an ASan
// build byte by byte (a call of memcpy would meet ASan's interceptor),
// otherwise as one word.
MEM_NO_ASAN inline void memPutGuard(uint8_t *at) {
    const uint32_t guard = MEM_GUARD_WORD;
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, sizeof guard);
#endif
#if KOVAMEM_ASAN
    uint8_t b[sizeof guard];
    memcpy(b, &guard, sizeof guard);
    for (size_t i = 0; i < sizeof guard; ++i) reinterpret_cast<volatile uint8_t *>(at)[i] = b[i];
#else
    memcpy(at, &guard, sizeof guard);
#endif
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, sizeof guard);
#endif
}

MEM_NO_ASAN inline uint32_t memGuardWord(const uint8_t *at) {
    uint32_t w;
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, sizeof w);
#endif
#if KOVAMEM_ASAN
    uint8_t b[sizeof w];
    for (size_t i = 0; i < sizeof w; ++i) b[i] = reinterpret_cast<const volatile uint8_t *>(at)[i];
    memcpy(&w, b, sizeof w);
#else
    memcpy(&w, at, sizeof w);
#endif
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, sizeof w);
#endif
    return w;
}

// The guard word of a busy block, which its owner may overrun at any moment
// (the very fault a report looks for): read as memGuardWord reads it, byte
// by byte through volatile loads, and outside ThreadSanitizer's view, which
// would otherwise report the host's own overrun as a race with the report.
MEM_NO_ASAN MEM_NO_TSAN inline uint32_t memBusyGuardWord(const uint8_t *at) {
    uint32_t w;
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, sizeof w);
#endif
    uint8_t b[sizeof w];
    for (size_t i = 0; i < sizeof w; ++i) b[i] = reinterpret_cast<const volatile uint8_t *>(at)[i];
    memcpy(&w, b, sizeof w);
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(at, sizeof w);
#endif
    return w;
}

// The byte a released block is filled with while the write-after-release
// check is on, and the fill and its check, past both tools' checks like the
// guard word: the block is no longer (or not yet) the caller's. In an ASan
// build byte by byte through volatile accesses, which its interceptors do
// not see; otherwise a memset and a word-wise scan.
constexpr uint8_t kFreedByte = 0xDD;

MEM_NO_ASAN inline void memFillFreed(uint8_t *data, uint32_t n) {
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(data, n);
#endif
#if KOVAMEM_ASAN
    for (uint32_t i = 0; i < n; ++i) reinterpret_cast<volatile uint8_t *>(data)[i] = kFreedByte;
#else
    memset(data, kFreedByte, n);
#endif
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(data, n);
#endif
}

// The offset of the first of n bytes at data that is not kFreedByte, or -1.
MEM_NO_ASAN inline int32_t memFreedChangedAt(const uint8_t *data, uint32_t n) {
    int32_t at = -1;
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_DISABLE_ADDR_ERROR_REPORTING_IN_RANGE(data, n);
#endif
    uint32_t i = 0;
#if !KOVAMEM_ASAN
    const uint64_t pattern = 0x0101010101010101ull * kFreedByte;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        memcpy(&w, data + i, sizeof w);
        if (w != pattern) break;
    }
#endif
    for (; i < n; ++i) {
        if (reinterpret_cast<const volatile uint8_t *>(data)[i] != kFreedByte) {
            at = static_cast<int32_t>(i);
            break;
        }
    }
#if KOVAMEM_VALGRIND
    if (memUnderValgrind) VALGRIND_ENABLE_ADDR_ERROR_REPORTING_IN_RANGE(data, n);
#endif
    return at;
}

}  // namespace kovamem

#endif  // KOVAMEM_SHADOW_H
