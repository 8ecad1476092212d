// The few definitions every part of the library shares: inlining and
// format attributes, the word size, and relaxed atomic access.
#ifndef KOVAMEM_BASE_H
#define KOVAMEM_BASE_H

#include <inttypes.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/types.h>

#include "config.h"
#include "core/shadow.h"
#include "kovamem.h"

#define MEM_ALWAYS_INLINE inline __attribute__((always_inline))
#define MEM_PRINTF(f, a) __attribute__((format(printf, f, a)))

namespace kovamem {

constexpr bool config_word32 = sizeof(void *) == 4;

// Relaxed atomic access to words that several threads read and write
// without a lock; the values are flags and settings, never used to publish
// other data.
template <class T> MEM_ALWAYS_INLINE T memLoad(const T &v) { return __atomic_load_n(&v, __ATOMIC_RELAXED); }
template <class T> MEM_ALWAYS_INLINE void memStore(T &v, T x) { __atomic_store_n(&v, x, __ATOMIC_RELAXED); }

}  // namespace kovamem

#endif  // KOVAMEM_BASE_H
