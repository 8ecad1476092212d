/* What real programs do to an allocator they do not know is there, one
 * mode per run; the output is the same whatever serves them:
 *
 *   fds             prints the first descriptor an open() gets
 *   closeall        closes every descriptor from 3 up, then allocates from
 *                   several call sites and keeps the blocks to the end
 *   sigfree N       a timer's handler releases (and reallocates) N blocks
 *                   one at a time while the main loop allocates
 *   dlopen LIB      allocates, loads LIB, allocates again
 *   dlloop LIB N    N rounds of load, allocate and release, unload; then,
 *                   on the pools only, one byte written past a block
 *   faults N        three faults, each released: an overrun, an underrun,
 *                   and a block released twice, N times in a loop
 *   forkfaults      a block released twice, three times; then a child of
 *                   fork releases one twice too, and both end
 *   sockets         the sockets it holds (and how many close on exec)
 *                   before and after one block released twice
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

static void *keep[64];

static int fds(void) {
    int fd = open("/dev/null", O_RDONLY);
    printf("first descriptor %d\n", fd);
    return 0;
}

static void printSockets(const char *when) {
    int n = 0, cloexec = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        ++n;
        cloexec += (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
    }
    printf("%s: %d sockets, %d close on exec\n", when, n, cloexec);
}

static void releaseTwice(void *p);

static int sockets(void) {
    free(malloc(24));
    printSockets("before");
    releaseTwice(malloc(64));
    printSockets("after");
    return 0;
}

/* Two call sites of their own in every chain: no tail call, no inlining,
 * and the compiler cannot see that their blocks come from malloc. */
static __attribute__((noinline)) void *siteA(size_t n) {
    void *p = malloc(n);
    __asm__ volatile("" : : "r"(p) : "memory");
    return p;
}
static __attribute__((noinline)) void *siteB(size_t n) {
    void *p = calloc(1, n);
    __asm__ volatile("" : : "r"(p) : "memory");
    return p;
}

/* Blocks damaged and never released: one overrun, one underrun (behind a
 * first block of its size, which has no guard in front of it). */
static int damage(void) {
    unsigned char *over = siteA(24), *first = siteB(40), *under = siteB(40);
    over[24] ^= 0x80;
    under[-1] ^= 0x80;
    keep[0] = over;
    keep[1] = first;
    keep[2] = under;
    puts("damaged");
    return 0;
}

__attribute__((noinline)) static void releaseTwice(void *p) {
    void *volatile again = p; /* the compiler's own check would refuse the second release */
    free(p);
    free(again);
}

static int faults(int n) {
    unsigned char *over = siteA(24), *first = siteB(40), *under = siteB(40);
    ((volatile unsigned char *)over)[24] ^= 0x80; /* stores the release would make dead */
    ((volatile unsigned char *)under)[-1] ^= 0x80;
    free(over);
    free(under);
    free(first);
    for (int i = 0; i < n; ++i) releaseTwice(siteA(64));
    printf("%d faults\n", n + 2);
    return 0;
}

static int forkfaults(void) {
    for (int i = 0; i < 3; ++i) releaseTwice(siteA(64));
    fflush(stdout);
    const pid_t child = fork();
    if (child == 0) {
        releaseTwice(siteA(64));
        exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    printf("child ended %d\n", status);
    return 0;
}

static int closeall(void) {
    long max = sysconf(_SC_OPEN_MAX);
    if (max < 0 || max > 65536) max = 65536;
    for (long fd = 3; fd < max; ++fd) close((int)fd);
    int k = 0;
    for (int round = 0; round < 200; ++round) {
        free(siteA(24 + round % 40));
        void *p = siteB(100);
        if (round % 10 == 0 && k < 64) keep[k++] = p; else free(p);
    }
    for (int i = 0; i < 16 && k < 64; ++i) keep[k++] = siteA(300);
    printf("allocated after closing every descriptor: %d kept\n", k);
    return 0;
}

enum { kBlocks = 20000 };
static void *blocks[kBlocks];
static volatile int next;
static int count;

static void onAlarm(int s) {
    (void)s;
    if (next >= count) return;
    if (next % 2 == 0) {
        free(blocks[next++]);
    } else {
        void *q = realloc(blocks[next], 40);  /* may be refused: the block is then left as it was */
        free(q != NULL ? q : blocks[next]);
        ++next;
    }
}

static int sigfree(int n) {
    count = n < kBlocks ? n : kBlocks;
    for (int i = 0; i < count; ++i) blocks[i] = malloc(24);
    signal(SIGALRM, onAlarm);
    struct itimerval it = {{0, 100}, {0, 100}};
    setitimer(ITIMER_REAL, &it, NULL);
    unsigned long rounds = 0;
    while (next < count) {
        free(malloc(100));
        ++rounds;
    }
    struct itimerval off = {{0, 0}, {0, 0}};
    setitimer(ITIMER_REAL, &off, NULL);
    printf("survived\n");
    return rounds > 0 ? 0 : 1;
}

static int loads(const char *lib) {
    for (int i = 0; i < 100; ++i) free(siteA(32));
    void *h = dlopen(lib, RTLD_NOW);
    if (h == NULL) {
        printf("dlopen: %s\n", dlerror());
        return 1;
    }
    for (int i = 0; i < 100; ++i) free(siteA(32));
    printf("loaded\n");
    return 0;
}

static int dlloop(const char *lib, int rounds) {
    for (int i = 0; i < rounds; ++i) {
        void *h = dlopen(lib, RTLD_NOW);
        if (h == NULL) {
            printf("dlopen: %s\n", dlerror());
            return 1;
        }
        free(siteA(32));
        dlclose(h);
    }
    printf("%d rounds\n", rounds);
    if (dlsym(RTLD_DEFAULT, "KovaMemGetStats") != NULL) {
        char *p = siteA(24);
        ((volatile char *)p)[24] = 'x'; /* the guard word behind a pool block's 24 bytes */
        free(p);
    }
    return 0;
}

int main(int argc, char **argv) {
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "fds") == 0) return fds();
    if (strcmp(mode, "sockets") == 0) return sockets();
    if (strcmp(mode, "forkfaults") == 0) return forkfaults();
    if (strcmp(mode, "damage") == 0) return damage();
    if (strcmp(mode, "closeall") == 0) return closeall();
    if (strcmp(mode, "sigfree") == 0 && argc > 2) return sigfree(atoi(argv[2]));
    if (strcmp(mode, "dlopen") == 0 && argc > 2) return loads(argv[2]);
    if (strcmp(mode, "dlloop") == 0 && argc > 3) return dlloop(argv[2], atoi(argv[3]));
    if (strcmp(mode, "faults") == 0 && argc > 2) return faults(atoi(argv[2]));
    fprintf(stderr, "usage: hostile fds|closeall|sigfree N|dlopen LIB|dlloop LIB N|faults N\n");
    return 2;
}
