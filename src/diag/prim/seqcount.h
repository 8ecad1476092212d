// Words read and written under a sequence count (the frame cache, the code
// map): a reader takes the count, reads the words, and takes the count
// again; the words are good when both counts are the same and even.
//
// Outside ThreadSanitizer the words are plain relaxed accesses between one
// fence and the counts, which keeps a reader to one barrier. ThreadSanitizer
// does not model fences, so there each word is an acquire load or a release
// store instead; the orderings are the same.
#ifndef KOVAMEM_SEQCOUNT_H
#define KOVAMEM_SEQCOUNT_H

#include "../../config.h"

namespace kovamem {

constexpr int kSeqLoadOrder = config_tsan ? __ATOMIC_ACQUIRE : __ATOMIC_RELAXED;
constexpr int kSeqStoreOrder = config_tsan ? __ATOMIC_RELEASE : __ATOMIC_RELAXED;

template <class T> inline __attribute__((always_inline)) T seqLoad(const T *p) { return __atomic_load_n(p, kSeqLoadOrder); }
template <class T> inline __attribute__((always_inline)) void seqStore(T *p, T v) { __atomic_store_n(p, v, kSeqStoreOrder); }
// Between the words read and the second count.
inline __attribute__((always_inline)) void seqReadFence() {
    if (!config_tsan) __atomic_thread_fence(__ATOMIC_ACQUIRE);
}
// Between the odd count and the words written.
inline __attribute__((always_inline)) void seqWriteFence() {
    if (!config_tsan) __atomic_thread_fence(__ATOMIC_RELEASE);
}

}  // namespace kovamem

#endif  // KOVAMEM_SEQCOUNT_H
