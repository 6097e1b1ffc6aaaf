// Guest-side probe of input devices, found by name:
//   evprobe caps NAME           event types and keys the device declares
//   evprobe watch NAME MILLIS   its events until MILLIS pass or the device goes
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>

namespace {

const char kUsage[] = "Usage: evprobe caps NAME | evprobe watch NAME MILLIS\n";

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
            continue;
        }
        if (got < 0 && errno == EAGAIN)
            continue;
        // ENODEV or a hang-up: the device was removed.
        printf("watch: device gone\n");
        return 0;
    }
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc >= 2 && strcmp(argv[1], "-h") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    const bool is_caps = argc == 3 && strcmp(argv[1], "caps") == 0;
    const bool is_watch = argc == 4 && strcmp(argv[1], "watch") == 0;
    if (!is_caps && !is_watch) {
        fputs(kUsage, stderr);
        return 2;
    }
    std::string path;
    int fd = open_by_name(argv[2], &path);
    if (fd < 0) {
        printf("evprobe: no input device named \"%s\"\n", argv[2]);
        return 1;
    }
    int rc = is_caps ? caps(fd) : watch(fd, path, strtol(argv[3], nullptr, 10));
    close(fd);
    return rc;
}
