// Preloaded into a program: the FAIL_ALLOC_AT'th call of malloc, calloc or realloc (counted from
// 1, all threads together) returns NULL; every other call goes to the C library.
//
// FAIL_ALLOC_SITES instead (a comma-separated list, maybe empty, of call sites already tried): the
// first allocation made at a call site that is not in the list fails, and only that one (see
// call_site). Its report line is "failed N site 0xHASH at 0xOFFSET", OFFSET the program's call.
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
#include <link.h>
#include <stdatomic.h>
#include <stdint.h>
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

static int site_mode;
static int site_depth = 5; // library frames below the program's call; FAIL_ALLOC_DEPTH sets it
static unsigned long tried_sites[1024];
static int tried_count;
static int site_failed;
static uintptr_t exe_base, exe_start, exe_end; // the program's own code
static int unwinding; // the program is single-threaded; no TLS inside malloc

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

// The first object listed is the program itself.
static int find_program(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    (void)data;
    exe_base = info->dlpi_addr;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
        if (ph->p_type == PT_LOAD && (ph->p_flags & PF_X)) {
            exe_start = info->dlpi_addr + ph->p_vaddr;
            exe_end = exe_start + ph->p_memsz;
        }
    }
    return 1;
}

static void read_tried_sites(const char* list) {
    while (*list && tried_count < (int)(sizeof tried_sites / sizeof *tried_sites)) {
        char* end;
        unsigned long site = strtoul(list, &end, 16);
        if (end == list)
            break;
        tried_sites[tried_count++] = site;
        list = *end == ',' ? end + 1 : end;
    }
}

static void hash_offset(uint64_t* hash, void* frame) {
    Dl_info info;
    uintptr_t offset = (uintptr_t)frame;
    if (dladdr(frame, &info) && info.dli_fbase)
        offset -= (uintptr_t)info.dli_fbase;
    for (int byte = 0; byte < (int)sizeof offset; byte++) {
        *hash ^= (offset >> (8 * byte)) & 0xff;
        *hash *= 1099511628211ull; // FNV-1a
    }
}

static int in_program(void* frame) {
    return (uintptr_t)frame >= exe_start && (uintptr_t)frame < exe_end;
}

// The allocation's call site: a hash of the program's own frames on the stack (its call into the
// library or libc, and the calls that led there) and of the one frame below them, in the library
// function that the program called, where that function went on to allocate. Each return address
// counts as an offset in its own object, the same in every run. The innermost program frame's
// offset goes to *program_at. 0 when the program has no frame on the stack (the loader, exit
// handlers).
static unsigned long call_site(unsigned long* program_at) {
    void* frames[32];
    unwinding = 1;
    int n = backtrace(frames, 32);
    unwinding = 0;
    int first = 1;
    while (first < n && !in_program(frames[first]))
        first++;
    if (first == n)
        return 0;
    uint64_t hash = 14695981039346656037ull;
    for (int i = first - site_depth > 1 ? first - site_depth : 1; i < first; i++)
        hash_offset(&hash, frames[i]);
    for (int i = first; i < n; i++)
        if (in_program(frames[i]))
            hash_offset(&hash, frames[i]);
    *program_at = (uintptr_t)frames[first] - exe_base;
    return (unsigned long)(hash | 1);
}

static int tried(unsigned long site) {
    for (int i = 0; i < tried_count; i++)
        if (tried_sites[i] == site)
            return 1;
    return 0;
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
    const char* sites = getenv("FAIL_ALLOC_SITES");
    if (sites) {
        site_mode = 1;
        if (getenv("FAIL_ALLOC_DEPTH"))
            site_depth = atoi(getenv("FAIL_ALLOC_DEPTH"));
        read_tried_sites(sites);
        dl_iterate_phdr(find_program, NULL);
    }
    if (trace || site_mode) {
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
    char where[96] = "";
    if (site_mode) {
        // The unwinder's own allocations, and every one after the failure, go through.
        if (unwinding || site_failed)
            return 0;
        unsigned long program_at = 0;
        unsigned long site = call_site(&program_at);
        if (!site || tried(site))
            return 0;
        site_failed = 1;
        snprintf(where, sizeof where, " site 0x%lx at 0x%lx", site, program_at);
    } else if (!fail_at || n != fail_at) {
        return 0;
    }
    if (inside)
        snprintf(where + strlen(where), sizeof where - strlen(where), " in %s", inside);
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
