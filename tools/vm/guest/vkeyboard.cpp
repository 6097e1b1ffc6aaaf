// Guest-side keyboard for machines without one: a uinput device with a
// keyboard's name and keys, typed into line by line on stdin:
//   down CODE | up CODE        one key event (Linux key code) and a sync
//   press CODE [HOLD_MS]       down, hold (default 50 ms), up
//   flood CODE COUNT           COUNT strokes at full speed, echoed once: "flooded COUNT"
//   quit (or end of input)     destroy the device and exit
// Each event written is echoed as "typed CODE VALUE" so the driver can pace itself.
#include <errno.h>
#include <fcntl.h>
#include <linux/uinput.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

namespace {

const char kName[] = "AT Translated Set 2 keyboard";

bool emit(int fd, int type, int code, int value) {
    struct input_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = type;
    ev.code = code;
    ev.value = value;
    return write(fd, &ev, sizeof ev) == (ssize_t)sizeof ev;
}

bool key(int fd, int code, int value) {
    if (!emit(fd, EV_KEY, code, value) || !emit(fd, EV_SYN, SYN_REPORT, 0)) {
        fprintf(stderr, "vkeyboard: write: %s\n", strerror(errno));
        return false;
    }
    printf("typed %d %d\n", code, value);
    return true;
}

void sleep_ms(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int open_device() {
    int fd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "vkeyboard: /dev/uinput: %s\n", strerror(errno));
        return -1;
    }
    bool ok = ioctl(fd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(fd, UI_SET_EVBIT, EV_SYN) == 0 &&
              ioctl(fd, UI_SET_EVBIT, EV_REP) == 0; // the kernel then repeats held keys
    for (int code = KEY_ESC; ok && code <= KEY_MICMUTE; code++)
        ok = ioctl(fd, UI_SET_KEYBIT, code) == 0;
    struct uinput_setup setup;
    memset(&setup, 0, sizeof setup);
    setup.id.bustype = BUS_I8042;
    setup.id.vendor = 0x0001;
    setup.id.product = 0x0001;
    strncpy(setup.name, kName, sizeof setup.name - 1);
    ok = ok && ioctl(fd, UI_DEV_SETUP, &setup) == 0 && ioctl(fd, UI_DEV_CREATE) == 0;
    if (!ok) {
        fprintf(stderr, "vkeyboard: uinput setup: %s\n", strerror(errno));
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc > 1) {
        bool help = strcmp(argv[1], "-h") == 0;
        fputs("Usage: vkeyboard   (commands on stdin: down CODE, up CODE, press CODE [MS], quit)\n",
              help ? stdout : stderr);
        return help ? 0 : 2;
    }
    int fd = open_device();
    if (fd < 0)
        return 1;
    printf("keyboard ready\n");
    char line[128];
    int status = 0;
    while (fgets(line, sizeof line, stdin)) {
        char word[16];
        int code = -1;
        long hold = 50;
        int n = sscanf(line, "%15s %d %ld", word, &code, &hold);
        if (n >= 1 && strcmp(word, "quit") == 0)
            break;
        if (n == 3 && strcmp(word, "flood") == 0 && code > 0 && code <= KEY_MAX && hold > 0) {
            long i = 0;
            while (i < hold && emit(fd, EV_KEY, code, 1) && emit(fd, EV_SYN, SYN_REPORT, 0) &&
                   emit(fd, EV_KEY, code, 0) && emit(fd, EV_SYN, SYN_REPORT, 0))
                i++;
            printf("flooded %ld\n", i);
            continue;
        }
        if (n < 2 || code <= 0 || code > KEY_MAX || hold < 0 || hold > 10000) {
            fprintf(stderr, "vkeyboard: bad command: %s", line);
            continue;
        }
        bool ok = true;
        if (strcmp(word, "down") == 0) {
            ok = key(fd, code, 1);
        } else if (strcmp(word, "up") == 0) {
            ok = key(fd, code, 0);
        } else if (strcmp(word, "press") == 0) {
            ok = key(fd, code, 1);
            sleep_ms(hold);
            ok = ok && key(fd, code, 0);
        } else {
            fprintf(stderr, "vkeyboard: bad command: %s", line);
        }
        if (!ok) {
            status = 1;
            break;
        }
    }
    ioctl(fd, UI_DEV_DESTROY);
    close(fd);
    printf("keyboard gone\n");
    return status;
}
