/* Counts heap allocations while switched on; loaded with LD_PRELOAD.
 *
 * Every allocation entry point of the C library is passed on to the library's
 * own implementation and, between malloc_count_start() and
 * malloc_count_stop(), counted, together with the highest net growth of the
 * live heap (usable bytes allocated minus usable bytes freed) since the start. Python code reaches the switches through
 * ctypes.CDLL(None). Run the interpreter with PYTHONMALLOC=malloc so that its
 * object allocations come here too.
 *
 * Given the interpreter's PyGILState_Check, allocations made by a thread that
 * does not hold the interpreter lock (such as a query's sample loop) are also
 * counted apart.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <malloc.h>
#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t n, size_t size);
extern void* __libc_realloc(void* p, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void __libc_free(void* p);

static int counting;
static unsigned long long allocations;
static unsigned long long bytes;
static unsigned long long unlocked;
static long long net;
static long long peak;
static int (*holds_lock)(void);

static void grow(long long delta) {
    long long now = __atomic_add_fetch(&net, delta, __ATOMIC_RELAXED);
    long long high = __atomic_load_n(&peak, __ATOMIC_RELAXED);
    while (now > high && !__atomic_compare_exchange_n(&peak, &high, now, 1, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

static void count(size_t size) {
    if (__atomic_load_n(&counting, __ATOMIC_RELAXED)) {
        __atomic_fetch_add(&allocations, 1, __ATOMIC_RELAXED);
        __atomic_fetch_add(&bytes, size, __ATOMIC_RELAXED);
        if (holds_lock != NULL && !holds_lock()) {
            __atomic_fetch_add(&unlocked, 1, __ATOMIC_RELAXED);
        }
    }
}

/* The live heap grows by a new block and shrinks by a freed one. */
static void *added(void *p) {
    if (p != NULL && __atomic_load_n(&counting, __ATOMIC_RELAXED)) {
        grow((long long)malloc_usable_size(p));
    }
    return p;
}

static void removed(void *p) {
    if (p != NULL && __atomic_load_n(&counting, __ATOMIC_RELAXED)) {
        grow(-(long long)malloc_usable_size(p));
    }
}

void malloc_count_start(int (*gil_check)(void)) {
    holds_lock = gil_check;
    __atomic_store_n(&allocations, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&bytes, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&unlocked, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&net, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&peak, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&counting, 1, __ATOMIC_RELAXED);
}

void malloc_count_stop(void) { __atomic_store_n(&counting, 0, __ATOMIC_RELAXED); }

unsigned long long malloc_count_allocations(void) { return __atomic_load_n(&allocations, __ATOMIC_RELAXED); }

unsigned long long malloc_count_bytes(void) { return __atomic_load_n(&bytes, __ATOMIC_RELAXED); }

unsigned long long malloc_count_unlocked(void) { return __atomic_load_n(&unlocked, __ATOMIC_RELAXED); }

unsigned long long malloc_count_peak(void) { return (unsigned long long)__atomic_load_n(&peak, __ATOMIC_RELAXED); }

void* malloc(size_t size) {
    count(size);
    return added(__libc_malloc(size));
}

void* calloc(size_t n, size_t size) {
    count(n * size);
    return added(__libc_calloc(n, size));
}

void* realloc(void* p, size_t size) {
    count(size);
    removed(p);
    return added(__libc_realloc(p, size));
}

void free(void* p) {
    removed(p);
    __libc_free(p);
}

void* memalign(size_t alignment, size_t size) {
    count(size);
    return added(__libc_memalign(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size) {
    count(size);
    return added(__libc_memalign(alignment, size));
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) {
        return EINVAL;
    }
    count(size);
    void* p = added(__libc_memalign(alignment, size));
    if (p == NULL && size != 0) {
        return ENOMEM;
    }
    *out = p;
    return 0;
}
