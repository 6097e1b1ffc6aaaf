// Preloaded into a program: the FAIL_ALLOC_AT'th call of malloc, calloc or realloc (counted from
// 1, all threads together) returns NULL; every other call goes to the C library.
//
// FAIL_ALLOC_REPORT names a file that gets one line per event: "failed N" when the failure is
// made ("failed N in CALL" while the program is inside one of the bus library calls below),
// "CALL returned" when that call comes back, "dispatch from N" when the program first calls
// dbus_connection_read_write_dispatch (N: the next allocation), and "calls N" at a normal exit. The
// bus library's own out-of-memory paths can crash in dbus_bus_get, or stall a blocking call until
// its time-out, before the program gets control back; the report lets a test tell those from the
// program's. FAIL_ALLOC_TRACE set: the failed call's stack goes to standard error, for finding the
// caller by hand.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <fcntl.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

static atomic_ulong calls;
static unsigned long fail_at; // 0: never
static int trace;
static int report_fd = -1;
static const char* volatile inside; // the bus library call in progress, if any

typedef void* (*bus_get_fn)(int, void*);
typedef void* (*send_block_fn)(void*, void*, int, void*);
typedef int (*dispatch_fn)(void*, int);
static bus_get_fn real_bus_get;
static send_block_fn real_send_block;
static dispatch_fn real_dispatch;

// "WORD N REST"; without stdio's buffers, since this runs inside malloc. n < 0: no number.
static void report(const char* word, long n, const char* rest) {
    if (report_fd < 0)
        return;
    char line[96];
    int len = n < 0 ? snprintf(line, sizeof line, "%s%s\n", word, rest)
                    : snprintf(line, sizeof line, "%s %ld%s\n", word, n, rest);
    if (len > 0 && write(report_fd, line, (size_t)len) < 0)
        report_fd = -1;
}

__attribute__((constructor)) static void read_settings(void) {
    // What the shim allocates for itself is not the program's.
    unsigned long before = atomic_load(&calls);
    const char* at = getenv("FAIL_ALLOC_AT");
    if (at)
        fail_at = strtoul(at, NULL, 10);
    const char* path = getenv("FAIL_ALLOC_REPORT");
    if (path)
        report_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    trace = getenv("FAIL_ALLOC_TRACE") != NULL;
    if (trace) {
        // The first backtrace loads its unwinder, which allocates.
        void* frames[1];
        backtrace(frames, 1);
    }
    real_bus_get = (bus_get_fn)dlsym(RTLD_NEXT, "dbus_bus_get");
    real_send_block = (send_block_fn)dlsym(RTLD_NEXT, "dbus_connection_send_with_reply_and_block");
    real_dispatch = (dispatch_fn)dlsym(RTLD_NEXT, "dbus_connection_read_write_dispatch");
    atomic_store(&calls, before);
}

__attribute__((destructor)) static void write_count(void) {
    report("calls", (long)atomic_load(&calls), "");
}

static int fails_now(void) {
    unsigned long n = atomic_fetch_add(&calls, 1) + 1;
    if (!fail_at || n != fail_at)
        return 0;
    char where[64] = "";
    if (inside)
        snprintf(where, sizeof where, " in %s", inside);
    report("failed", (long)n, where);
    if (trace) {
        void* frames[32];
        backtrace_symbols_fd(frames, backtrace(frames, 32), 2);
    }
    errno = ENOMEM;
    return 1;
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

// These only mark their window; the calls are the library's, allocations in them counted as usual.
void* dbus_bus_get(int type, void* error) {
    if (!real_bus_get)
        abort();
    inside = "dbus_bus_get";
    void* conn = real_bus_get(type, error);
    inside = NULL;
    report("dbus_bus_get returned", -1, "");
    return conn;
}

void* dbus_connection_send_with_reply_and_block(void* conn, void* msg, int timeout, void* error) {
    if (!real_send_block)
        abort();
    inside = "dbus_connection_send_with_reply_and_block";
    void* reply = real_send_block(conn, msg, timeout, error);
    inside = NULL;
    report("dbus_connection_send_with_reply_and_block returned", -1, "");
    return reply;
}

int dbus_connection_read_write_dispatch(void* conn, int timeout) {
    static int seen;
    if (!real_dispatch)
        abort();
    if (!seen) {
        seen = 1;
        report("dispatch from", (long)atomic_load(&calls) + 1, "");
    }
    return real_dispatch(conn, timeout);
}
