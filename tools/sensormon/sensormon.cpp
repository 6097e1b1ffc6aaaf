// The sensor service in miniature: load a sensor module, list it, open its
// poll device, activate sensor 0 and print every report until told to stop.
// As the platform's service does, one thread polls with room for 16 events
// while other threads call activate (SIGUSR1) and setDelay (SIGUSR2).
#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <math.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include <android/log.h>
#include <hardware/hardware.h>
#include <hardware/hw_loader.h>
#include <hardware/sensors.h>

namespace {

const char kUsage[] = "Usage: sensormon [-d DIR] [-v VARIANT] [-n COUNT]\n";

// The platform's service reads up to this many events per poll call.
const int kPollBuffer = 16;
// SIGUSR2 steps through the rates the platform asks for: normal, UI, game, fastest.
const int64_t kDelays[] = {200000000, 66667000, 20000000, 0};

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) {
    stop_requested = 1;
    // A signal that lands just before the module enters poll() is lost to it;
    // the alarm keeps interrupting until the module's wait has ended.
    alarm(1);
}

void on_alarm(int) {
    if (stop_requested)
        alarm(1);
}

struct Options {
    std::string dir;
    std::string variant = "vardel";
    long count = -1; // -1: until a signal
};

std::string default_dir() {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "../lib";
    self[n] = '\0';
    std::string path(self);
    size_t slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/../lib";
}

// Returns -1 to go on, otherwise the exit status.
int parse(int argc, char** argv, Options* opt) {
    int c;
    while ((c = getopt(argc, argv, "hd:v:n:")) != -1) {
        switch (c) {
        case 'h':
            fputs(kUsage, stdout);
            return 0;
        case 'd':
            opt->dir = optarg;
            break;
        case 'v':
            opt->variant = optarg;
            break;
        case 'n': {
            char* end = nullptr;
            errno = 0;
            long v = strtol(optarg, &end, 10);
            if (errno || end == optarg || *end || v < 1) {
                fprintf(stderr, "sensormon: bad COUNT %s\n", optarg);
                fputs(kUsage, stderr);
                return 2;
            }
            opt->count = v;
            break;
        }
        default:
            fputs(kUsage, stderr);
            return 2;
        }
    }
    if (optind < argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (opt->dir.empty())
        opt->dir = default_dir();
    return -1;
}

// The platform's programs take their log threshold from ANDROID_LOG_TAGS ("*:d" shows
// debug and up); Debian's liblog does not read it, so the monitor applies the default
// ("*") entry itself, for the module it loads. Entries for single tags are not kept.
void apply_log_tags() {
    const char* tags = getenv("ANDROID_LOG_TAGS");
    static const char kLetters[] = "vdiwefs"; // ANDROID_LOG_VERBOSE (2) .. ANDROID_LOG_SILENT (8)
    for (const char* p = tags; p && *p;) {
        size_t len = strcspn(p, " \t");
        const char* letter =
            len == 3 && p[0] == '*' && p[1] == ':' ? strchr(kLetters, p[2]) : nullptr;
        if (letter && *letter)
            __android_log_set_minimum_priority(ANDROID_LOG_VERBOSE + (letter - kLetters));
        p += len;
        p += strspn(p, " \t");
    }
}

// The control signals are taken by their threads with sigwait, so they are
// blocked everywhere; the stop signals must reach the polling thread.
void install_handlers() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGALRM);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: the signal must end the module's wait
    sa.sa_handler = on_stop;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
}

int rotation_of(const sensors_event_t& ev) {
    const float x = ev.acceleration.x, z = ev.acceleration.z;
    if (fabsf(x) > fabsf(ev.acceleration.y))
        return x > 0 ? 90 : 270;
    return z >= 0 ? 0 : 180;
}

// A control thread: the sensor service's binder threads in miniature. Each
// signal it takes is one call on the device and one line of output.
struct Control {
    sensors_poll_device_t* dev;
    int handle;
    int signo;
    pthread_t thread;
    std::atomic<bool> stop{false};
};

void* control_main(void* arg) {
    Control* c = static_cast<Control*>(arg);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, c->signo);
    int enabled = 1; // run() has activated the sensor
    size_t next_delay = 0;
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0)
            continue;
        if (c->stop)
            return nullptr;
        if (c->signo == SIGUSR1) {
            enabled = !enabled;
            c->dev->activate(c->dev, c->handle, enabled);
            printf("activate %d\n", enabled);
        } else {
            const int64_t ns = kDelays[next_delay++ % (sizeof kDelays / sizeof kDelays[0])];
            c->dev->setDelay(c->dev, c->handle, ns);
            printf("delay %lld\n", static_cast<long long>(ns));
        }
    }
}

// Started with every signal blocked, so that SIGINT, SIGTERM and SIGALRM go to
// the polling thread and end its wait.
bool start_control(Control* c) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    const int rc = pthread_create(&c->thread, nullptr, control_main, c);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (rc != 0)
        fprintf(stderr, "sensormon: cannot start a control thread: %s\n", strerror(rc));
    return rc == 0;
}

// Joined before the device is closed: the module must not be closed while
// another of its calls runs.
void stop_control(Control* c) {
    c->stop = true;
    pthread_kill(c->thread, c->signo);
    pthread_join(c->thread, nullptr);
}

int run(const Options& opt) {
    const hw_module_t* module = nullptr;
    char err[512];
    if (hw_load_module(opt.dir.c_str(), SENSORS_HARDWARE_MODULE_ID, opt.variant.c_str(), &module,
                       err, sizeof err) != 0) {
        fprintf(stderr, "sensormon: %s\n", err);
        return 1;
    }
    printf("module id=%s name=\"%s\" author=\"%s\" version=%u.%u\n", module->id, module->name,
           module->author, module->version_major, module->version_minor);

    auto* sensors = reinterpret_cast<sensors_module_t*>(const_cast<hw_module_t*>(module));
    const sensor_t* list = nullptr;
    int n = sensors->get_sensors_list ? sensors->get_sensors_list(sensors, &list) : 0;
    for (int i = 0; i < n && list; i++) {
        const sensor_t& s = list[i];
        printf("sensor %d: name=\"%s\" vendor=\"%s\" version=%d handle=%d type=%d maxRange=%g "
               "resolution=%g power=%g minDelay=%d\n",
               i, s.name, s.vendor, s.version, s.handle, s.type, s.maxRange, s.resolution, s.power,
               s.minDelay);
    }
    if (n < 1 || !list) {
        fprintf(stderr, "sensormon: the module lists no sensor\n");
        hw_unload_module(module);
        return 1;
    }

    hw_device_t* device = nullptr;
    if (!module->methods || !module->methods->open) {
        fprintf(stderr, "sensormon: the module has no open method\n");
        hw_unload_module(module);
        return 1;
    }
    int rc = module->methods->open(module, SENSORS_HARDWARE_MODULE_ID, &device);
    if (rc != 0 || !device) {
        fprintf(stderr, "sensormon: open failed: %s\n", strerror(rc < 0 ? -rc : EINVAL));
        hw_unload_module(module);
        return 1;
    }
    auto* poll_dev = reinterpret_cast<sensors_poll_device_t*>(device);
    printf("opened\n");

    const int handle = list[0].handle;
    poll_dev->activate(poll_dev, handle, 1);
    printf("activated %d\n", handle);

    Control toggle, delay;
    toggle.dev = delay.dev = poll_dev;
    toggle.handle = delay.handle = handle;
    toggle.signo = SIGUSR1;
    delay.signo = SIGUSR2;
    const bool toggling = start_control(&toggle);
    const bool delaying = toggling && start_control(&delay);
    int status = delaying ? 0 : 1;

    long reports = 0;
    sensors_event_t events[kPollBuffer];
    while (status == 0 && !stop_requested && (opt.count < 0 || reports < opt.count)) {
        int got = poll_dev->poll(poll_dev, events, kPollBuffer);
        if (stop_requested)
            break;
        if (got > kPollBuffer)
            got = kPollBuffer;
        for (int i = 0; i < got && (opt.count < 0 || reports < opt.count); i++) {
            const sensors_event_t& ev = events[i];
            printf("report rotation=%d x=%f y=%f z=%f t=%lld\n", rotation_of(ev), ev.acceleration.x,
                   ev.acceleration.y, ev.acceleration.z, static_cast<long long>(ev.timestamp));
            reports++;
        }
    }
    alarm(0);
    if (toggling)
        stop_control(&toggle);
    if (delaying)
        stop_control(&delay);

    poll_dev->activate(poll_dev, handle, 0);
    device->close(device);
    printf("closed\n");
    hw_unload_module(module);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options opt;
    int status = parse(argc, argv, &opt);
    if (status >= 0)
        return status;
    apply_log_tags();
    install_handlers();
    return run(opt);
}
