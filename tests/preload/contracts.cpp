// A program that knows nothing of KovaMem: it checks the C library's
// allocation contracts, one case per line, whatever serves them. Run under
// the preload library it also asks the library (found with dlsym, if it is
// there) where the blocks came from. Prints "ok: ..." or "FAILED: ..." per
// case and exits 1 when any failed.
#include <dlfcn.h>
#include <errno.h>
#include <malloc.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

static int failures;

static void check(bool ok, const char *what) {
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (!ok) ++failures;
}

static bool aligned(const void *p, size_t a) { return reinterpret_cast<uintptr_t>(p) % a == 0; }

// The library's pool allocation count, or -1 when not preloaded.
static long long poolAllocations() {
    struct Stats {
        uint32_t size, version, poolCount, corrupt;
        uint64_t memMallocCount;
        char rest[1024];
    } s;
    auto get = reinterpret_cast<int (*)(void *)>(dlsym(RTLD_DEFAULT, "KovaMemGetStats"));
    if (get == nullptr) return -1;
    memset(&s, 0, sizeof s);
    s.size = sizeof s;
    return get(&s) == 0 ? static_cast<long long>(s.memMallocCount) : -1;
}

int main() {
    const bool preloaded = poolAllocations() >= 0;
    printf("preloaded: %s\n", preloaded ? "yes" : "no");

    // malloc: every block aligned as compilers assume, zero bytes a distinct block.
    bool allAligned = true;
    std::vector<void *> blocks;
    for (size_t n : {1, 7, 8, 13, 16, 24, 100, 1000, 5000, 70000}) {
        void *p = malloc(n);
        allAligned = allAligned && p != nullptr && aligned(p, alignof(std::max_align_t));
        memset(p, 0x5A, n);
        blocks.push_back(p);
    }
    check(allAligned, "malloc: every block aligned to alignof(max_align_t)");
    void *z1 = malloc(0), *z2 = malloc(0);
    check(z1 != nullptr && z2 != nullptr && z1 != z2, "malloc(0): distinct blocks");
    free(z1);
    free(z2);
    const long long before = poolAllocations();
    void *small = malloc(100);
    check(!preloaded || poolAllocations() == before + 1, "malloc(100): served by a pool when preloaded");
    check(malloc_usable_size(small) >= 100, "malloc_usable_size: at least the request");
    if (preloaded) check(malloc_usable_size(small) == 100, "malloc_usable_size of a pool block: the requested size");
    free(small);
    for (void *p : blocks) free(p);

    // free keeps errno, free(NULL) does nothing.
    errno = 1234;
    free(malloc(40));
    free(nullptr);
    check(errno == 1234, "free: errno left as it was");

    // calloc: zeroed, overflow refused with ENOMEM.
    unsigned char *c = static_cast<unsigned char *>(malloc(64));
    memset(c, 0xFF, 64);
    free(c);
    c = static_cast<unsigned char *>(calloc(8, 8));
    bool zero = c != nullptr;
    for (int i = 0; zero && i < 64; ++i) zero = c[i] == 0;
    check(zero, "calloc: zeroed, also a reused block");
    free(c);
    errno = 0;
    static volatile size_t halfMax = SIZE_MAX / 2;  // a count the compiler does not see overflow
    check(calloc(halfMax, 3) == nullptr && errno == ENOMEM, "calloc: overflow gives NULL and ENOMEM");

    // realloc: grows and keeps the bytes, shrinks, NULL and 0 as glibc.
    char *r = static_cast<char *>(realloc(nullptr, 10));
    memcpy(r, "abcdefghi", 10);
    r = static_cast<char *>(realloc(r, 20000));
    check(r != nullptr && strcmp(r, "abcdefghi") == 0, "realloc: a move keeps the bytes");
    r = static_cast<char *>(realloc(r, 5));
    check(r != nullptr && memcmp(r, "abcde", 5) == 0, "realloc: a shrink keeps the bytes");
    errno = 0;
    check(realloc(r, 0) == nullptr, "realloc(p, 0): releases p and returns NULL");
    if (preloaded) {  // a mistake the C library would abort on: refused, and named in the log
        void *volatile gone = malloc(24);
        free(gone);
        errno = 0;
        check(realloc(gone, 48) == nullptr && errno == ENOMEM, "realloc of a released pool block: NULL and ENOMEM");
    }
    errno = 0;
    void *ra = reallocarray(nullptr, halfMax, 3);
    check(ra == nullptr && errno == ENOMEM, "reallocarray: overflow gives NULL and ENOMEM");
    ra = reallocarray(nullptr, 10, 10);
    check(ra != nullptr, "reallocarray: 10 x 10");
    free(ra);

    // Aligned requests.
    void *out = reinterpret_cast<void *>(0x1234);
    check(posix_memalign(&out, 24, 10) == EINVAL && out == reinterpret_cast<void *>(0x1234),
          "posix_memalign: EINVAL for 24, output untouched");
    check(posix_memalign(&out, sizeof(void *) / 2, 10) == EINVAL, "posix_memalign: EINVAL below sizeof(void *)");
    bool al = true;
    for (size_t a : {sizeof(void *), size_t{16}, size_t{64}, size_t{4096}}) {
        void *p = nullptr;
        al = al && posix_memalign(&p, a, 100) == 0 && aligned(p, a);
        free(p);
    }
    check(al, "posix_memalign: 8 to 4096");
#if SIZE_MAX > 0xFFFFFFFFu
    void *huge = nullptr;
    const int hugeResult = posix_memalign(&huge, size_t{1} << 32, 16);
    check(hugeResult == 0 && aligned(huge, size_t{1} << 32), "posix_memalign(2^32): served as the C library serves it");
    free(huge);
#endif
    void *a24 = aligned_alloc(24, 48);  // glibc before 2.38, as memalign: rounded up to 32
    check(a24 != nullptr && aligned(a24, 32), "aligned_alloc(24): rounded up to 32");
    free(a24);
    void *aa = aligned_alloc(256, 512);
    check(aa != nullptr && aligned(aa, 256), "aligned_alloc(256)");
    free(aa);
    void *ma = memalign(48, 10);  // rounded up to 64
    check(ma != nullptr && aligned(ma, 64), "memalign(48): rounded up to 64");
    free(ma);
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *va = valloc(10), *pa = pvalloc(10);
    check(va != nullptr && aligned(va, page) && pa != nullptr && aligned(pa, page), "valloc, pvalloc: page aligned");
    check(malloc_usable_size(pa) >= page, "pvalloc: a whole page");
    free(va);
    free(pa);

    // Beyond 32 bits: never truncated (the request may fail; it must not be served small).
    if (sizeof(size_t) > 4) {
        const size_t huge = (size_t{1} << (sizeof(size_t) > 4 ? 32 : 0)) + 64;
        unsigned char *h = static_cast<unsigned char *>(malloc(huge));
        if (h != nullptr) {
            h[huge - 1] = 1;
            check(malloc_usable_size(h) >= huge, "malloc beyond 4 GiB: served whole");
            free(h);
        } else {
            check(errno == ENOMEM, "malloc beyond 4 GiB: refused with ENOMEM");
        }
    }

    // C++: new and delete, containers.
    std::map<std::string, std::vector<int>> m;
    for (int i = 0; i < 200; ++i) m["key" + std::to_string(i)].assign(static_cast<size_t>(i % 17), i);
    long sum = 0;
    for (auto &kv : m)
        for (int v : kv.second) sum += v;
    check(sum == 158852, "C++ containers");
    auto u = std::make_unique<int[]>(1000);
    check(u[999] == 0, "new int[1000]()");
    printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
