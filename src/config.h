// Build options, turned into compile-time constants in this one place. The
// build system passes KOVAMEM_CLASSIC and KOVAMEM_SLOT_ALIGN; nothing else in
// the code tests a build option with the preprocessor.
//
// config_classic: the described behaviour byte for byte: slots of S + 4
//   bytes, a reallocation inside its block keeps its first size and guard,
//   a pool's range ends at its last slot's data address, NULL and C-heap
//   blocks are not reallocated, calloc's product wraps.
// config_slot_align: the default build's slot alignment (8 or 16; by
//   default the target's alignof(max_align_t)): every data address is a
//   multiple of it.
// config_valgrind, config_asan: pool blocks are described to memcheck (the
//   header was found at build time) / to AddressSanitizer (an ASan build);
//   see core/shadow.h.
// config_tsan: the library itself is built with ThreadSanitizer, whether by
//   the build's sanitizer option or by flags of the caller's own.
// config_libunwind: libunwind was found at build time for host traces.
#ifndef KOVAMEM_CONFIG_H
#define KOVAMEM_CONFIG_H

#include <stddef.h>
#include <stdint.h>

#ifndef KOVAMEM_CLASSIC
#define KOVAMEM_CLASSIC 0
#endif
// By default, the alignment the C library's malloc gives and compilers
// assume of it: 16 on x86_64 and aarch64, 8 on 32-bit MIPS.
#ifndef KOVAMEM_SLOT_ALIGN
#define KOVAMEM_SLOT_ALIGN alignof(max_align_t)
#endif
// Set by the build when <valgrind/memcheck.h> is found.
#ifndef KOVAMEM_VALGRIND
#define KOVAMEM_VALGRIND 0
#endif
// Set by the compiler in an AddressSanitizer build.
#if defined(__SANITIZE_ADDRESS__)
#define KOVAMEM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KOVAMEM_ASAN 1
#endif
#endif
#ifndef KOVAMEM_ASAN
#define KOVAMEM_ASAN 0
#endif
// Set by the compiler in a ThreadSanitizer build.
#if defined(__SANITIZE_THREAD__)
#define KOVAMEM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KOVAMEM_TSAN 1
#endif
#endif
#ifndef KOVAMEM_TSAN
#define KOVAMEM_TSAN 0
#endif
#ifndef KOVAMEM_OWNED_LOCKS
#define KOVAMEM_OWNED_LOCKS 1
#endif
// Set by the build when libunwind's header and library are found.
#ifndef KOVAMEM_LIBUNWIND
#define KOVAMEM_LIBUNWIND 0
#endif

namespace kovamem {

constexpr bool config_classic = KOVAMEM_CLASSIC != 0;
constexpr uint32_t config_slot_align = KOVAMEM_SLOT_ALIGN;
static_assert(config_slot_align == 8 || config_slot_align == 16, "KOVAMEM_SLOT_ALIGN is 8 or 16");
// Pool blocks described to Valgrind's memcheck / to AddressSanitizer.
constexpr bool config_valgrind = KOVAMEM_VALGRIND != 0;
constexpr bool config_asan = KOVAMEM_ASAN != 0;
constexpr bool config_tsan = KOVAMEM_TSAN != 0;
constexpr bool config_libunwind = KOVAMEM_LIBUNWIND != 0;
// Default build: a pool lock is owned by the first thread that takes it,
// which takes it without atomic instructions until another thread needs it
// (core/locks.h, PoolLock). Off: every pool lock is a mutex.
constexpr bool config_owned_locks = KOVAMEM_OWNED_LOCKS != 0 && KOVAMEM_CLASSIC == 0;
// Default build: each thread hands out and takes back the blocks of the
// pools of 64 blocks or more, built or grown, through magazines of its own,
// taking a pool's lock once per magazine (core/magazine.h). They need the thread
// slots of the owned locks.
constexpr bool config_magazines = config_owned_locks;
// Default build on a 64-bit host: a block's header, allocation serial and
// state share one 64-byte line of their own (core/layout.h), so that two
// threads whose blocks are neighbours never write one line of metadata
// between them: 64 bytes a block instead of 49. On a 32-bit target (24-byte
// headers) they stay in three packed arrays, 33 bytes a block, where a line
// each would nearly double them.
constexpr bool config_meta_lines = KOVAMEM_CLASSIC == 0 && sizeof(void *) >= 8;
// Default build: a guard word in front of every block but a pool's first,
// in the last word of the slot before it (core/layout.h, slot layout), checked
// at the release and at every report.
constexpr bool config_front_guard = KOVAMEM_CLASSIC == 0;

}  // namespace kovamem

#endif  // KOVAMEM_CONFIG_H
