// A host written in C++: the same header, included from C++.
#include <kovamem.h>

#include <cstdio>

int main() {
    int32_t cfg[MEM_POOL_SLOTS] = {};
    cfg[0] = 2;
    KovaMemInit(cfg);
    if (!KovaMemIsInitialized()) return 1;
    void *p = KovaMemCalloc(2, 4);
    if (p == nullptr || KovaMemFree(p) != 1) return 2;
    std::puts("c++ consumer ok");
    return 0;
}
