// Preloaded into the sensor service by the soak: each key event written to uinput
// is also written as a line "tap CODE VALUE" to standard error (the service's log),
// so that forwards of keys the virtual device does not declare leave a trace too.
#include <linux/input.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool is_uinput(int fd) {
    char link[40];
    char target[32];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    return strcmp(target, "/dev/uinput") == 0;
}

} // namespace

// The system call itself: the log line must not come back through here.
extern "C" ssize_t write(int fd, const void* buf, size_t count) {
    const long got = syscall(SYS_write, fd, buf, count);
    if (count == sizeof(input_event) && got == static_cast<long>(count)) {
        input_event ev;
        memcpy(&ev, buf, sizeof ev);
        if (ev.type == EV_KEY && is_uinput(fd)) {
            char line[40];
            const int len = snprintf(line, sizeof line, "tap %u %d\n", ev.code, ev.value);
            (void)!syscall(SYS_write, 2, line, static_cast<size_t>(len));
        }
    }
    return got;
}
