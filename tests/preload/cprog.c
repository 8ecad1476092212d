/* A C program that knows nothing of KovaMem: words built with malloc,
 * strdup and realloc, sorted with qsort, counted in a table that grows,
 * then released. Prints what it found; the output is the same whatever
 * allocator serves it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int byText(const void *a, const void *b) { return strcmp(*(char *const *)a, *(char *const *)b); }

int main(void) {
    size_t cap = 4, n = 0;
    char **words = malloc(cap * sizeof *words);
    unsigned seed = 12345;
    for (int i = 0; i < 20000; ++i) {
        char buf[32];
        seed = seed * 1103515245u + 12345u;
        snprintf(buf, sizeof buf, "w%u", (seed >> 16) % 3000);
        if (n == cap) {
            cap *= 2;
            words = realloc(words, cap * sizeof *words);
        }
        words[n++] = strdup(buf);
    }
    qsort(words, n, sizeof *words, byText);
    size_t distinct = 0;
    unsigned long sum = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i == 0 || strcmp(words[i], words[i - 1]) != 0) ++distinct;
        sum = sum * 31 + (unsigned char)words[i][1];
    }
    char *joined = calloc(1, 1);
    size_t len = 0;
    for (size_t i = 0; i < n; i += 1000) {
        size_t add = strlen(words[i]) + 1;
        joined = realloc(joined, len + add + 1);
        memcpy(joined + len, words[i], add - 1);
        joined[len + add - 1] = ' ';
        len += add;
        joined[len] = '\0';
    }
    printf("%zu words, %zu distinct, first %s, last %s, sum %lu\n%s\n", n, distinct, words[0], words[n - 1], sum,
           joined);
    for (size_t i = 0; i < n; ++i) free(words[i]);
    free(words);
    free(joined);
    return 0;
}
