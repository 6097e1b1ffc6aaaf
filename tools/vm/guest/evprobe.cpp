// Guest-side probe of input devices, found by name:
//   evprobe caps NAME           event types and keys the device declares
//   evprobe keys NAME           the codes of its keys that are down now (EVIOCGKEY)
//   evprobe watch NAME MILLIS   its events until MILLIS pass or the device goes
//   evprobe count NAME MILLIS CODE   the same, counting presses of CODE (read in bulk)
//   evprobe truth NAME          every key event and SYN_DROPPED with the kernel's time
//                               stamp (CLOCK_BOOTTIME, as /proc/uptime), until NAME goes
//                               or a signal: "key SEC.USEC CODE VALUE", "dropped SEC.USEC"
//   evprobe relay NAME          the bare forwarder: NAME's events to "Bare Buttons"
//                               (uinput), a packet broken by SYN_DROPPED skipped;
//                               until NAME goes or a signal
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

const char kUsage[] = "Usage: evprobe caps NAME | evprobe keys NAME | evprobe watch NAME MILLIS |"
                      " evprobe count NAME MILLIS CODE | evprobe truth NAME | evprobe relay NAME\n";

bool test_bit(const unsigned long* bits, int n) {
    const int per = 8 * sizeof(unsigned long);
    return (bits[n / per] >> (n % per)) & 1UL;
}

// Returns an open descriptor of the first event device called name, or -1.
int open_by_name(const char* name, std::string* path) {
    DIR* dir = opendir("/dev/input");
    if (!dir)
        return -1;
    int found = -1;
    while (dirent* e = readdir(dir)) {
        if (strncmp(e->d_name, "event", 5) != 0)
            continue;
        std::string p = std::string("/dev/input/") + e->d_name;
        int fd = open(p.c_str(), O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            continue;
        char got[256] = {0};
        if (ioctl(fd, EVIOCGNAME(sizeof got - 1), got) > 0 && strcmp(got, name) == 0) {
            found = fd;
            *path = p;
            break;
        }
        close(fd);
    }
    closedir(dir);
    return found;
}

int caps(int fd) {
    // Sized in longs of this build: 32-bit ones hold half the bits.
    const int per = 8 * sizeof(unsigned long);
    unsigned long types[(EV_MAX + per) / per] = {0};
    unsigned long keys[(KEY_MAX + per) / per] = {0};
    if (ioctl(fd, EVIOCGBIT(0, sizeof types), types) < 0 ||
        ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0) {
        fprintf(stderr, "evprobe: EVIOCGBIT: %s\n", strerror(errno));
        return 1;
    }
    printf("types:");
    for (int t = 0; t <= EV_MAX; ++t)
        if (test_bit(types, t))
            printf(" %d", t);
    printf("\nkeys:");
    for (int k = 0; k <= KEY_MAX; ++k)
        if (test_bit(keys, k))
            printf(" %d", k);
    printf("\n");
    return 0;
}

long long now_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int watch(int fd, const std::string& path, long millis) {
    printf("watching %s\n", path.c_str());
    const long long end = now_ms() + millis;
    for (;;) {
        long long left = end - now_ms();
        if (left <= 0) {
            printf("watch: time is up\n");
            return 0;
        }
        pollfd p = {fd, POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "evprobe: poll: %s\n", strerror(errno));
            return 1;
        }
        if (n <= 0)
            continue;
        input_event ev;
        ssize_t got = read(fd, &ev, sizeof ev);
        if (got == static_cast<ssize_t>(sizeof ev)) {
            if (ev.type != EV_SYN)
                printf("event type=%u code=%u value=%d\n", ev.type, ev.code, ev.value);
            else if (ev.code == SYN_DROPPED)
                printf("watch: dropped\n"); // its own queue overflowed: events are missing
            continue;
        }
        if (got < 0 && errno == EAGAIN)
            continue;
        // ENODEV or a hang-up: the device was removed.
        printf("watch: device gone\n");
        return 0;
    }
}

// Waits up to timeout_ms (-1: for ever) and reads what is queued into evs: the number
// of events read, 0 when none came, -1 when the device went (or the wait failed).
int read_events(int fd, int timeout_ms, input_event* evs, size_t n) {
    pollfd p = {fd, POLLIN, 0};
    const int ready = poll(&p, 1, timeout_ms);
    if (ready < 0 && errno != EINTR)
        return -1;
    if (ready <= 0)
        return 0;
    const ssize_t got = read(fd, evs, n * sizeof *evs);
    if (got < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    if (got <= 0)
        return -1;
    return static_cast<int>(static_cast<size_t>(got) / sizeof *evs);
}

int count(int fd, const std::string& path, long millis, int code) {
    printf("counting %s\n", path.c_str());
    long presses = 0, drops = 0;
    const long long end = now_ms() + millis;
    for (long long left; (left = end - now_ms()) > 0;) {
        input_event evs[64];
        const int n = read_events(fd, static_cast<int>(left), evs, 64);
        if (n < 0)
            break; // the device went
        for (int i = 0; i < n; i++) {
            presses += evs[i].type == EV_KEY && evs[i].code == code && evs[i].value == 1;
            drops += evs[i].type == EV_SYN && evs[i].code == SYN_DROPPED;
        }
    }
    printf("count code=%d presses=%ld dropped=%ld\n", code, presses, drops);
    return 0;
}

// The ground truth of a keyboard for a reader that does not grab it: what the kernel
// delivered, stamped on the clock the guest's shell reads in /proc/uptime.
int truth(int fd, const std::string& path) {
    int clock = CLOCK_BOOTTIME;
    if (ioctl(fd, EVIOCSCLOCKID, &clock) < 0) {
        fprintf(stderr, "evprobe: EVIOCSCLOCKID: %s\n", strerror(errno));
        return 1;
    }
    printf("truth %s\n", path.c_str());
    input_event evs[64];
    for (int n; (n = read_events(fd, -1, evs, 64)) >= 0;) {
        for (int i = 0; i < n; i++) {
            const input_event& ev = evs[i];
            const long long sec = ev.input_event_sec;
            const long usec = ev.input_event_usec;
            if (ev.type == EV_KEY)
                printf("key %lld.%06ld %u %d\n", sec, usec, ev.code, ev.value);
            else if (ev.type == EV_SYN && ev.code == SYN_DROPPED)
                printf("dropped %lld.%06ld\n", sec, usec);
        }
    }
    printf("truth: device gone\n");
    return 0;
}

// What a forwarder must do at least: wait, read one event, write it on.
int relay(int fd) {
    int out = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (out < 0) {
        fprintf(stderr, "evprobe: /dev/uinput: %s\n", strerror(errno));
        return 1;
    }
    uinput_user_dev setup;
    memset(&setup, 0, sizeof setup);
    strcpy(setup.name, "Bare Buttons");
    if (write(out, &setup, sizeof setup) != static_cast<ssize_t>(sizeof setup) ||
        ioctl(out, UI_SET_EVBIT, EV_KEY) || ioctl(out, UI_SET_EVBIT, EV_REP) ||
        ioctl(out, UI_SET_KEYBIT, KEY_ESC) || ioctl(out, UI_SET_KEYBIT, KEY_COMPOSE) ||
        ioctl(out, UI_SET_KEYBIT, KEY_LEFTMETA) || ioctl(out, UI_DEV_CREATE)) {
        fprintf(stderr, "evprobe: uinput setup: %s\n", strerror(errno));
        return 1;
    }
    printf("relaying\n");
    bool dropping = false;
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, -1) < 0)
            break; // a signal
        input_event ev;
        ssize_t got = read(fd, &ev, sizeof ev);
        if (got < 0 && errno == EAGAIN)
            continue;
        if (got != static_cast<ssize_t>(sizeof ev))
            break;
        if (ev.type == EV_SYN && ev.code == SYN_DROPPED)
            dropping = true;
        else if (dropping)
            dropping = !(ev.type == EV_SYN && ev.code == SYN_REPORT);
        else
            (void)!write(out, &ev, sizeof ev);
    }
    ioctl(out, UI_DEV_DESTROY);
    close(out);
    return 0;
}

} // namespace

// The codes of the keys down, on one line; status 1 when the state cannot be read.
static int keys_down(int fd) {
    unsigned long bits[KEY_MAX / (8 * sizeof(unsigned long)) + 1] = {};
    if (ioctl(fd, EVIOCGKEY(sizeof bits), bits) < 0) {
        fprintf(stderr, "evprobe: EVIOCGKEY: %s\n", strerror(errno));
        return 1;
    }
    const int per = 8 * sizeof(unsigned long);
    for (int k = 0; k <= KEY_MAX; ++k)
        if ((bits[k / per] >> (k % per)) & 1UL)
            printf("%d ", k);
    printf("\n");
    return 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && strcmp(argv[1], "-h") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    const bool is_caps = argc == 3 && strcmp(argv[1], "caps") == 0;
    const bool is_keys = argc == 3 && strcmp(argv[1], "keys") == 0;
    const bool is_watch = argc == 4 && strcmp(argv[1], "watch") == 0;
    const bool is_count = argc == 5 && strcmp(argv[1], "count") == 0;
    const bool is_relay = argc == 3 && strcmp(argv[1], "relay") == 0;
    const bool is_truth = argc == 3 && strcmp(argv[1], "truth") == 0;
    if (!is_caps && !is_keys && !is_watch && !is_count && !is_relay && !is_truth) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::string path;
    int fd = open_by_name(argv[2], &path);
    if (fd < 0) {
        printf("evprobe: no input device named \"%s\"\n", argv[2]);
        return 1;
    }
    int rc = is_caps    ? caps(fd)
             : is_keys  ? keys_down(fd)
             : is_relay ? relay(fd)
             : is_truth ? truth(fd, path)
             : is_count ? count(fd, path, strtol(argv[3], nullptr, 10), atoi(argv[4]))
                        : watch(fd, path, strtol(argv[3], nullptr, 10));
    close(fd);
    return rc;
}
