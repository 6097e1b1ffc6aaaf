#include "fake_kernel.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace fake {
namespace {

// Longest any fake wait may block, so a faulty module cannot hang the tests.
const int kWaitLimitMs = 5000;
const size_t kMaxPolls = 10000;

// The symbol that the libc headers bind a name to here. A 32-bit target with a 64-bit off_t
// and time_t (armhf on Debian 13) calls open64, readdir64 and __ioctl_time64, whose records
// differ from the plain names' (struct dirent64): the real one must be the same symbol.
const char* bound_name(const char* name) {
#if defined(__USE_FILE_OFFSET64) && __WORDSIZE == 32
    if (strcmp(name, "open") == 0)
        return "open64";
    if (strcmp(name, "readdir") == 0)
        return "readdir64";
#endif
#if defined(__USE_TIME_BITS64) && __TIMESIZE == 32
    if (strcmp(name, "ioctl") == 0)
        return "__ioctl_time64";
#endif
    return name;
}

template <typename F> F real(const char* name, F ours) {
    const char* sym = bound_name(name);
    // Ours must be what that symbol finds, or the module would bypass the fake.
    void* found = dlsym(RTLD_DEFAULT, sym);
    void* p = dlsym(RTLD_NEXT, sym);
    if (found != reinterpret_cast<void*>(ours) || !p) {
        fprintf(stderr, "fake kernel: %s is not bound to %s here\n", name, sym);
        abort();
    }
    return reinterpret_cast<F>(p);
}

#define REAL(fn) static auto real_##fn = fake::real<decltype(&::fn)>(#fn, &::fn)

struct Open {
    std::string label; // "input:event3#0" or "uinput#1"
    bool is_uinput;
    int device; // index into devices, -1 for uinput and watches
    int writer; // write end of the pipe, -1 for uinput
    bool is_watch = false;
    uint32_t mask = 0; // what inotify_add_watch on /dev/input asked for
};

struct State {
    Kernel k;
    std::map<int, Open> fds;
    std::map<std::string, std::vector<int>> writers; // entry -> write ends, in open order
    std::map<std::string, std::vector<int>> readers;
    std::map<std::string, std::vector<bool>> reader_open;
    std::vector<int> uinputs;
    std::vector<int> watches;
    // The fake listing.
    std::vector<std::string> listing;
    size_t next_entry = 0;
    dirent entry{};
    int dir_token = 0;
};

State& st() {
    static State s;
    return s;
}

std::recursive_mutex& mu() {
    static std::recursive_mutex m;
    return m;
}

DIR* fake_dir() {
    return reinterpret_cast<DIR*>(&st().dir_token);
}

// RLIMIT_NOFILE as the module meets it: the test's room in fake descriptors.
bool no_room() {
    State& s = st();
    if (s.k.fd_room < 0 || s.fds.size() + s.k.dir_open < static_cast<size_t>(s.k.fd_room))
        return false;
    errno = EMFILE;
    return true;
}

bool under(const char* path, const char* prefix) {
    size_t n = strlen(prefix);
    return path && strncmp(path, prefix, n) == 0 && (path[n] == '\0' || path[n] == '/');
}

int open_event_device(const char* path) {
    State& s = st();
    const char* entry = path + strlen("/dev/input/");
    for (size_t i = 0; i < s.k.devices.size(); i++) {
        EventDevice& d = s.k.devices[i];
        if (d.entry != entry || d.gone)
            continue;
        if (d.open_errno) {
            errno = d.open_errno;
            return -1;
        }
        if (no_room())
            return -1;
        int p[2];
        if (pipe2(p, O_CLOEXEC) != 0)
            return -1;
        std::string label = "input:" + d.entry + "#" + std::to_string(s.readers[d.entry].size());
        s.fds[p[0]] = Open{label, false, static_cast<int>(i), p[1]};
        s.readers[d.entry].push_back(p[0]);
        s.reader_open[d.entry].push_back(true);
        s.writers[d.entry].push_back(p[1]);
        return p[0];
    }
    errno = ENOENT;
    return -1;
}

int open_uinput() {
    REAL(open);
    State& s = st();
    if (s.k.uinput_errno) {
        errno = s.k.uinput_errno;
        return -1;
    }
    if (no_room())
        return -1;
    // A real descriptor keeps the numbers unique; nothing is written to it.
    int fd = real_open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    s.fds[fd] = Open{"uinput#" + std::to_string(s.uinputs.size()), true, -1, -1};
    s.uinputs.push_back(fd);
    return fd;
}

// What the kernel queues for a watch on /dev/input: the header, then the
// name padded with NULs to a multiple of the header's alignment.
void notify_locked(const std::string& bytes) {
    REAL(write);
    for (int fd : st().watches) {
        auto it = st().fds.find(fd);
        inotify_event ie;
        memcpy(&ie, bytes.data(), sizeof ie);
        if (it != st().fds.end() && (it->second.mask & ie.mask))
            (void)!real_write(it->second.writer, bytes.data(), bytes.size());
    }
}

std::string record(const std::string& entry, uint32_t mask) {
    inotify_event ie{};
    ie.wd = 1;
    ie.mask = mask;
    ie.len = static_cast<uint32_t>((entry.size() + 1 + 15) / 16 * 16);
    std::string out(reinterpret_cast<const char*>(&ie), sizeof ie);
    out += entry;
    out.resize(sizeof ie + ie.len, '\0');
    return out;
}

bool pending(const pollfd* fds, nfds_t n) {
    REAL(poll);
    std::vector<pollfd> copy(fds, fds + n);
    return real_poll(copy.data(), n, 0) > 0;
}

} // namespace

Kernel& kernel() {
    return st().k;
}

size_t poll_count() {
    std::lock_guard<std::recursive_mutex> g(mu());
    return st().k.polls.size();
}

void reset() {
    REAL(close);
    std::lock_guard<std::recursive_mutex> g(mu());
    State& s = st();
    for (auto& [fd, o] : s.fds) {
        real_close(fd);
        if (o.is_watch)
            real_close(o.writer);
    }
    for (auto& [entry, ws] : s.writers)
        for (int w : ws)
            if (w >= 0)
                real_close(w);
    s.fds.clear();
    s.writers.clear();
    s.readers.clear();
    s.reader_open.clear();
    s.uinputs.clear();
    s.watches.clear();
    s.k = Kernel{};
    s.next_entry = 0;
}

void trim() {
    REAL(close);
    std::lock_guard<std::recursive_mutex> g(mu());
    State& s = st();
    for (auto& [entry, rs] : s.readers) {
        std::vector<int>& ws = s.writers[entry];
        std::vector<bool>& live = s.reader_open[entry];
        std::vector<int> keep_r, keep_w;
        for (size_t i = 0; i < rs.size(); i++) {
            if (live[i]) {
                keep_r.push_back(rs[i]);
                keep_w.push_back(ws[i]);
            } else if (ws[i] >= 0) {
                real_close(ws[i]);
            }
        }
        rs = keep_r;
        ws = keep_w;
        live.assign(rs.size(), true);
    }
    std::vector<int> open_uinputs;
    for (int fd : s.uinputs)
        if (s.fds.count(fd))
            open_uinputs.push_back(fd);
    s.uinputs = open_uinputs;
    std::vector<int> open_watches;
    for (int fd : s.watches)
        if (s.fds.count(fd))
            open_watches.push_back(fd);
    s.watches = open_watches;
    Kernel& k = s.k;
    k.opened.clear();
    k.uinput.clear();
    k.closed.clear();
    k.polls.clear();
    k.log.clear();
}

int writer(const std::string& entry, size_t n) {
    std::lock_guard<std::recursive_mutex> g(mu());
    auto it = st().writers.find(entry);
    if (it == st().writers.end() || n >= it->second.size())
        return -1;
    return it->second[n];
}

void hang_up(const std::string& entry, size_t n) {
    REAL(close);
    std::lock_guard<std::recursive_mutex> g(mu());
    auto it = st().writers.find(entry);
    if (it == st().writers.end() || n >= it->second.size() || it->second[n] < 0)
        return;
    real_close(it->second[n]);
    it->second[n] = -1;
}

std::vector<int> input_fds(const std::string& entry) {
    std::lock_guard<std::recursive_mutex> g(mu());
    return st().readers[entry];
}

std::vector<int> uinput_fds() {
    std::lock_guard<std::recursive_mutex> g(mu());
    return st().uinputs;
}

bool is_open(int fd) {
    std::lock_guard<std::recursive_mutex> g(mu());
    return st().fds.count(fd) > 0;
}

void add_device(const EventDevice& d) {
    std::lock_guard<std::recursive_mutex> g(mu());
    st().k.devices.push_back(d);
    notify_locked(record(d.entry, IN_CREATE));
}

void change_device(const std::string& entry, int open_errno) {
    std::lock_guard<std::recursive_mutex> g(mu());
    for (EventDevice& d : st().k.devices)
        if (d.entry == entry && !d.gone)
            d.open_errno = open_errno;
    notify_locked(record(entry, IN_ATTRIB));
}

void remove_device(const std::string& entry) {
    std::lock_guard<std::recursive_mutex> g(mu());
    for (EventDevice& d : st().k.devices)
        if (d.entry == entry)
            d.gone = true;
    for (size_t i = 0; i < st().writers[entry].size(); i++)
        hang_up(entry, i);
}

void notify_raw(const std::string& bytes) {
    REAL(write);
    std::lock_guard<std::recursive_mutex> g(mu());
    for (int fd : st().watches)
        if (st().fds.count(fd) && st().fds[fd].mask)
            (void)!real_write(st().fds[fd].writer, bytes.data(), bytes.size());
}

std::vector<int> watch_fds() {
    std::lock_guard<std::recursive_mutex> g(mu());
    return st().watches;
}

size_t watches_open() {
    std::lock_guard<std::recursive_mutex> g(mu());
    size_t n = 0;
    for (auto& [fd, o] : st().fds)
        n += o.is_watch;
    return n;
}

} // namespace fake

using fake::mu;
using fake::st;

extern "C" {

int open(const char* path, int flags, ...) {
    REAL(open);
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<mode_t>(va_arg(ap, int));
        va_end(ap);
    }
    if (fake::under(path, "/dev/input") || fake::under(path, "/dev/uinput")) {
        std::lock_guard<std::recursive_mutex> g(mu());
        st().k.opened.push_back(std::string(path) + " flags=" + std::to_string(flags));
        if (fake::under(path, "/dev/uinput"))
            return fake::open_uinput();
        return fake::open_event_device(path);
    }
    return real_open(path, flags, mode);
}

DIR* opendir(const char* path) {
    REAL(opendir);
    if (!fake::under(path, "/dev/input"))
        return real_opendir(path);
    std::lock_guard<std::recursive_mutex> g(mu());
    fake::State& s = st();
    if (!s.k.input_dir || strcmp(path, "/dev/input") != 0) {
        errno = ENOENT;
        return nullptr;
    }
    if (fake::no_room())
        return nullptr;
    s.listing.clear();
    // Non-event entries first: the module must skip them.
    for (auto& e : s.k.extra_entries)
        s.listing.push_back(e);
    for (auto& d : s.k.devices)
        if (!d.gone)
            s.listing.push_back(d.entry);
    s.next_entry = 0;
    s.k.dir_open++;
    return fake::fake_dir();
}

struct dirent* readdir(DIR* dir) {
    REAL(readdir);
    if (dir != fake::fake_dir())
        return real_readdir(dir);
    std::lock_guard<std::recursive_mutex> g(mu());
    fake::State& s = st();
    if (s.next_entry >= s.listing.size())
        return nullptr;
    memset(&s.entry, 0, sizeof s.entry);
    snprintf(s.entry.d_name, sizeof s.entry.d_name, "%s", s.listing[s.next_entry++].c_str());
    return &s.entry;
}

int closedir(DIR* dir) {
    REAL(closedir);
    if (dir != fake::fake_dir())
        return real_closedir(dir);
    std::lock_guard<std::recursive_mutex> g(mu());
    st().k.dir_open--;
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    REAL(ioctl);
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    std::unique_lock<std::recursive_mutex> g(mu());
    fake::State& s = st();
    auto it = s.fds.find(fd);
    if (it == s.fds.end()) {
        g.unlock();
        return real_ioctl(fd, request, arg);
    }
    fake::Open& o = it->second;
    if (o.is_watch) {
        errno = EINVAL;
        return -1;
    }
    if (o.is_uinput) {
        s.k.uinput.push_back(fake::UinputCall{
            fd, false, request, static_cast<long>(reinterpret_cast<intptr_t>(arg)), {}});
        return 0;
    }
    if (_IOC_TYPE(request) == 'E' && _IOC_NR(request) == 0x06 && _IOC_DIR(request) == _IOC_READ) {
        const fake::EventDevice& d = s.k.devices[o.device];
        if (d.name_fails) {
            errno = ENOTTY;
            return -1;
        }
        size_t room = _IOC_SIZE(request);
        size_t n = std::min(room, d.name.size() + 1);
        memcpy(arg, d.name.c_str(), n);
        return static_cast<int>(n);
    }
    errno = EINVAL;
    return -1;
}

int poll(struct pollfd* fds, nfds_t n, int timeout) {
    REAL(poll);
    bool ours = false;
    {
        std::lock_guard<std::recursive_mutex> g(mu());
        for (nfds_t i = 0; i < n; i++)
            if (fds[i].fd < 0 || st().fds.count(fds[i].fd))
                ours = true;
        if (!ours)
            return real_poll(fds, n, timeout);
        st().k.polls.push_back(
            fake::PollCall{fds[0].fd, fds[0].events, timeout, n > 1 ? fds[1].fd : -1});
        // A module that spins on a descriptor must not hang the suite.
        if (st().k.polls.size() > fake::kMaxPolls) {
            st().k.wait_expired = true;
            errno = ETIMEDOUT;
            return -1;
        }
        if (st().k.poll_fail_errno) {
            errno = st().k.poll_fail_errno;
            st().k.poll_fail_errno = 0;
            return -1;
        }
        // A look without waiting is not a wait: it comes back empty.
        if (st().k.fail_when_idle && timeout != 0 && !fake::pending(fds, n)) {
            errno = EINTR;
            return -1;
        }
    }
    int limit = (timeout < 0 || timeout > fake::kWaitLimitMs) ? fake::kWaitLimitMs : timeout;
    int r = real_poll(fds, n, limit);
    const int err = errno;
    std::lock_guard<std::recursive_mutex> g(mu());
    st().k.poll_returns++;
    errno = err;
    if (r == 0 && timeout < 0) {
        st().k.wait_expired = true;
        errno = ETIMEDOUT;
        return -1;
    }
    return r;
}

ssize_t read(int fd, void* buf, size_t len) {
    REAL(read);
    {
        std::lock_guard<std::recursive_mutex> g(mu());
        fake::State& s = st();
        if (s.fds.count(fd)) {
            s.k.reads++;
            if (s.k.read_fail_errno) {
                errno = s.k.read_fail_errno;
                s.k.read_fail_errno = 0;
                return -1;
            }
        }
    }
    return real_read(fd, buf, len);
}

ssize_t write(int fd, const void* buf, size_t len) {
    REAL(write);
    {
        std::lock_guard<std::recursive_mutex> g(mu());
        fake::State& s = st();
        auto it = s.fds.find(fd);
        if (it != s.fds.end() && it->second.is_uinput) {
            s.k.uinput.push_back(
                fake::UinputCall{fd, true, 0, 0, std::string(static_cast<const char*>(buf), len)});
            return static_cast<ssize_t>(len);
        }
    }
    return real_write(fd, buf, len);
}

int close(int fd) {
    REAL(close);
    {
        std::lock_guard<std::recursive_mutex> g(mu());
        fake::State& s = st();
        auto it = s.fds.find(fd);
        if (it != s.fds.end() && it->second.is_watch) {
            // Kept out of closed: the module opens and closes one at every scan.
            real_close(it->second.writer);
            s.fds.erase(it);
        } else if (it != s.fds.end()) {
            s.k.closed.push_back(it->second.label);
            if (!it->second.is_uinput) {
                const std::string& entry = s.k.devices[it->second.device].entry;
                std::vector<int>& rs = s.readers[entry];
                for (size_t i = 0; i < rs.size(); i++)
                    if (rs[i] == fd && s.reader_open[entry][i])
                        s.reader_open[entry][i] = false;
            }
            s.fds.erase(it);
        }
    }
    return real_close(fd);
}

int inotify_init1(int flags) {
    std::lock_guard<std::recursive_mutex> g(mu());
    fake::State& s = st();
    if (s.k.inotify_errno) {
        errno = s.k.inotify_errno;
        return -1;
    }
    if (flags & ~(IN_NONBLOCK | IN_CLOEXEC)) {
        errno = EINVAL;
        return -1;
    }
    if (fake::no_room())
        return -1;
    // The flags act on the read end as on an inotify descriptor.
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return -1;
    if (!(flags & IN_CLOEXEC))
        fcntl(p[0], F_SETFD, 0);
    if (flags & IN_NONBLOCK)
        fcntl(p[0], F_SETFL, O_NONBLOCK);
    fake::Open o{"inotify#" + std::to_string(s.watches.size()), false, -1, p[1]};
    o.is_watch = true;
    s.fds[p[0]] = o;
    s.watches.push_back(p[0]);
    return p[0];
}

int inotify_add_watch(int fd, const char* path, uint32_t mask) {
    std::lock_guard<std::recursive_mutex> g(mu());
    fake::State& s = st();
    auto it = s.fds.find(fd);
    if (it == s.fds.end() || !it->second.is_watch) {
        errno = EBADF;
        return -1;
    }
    if (s.k.watch_errno || !s.k.input_dir || strcmp(path, "/dev/input") != 0) {
        errno = s.k.watch_errno ? s.k.watch_errno : ENOENT;
        return -1;
    }
    it->second.mask = mask;
    return 1;
}

// The module's log, captured line by line instead of going to stderr.
int __android_log_print(int prio, const char* tag, const char* fmt, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::lock_guard<std::recursive_mutex> g(mu());
    st().k.log.push_back(fake::LogLine{prio, tag ? tag : "", text});
    return 1;
}

} // extern "C"
