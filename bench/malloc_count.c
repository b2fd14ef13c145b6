// malloc_count: a preload library that counts a program's calls into the C allocator and
// reports the counts on standard error when the program receives SIGUSR1.
//
//   LD_PRELOAD=/path/to/libmalloc_count.so[:others...] program
//
// It must come first in LD_PRELOAD so that every library's allocations pass through it. The
// report is one line, totals since the program started (a forked child inherits its parent's):
//   malloc_count: pid=<pid> malloc=<n> calloc=<n> realloc=<n> free=<n> memalign=<n>
// memalign counts posix_memalign, aligned_alloc and memalign together; free(NULL) is not
// counted. The program must not install a SIGUSR1 handler of its own, nor block the signal.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

enum { kMalloc, kCalloc, kRealloc, kFree, kMemalign, kCounters };

static const char* const counter_names[kCounters] = {"malloc", "calloc", "realloc", "free",
                                                     "memalign"};
static uint64_t counters[kCounters];

static void* (*real_malloc)(size_t);
static void* (*real_calloc)(size_t, size_t);
static void* (*real_realloc)(void*, size_t);
static void (*real_free)(void*);
static int (*real_posix_memalign)(void**, size_t, size_t);
static void* (*real_aligned_alloc)(size_t, size_t);
static void* (*real_memalign)(size_t, size_t);

// dlsym() itself may allocate (glibc's dlerror buffer comes from calloc) before the real
// functions are known. Those few blocks come from this static arena and are never given back;
// each carries its size in front so that realloc can move it to the real heap.
enum { kBootSize = 16384, kBootAlign = 16 };
static _Alignas(kBootAlign) char boot_arena[kBootSize];
static size_t boot_used;
static int resolving;
static int resolved;

static void count(int which) {
    __atomic_fetch_add(&counters[which], 1, __ATOMIC_RELAXED);
}

static int in_boot_arena(const void* p) {
    const char* c = (const char*)p;
    return c >= boot_arena && c < boot_arena + kBootSize;
}

static void* boot_alloc(size_t size) {
    size_t need = kBootAlign + ((size + kBootAlign - 1) & ~(size_t)(kBootAlign - 1));
    size_t at = __atomic_fetch_add(&boot_used, need, __ATOMIC_RELAXED);
    if (need < size || at + need > kBootSize) {
        errno = ENOMEM;
        return NULL;
    }
    memcpy(boot_arena + at, &size, sizeof size);
    return boot_arena + at + kBootAlign;
}

static void resolve(void) {
    if (__atomic_load_n(&resolved, __ATOMIC_ACQUIRE)) {
        return;
    }
    resolving = 1;
    real_malloc = dlsym(RTLD_NEXT, "malloc");
    real_calloc = dlsym(RTLD_NEXT, "calloc");
    real_realloc = dlsym(RTLD_NEXT, "realloc");
    real_free = dlsym(RTLD_NEXT, "free");
    real_posix_memalign = dlsym(RTLD_NEXT, "posix_memalign");
    real_aligned_alloc = dlsym(RTLD_NEXT, "aligned_alloc");
    real_memalign = dlsym(RTLD_NEXT, "memalign");
    resolving = 0;
    __atomic_store_n(&resolved, 1, __ATOMIC_RELEASE);
}

// Writes the decimal digits of v at out, returns how many.
static size_t put_u64(char* out, uint64_t v) {
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + v % 10);
        v /= 10;
    } while (v != 0);
    for (size_t i = 0; i < n; ++i) {
        out[i] = digits[n - 1 - i];
    }
    return n;
}

static size_t put_str(char* out, const char* s) {
    size_t n = strlen(s);
    memcpy(out, s, n);
    return n;
}

// Only async-signal-safe calls here: the signal may land inside malloc itself.
static void report(int sig) {
    (void)sig;
    int saved = errno;
    char line[256];
    size_t n = put_str(line, "malloc_count: pid=");
    n += put_u64(line + n, (uint64_t)getpid());
    for (int i = 0; i < kCounters; ++i) {
        line[n++] = ' ';
        n += put_str(line + n, counter_names[i]);
        line[n++] = '=';
        n += put_u64(line + n, __atomic_load_n(&counters[i], __ATOMIC_RELAXED));
    }
    line[n++] = '\n';
    ssize_t w = write(STDERR_FILENO, line, n);
    (void)w;
    errno = saved;
}

__attribute__((constructor)) static void malloc_count_init(void) {
    resolve();
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = report;
    sigemptyset(&sa.sa_mask);
    // Restart what can be restarted: the report should disturb the program as little as can be.
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, NULL);
}

void* malloc(size_t size) {
    if (resolving) {
        return boot_alloc(size);
    }
    resolve();
    count(kMalloc);
    return real_malloc(size);
}

void* calloc(size_t nmemb, size_t size) {
    if (resolving) {
        if (size != 0 && nmemb > SIZE_MAX / size) {
            errno = ENOMEM;
            return NULL;
        }
        return boot_alloc(nmemb * size);  // the arena is zero and never reused
    }
    resolve();
    count(kCalloc);
    return real_calloc(nmemb, size);
}

void* realloc(void* ptr, size_t size) {
    if (resolving) {
        return NULL;
    }
    resolve();
    count(kRealloc);
    if (ptr != NULL && in_boot_arena(ptr)) {
        size_t old;
        memcpy(&old, (char*)ptr - kBootAlign, sizeof old);
        void* moved = real_malloc(size);
        if (moved != NULL) {
            memcpy(moved, ptr, old < size ? old : size);
        }
        return moved;
    }
    return real_realloc(ptr, size);
}

void free(void* ptr) {
    if (ptr == NULL || in_boot_arena(ptr)) {
        return;
    }
    resolve();
    count(kFree);
    real_free(ptr);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (resolving) {
        return ENOMEM;
    }
    resolve();
    count(kMemalign);
    return real_posix_memalign(out, alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    if (resolving) {
        errno = ENOMEM;
        return NULL;
    }
    resolve();
    count(kMemalign);
    return real_aligned_alloc(alignment, size);
}

void* memalign(size_t alignment, size_t size) {
    if (resolving) {
        errno = ENOMEM;
        return NULL;
    }
    resolve();
    count(kMemalign);
    return real_memalign(alignment, size);
}
