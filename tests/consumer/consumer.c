/* A host written in C: one pool, one allocation, one release. */
#include <kovamem.h>
#include <stdio.h>
#include <string.h>

int main(void) {
    int32_t cfg[MEM_POOL_SLOTS] = {0};
    cfg[2] = 4; /* four 32-byte blocks */
    KovaMemInit(cfg);
    if (!KovaMemIsInitialized()) return 1;
    char *p = KovaMemAlloc(20);
    if (p == NULL) return 2;
    strcpy(p, "hello from C");
    if (KovaMemFree(p) != 1) return 3;
    if (memPoolData[0].freeCount != 4) return 4;
    puts("c consumer ok");
    return 0;
}
