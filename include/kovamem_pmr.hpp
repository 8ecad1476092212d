// KovaMem for C++ containers (C++17, header-only over the C interface).
//
//   kovamem::memory_resource  a std::pmr::memory_resource
//   kovamem::allocator<T>     a standard allocator
//
// Both serve a request from the pools when the alignment is at most what
// every pool block has (KovaMemAlloc), from a pool whose blocks all have a
// larger alignment when one exists, and from the C heap with the alignment
// honoured otherwise (KovaMemAllocAligned; counted as a C-heap allocation).
// Requests of 4 GiB or more are refused (std::bad_alloc). They never return
// NULL: a failure throws std::bad_alloc, and an allocator<T> request of n
// objects whose size overflows throws std::bad_array_new_length. Every
// kovamem::memory_resource is interchangeable with every other: blocks are
// released with KovaMemFree, whichever served them.
#ifndef KOVAMEM_PMR_HPP
#define KOVAMEM_PMR_HPP

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <new>

#include "kovamem.h"

namespace kovamem {

namespace detail {

inline void *allocate(std::size_t bytes, std::size_t alignment) {
    if (bytes == 0) bytes = 1;  // a zero-byte request is still a distinct block
    if (bytes > std::numeric_limits<uint32_t>::max() || alignment > std::numeric_limits<uint32_t>::max())
        throw std::bad_alloc();
    void *p = KovaMemAllocAligned(static_cast<uint32_t>(bytes), static_cast<uint32_t>(alignment));
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

inline void deallocate(void *p) noexcept { (void)KovaMemFree(p); }

}  // namespace detail

class memory_resource : public std::pmr::memory_resource {
protected:
    void *do_allocate(std::size_t bytes, std::size_t alignment) override { return detail::allocate(bytes, alignment); }
    void do_deallocate(void *p, std::size_t, std::size_t) override { detail::deallocate(p); }
    bool do_is_equal(const std::pmr::memory_resource &other) const noexcept override {
        if (this == &other) return true;
#if defined(__cpp_rtti) || defined(__GXX_RTTI)
        return dynamic_cast<const memory_resource *>(&other) != nullptr;
#else
        return false;  // without RTTI another resource cannot be recognised
#endif
    }
};

// The process-wide instance, for std::pmr::set_default_resource and the like.
inline memory_resource *resource() noexcept {
    static memory_resource instance;
    return &instance;
}

template <class T>
struct allocator {
    using value_type = T;
    allocator() noexcept = default;
    template <class U>
    allocator(const allocator<U> &) noexcept {}

    T *allocate(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
        return static_cast<T *>(detail::allocate(n * sizeof(T), alignof(T)));
    }
    void deallocate(T *p, std::size_t) noexcept { detail::deallocate(p); }

    template <class U>
    bool operator==(const allocator<U> &) const noexcept {
        return true;
    }
    template <class U>
    bool operator!=(const allocator<U> &) const noexcept {
        return false;
    }
};

}  // namespace kovamem

#endif  // KOVAMEM_PMR_HPP
