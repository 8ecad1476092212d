/* Two threads that share the heap's size classes and release each other's
 * blocks, as worker threads that pass messages do: each keeps 512 blocks of
 * 16 to 511 bytes live, replaces one at random per step, and hands a quarter
 * of the blocks it replaces to the other thread to release (in batches of
 * 64 through a mutex-guarded inbox, so the hand-over costs the same plain
 * and preloaded). Its wall time plain and under the preload library is the
 * ratio bench/preload.sh prints.
 *   kovamem-prodcons [steps per thread]   (default 2000000)
 */
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kLive = 512, kBatch = 64, kInbox = 16384 };

struct Inbox {
    pthread_mutex_t lock;
    void *items[kInbox];
    unsigned count;
};

struct Worker {
    struct Inbox *own, *peer;
    unsigned long steps;
    uint32_t seed;
    unsigned long sum;
    void *got[kInbox];  /* what drain took out of the inbox */
};

static uint32_t next(uint32_t *s) {
    *s ^= *s << 13;
    *s ^= *s >> 17;
    *s ^= *s << 5;
    return *s;
}

/* Releases what the other thread handed over, outside the inbox's lock. */
static void drain(struct Inbox *in, void **got) {
    pthread_mutex_lock(&in->lock);
    unsigned n = in->count;
    memcpy(got, in->items, n * sizeof got[0]);
    in->count = 0;
    pthread_mutex_unlock(&in->lock);
    for (unsigned i = 0; i < n; ++i) free(got[i]);
}

/* Hands a batch to the peer; a full inbox (the peer far behind) leaves the
 * batch to be released here. */
static void pass(struct Inbox *to, void **batch, unsigned n) {
    pthread_mutex_lock(&to->lock);
    unsigned room = kInbox - to->count;
    unsigned k = n < room ? n : room;
    memcpy(&to->items[to->count], batch, k * sizeof batch[0]);
    to->count += k;
    pthread_mutex_unlock(&to->lock);
    for (unsigned i = k; i < n; ++i) free(batch[i]);
}

static void *work(void *arg) {
    struct Worker *w = arg;
    void *live[kLive] = {0};
    void *out[kBatch];
    unsigned outN = 0;
    for (unsigned long s = 0; s < w->steps; ++s) {
        uint32_t r = next(&w->seed);
        unsigned i = r % kLive;
        if (live[i] != NULL) {
            if ((r >> 9) % 4 == 0) {
                out[outN++] = live[i];
                if (outN == kBatch) {
                    pass(w->peer, out, outN);
                    outN = 0;
                }
            } else {
                free(live[i]);
            }
        }
        size_t size = 16 + (r >> 12) % 496;
        unsigned char *p = malloc(size);
        if (p == NULL) abort();
        p[0] = (unsigned char)s;
        p[size - 1] = (unsigned char)(s >> 8);
        w->sum += p[0];
        live[i] = p;
        if ((s & 63) == 0) drain(w->own, w->got);
    }
    pass(w->peer, out, outN);
    for (unsigned i = 0; i < kLive; ++i) free(live[i]);
    return NULL;
}

int main(int argc, char **argv) {
    unsigned long steps = argc > 1 ? strtoul(argv[1], NULL, 10) : 2000000;
    static struct Inbox box[2] = {{PTHREAD_MUTEX_INITIALIZER, {0}, 0}, {PTHREAD_MUTEX_INITIALIZER, {0}, 0}};
    static struct Worker w[2];
    w[0] = (struct Worker){&box[0], &box[1], steps, 0x9E3779B9u, 0, {0}};
    w[1] = (struct Worker){&box[1], &box[0], steps, 0x7F4A7C15u, 0, {0}};
    pthread_t t;
    if (pthread_create(&t, NULL, work, &w[1]) != 0) return 1;
    work(&w[0]);
    pthread_join(t, NULL);
    drain(&box[0], w[0].got);
    drain(&box[1], w[1].got);
    printf("%lu\n", w[0].sum + w[1].sum);
    return 0;
}
