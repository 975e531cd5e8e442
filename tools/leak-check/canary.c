/* A library for tools/test-sanitizers.sh to check its own leak check with, loaded by canary.py
 * into an interpreter set up exactly as the Python suite's.
 *
 * start_keepers() starts threads that each keep a block in a thread-local variable of this
 * dlopened library, as an extension module's thread_local state does, and stay alive until the
 * process exits: the checker must neither report those blocks nor crash on the way. (The runtime
 * of GCC 12 and clang 16 misreads a small dynamic thread-local block on glibc 2.25 and later as
 * an older glibc's header and scans a range that is not mapped, unless told not to intercept
 * __tls_get_addr.) lose() makes one true leak of a size nothing else allocates, which the
 * checker must report. */
#include <pthread.h>
#include <stdlib.h>

static __thread void *kept;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed = PTHREAD_COND_INITIALIZER;
static int started;

void keep(void) { kept = malloc(1000); }

static void *keeper(void *unused) {
    (void)unused;
    keep();
    pthread_mutex_lock(&lock);
    started++;
    pthread_cond_broadcast(&changed);
    for (;;) pthread_cond_wait(&changed, &lock); /* until the process exits */
    return NULL;
}

/* Returns once all `count` threads hold their block; 0 on success. */
int start_keepers(int count) {
    for (int i = 0; i < count; i++) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, keeper, NULL) != 0) return -1;
        pthread_detach(thread);
    }
    pthread_mutex_lock(&lock);
    while (started < count) pthread_cond_wait(&changed, &lock);
    pthread_mutex_unlock(&lock);
    return 0;
}

void lose(void) {
    void *volatile block = malloc(3001);
    block = NULL;
    (void)block;
}
