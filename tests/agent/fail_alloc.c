// Preloaded into a program: the FAIL_ALLOC_AT'th call of malloc, calloc or realloc (counted from
// 1, all threads together) returns NULL; every other call goes to the C library. With
// FAIL_ALLOC_COUNT set to a file name, the number of calls made is written there at exit.
#include <errno.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static atomic_ulong calls;
static unsigned long fail_at; // 0: never

__attribute__((constructor)) static void read_settings(void) {
    const char* at = getenv("FAIL_ALLOC_AT");
    if (at)
        fail_at = strtoul(at, NULL, 10);
}

__attribute__((destructor)) static void write_count(void) {
    const char* path = getenv("FAIL_ALLOC_COUNT");
    if (!path)
        return;
    FILE* f = fopen(path, "w");
    if (f) {
        fprintf(f, "%lu\n", (unsigned long)atomic_load(&calls));
        fclose(f);
    }
}

static int fails_now(void) {
    unsigned long n = atomic_fetch_add(&calls, 1) + 1;
    if (fail_at && n == fail_at) {
        errno = ENOMEM;
        return 1;
    }
    return 0;
}

void* malloc(size_t size) {
    return fails_now() ? NULL : __libc_malloc(size);
}

void* calloc(size_t n, size_t size) {
    return fails_now() ? NULL : __libc_calloc(n, size);
}

void* realloc(void* p, size_t size) {
    return fails_now() ? NULL : __libc_realloc(p, size);
}
