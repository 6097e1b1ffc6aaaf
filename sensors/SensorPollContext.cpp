// The poll device of the keyboard orientation sensor.
#define LOG_TAG "KbdSensor"

#include "SensorPollContext.h"
#include "kernel_abi.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <stddef.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <log/log.h>

namespace {

const char kInputDir[] = "/dev/input";
const char kUinputPath[] = "/dev/uinput";
const char kKeyboardName[] = "AT Translated Set 2 keyboard";
const char kVirtualName[] = "Zaze V2 Buttons";
const size_t kNameBufSize = 4096;

// The buffers this file hands the kernel; the rest of the interface is
// checked in kernel_abi.h.
static_assert(EVIOCGNAME(kNameBufSize - 1) == 0x8FFF4506, "EVIOCGNAME(4095)");
static_assert(sizeof(SensorPollContext::held) == 96, "key state record");
static_assert(ANDROID_LOG_DEBUG == 3 && ANDROID_LOG_INFO == 4 && ANDROID_LOG_WARN == 5 &&
                  ANDROID_LOG_ERROR == 6,
              "log priorities");
static_assert(sizeof(std::atomic<bool>) == 1, "enabled is one byte");

// Standard gravity, tilted about 4.76 degrees out of the screen plane.
const float kG = 9.772881f;
const float kTilt = 0.8131391f;
const float kVectors[4][3] = {
    {0.0f, kG, kTilt},
    {kG, 0.0f, kTilt},
    {0.0f, kG, -kTilt},
    {-kG, 0.0f, -kTilt},
};

int64_t monotonic_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

SensorPollContext* context_of(sensors_poll_device_t* dev) {
    return static_cast<SensorPollContext*>(dev);
}

const int kLongBits = 8 * sizeof(unsigned long);

bool bit_of(const unsigned long* bits, int n) {
    return (bits[n / kLongBits] >> (n % kLongBits)) & 1UL;
}

// What one keyboard event does: it goes on to the virtual device, is
// swallowed, or sets a rotation (the arrows; a modifier's release keeps the
// current one), which is reported when the sensor is enabled.
struct Step {
    enum Kind { kForward, kSwallow, kRotate } kind;
    int rotation;
};

Step classify(const struct input_event& ev, int rotation) {
    if (ev.type != EV_KEY)
        return {Step::kForward, rotation};
    switch (ev.code) {
    case KEY_UP:
        return {Step::kRotate, 0};
    case KEY_RIGHT:
        return {Step::kRotate, 1};
    case KEY_DOWN:
        return {Step::kRotate, 2};
    case KEY_LEFT:
        return {Step::kRotate, 3};
    case KEY_LEFTCTRL:
    case KEY_LEFTALT:
        // Press and repeat are swallowed.
        return {ev.value != 0 ? Step::kSwallow : Step::kRotate, rotation};
    default:
        return {Step::kForward, rotation};
    }
}

} // namespace

SensorFd::SensorFd(const hw_module_t* module, hw_device_t** device) {
    // Zeroed first: the reserved words would otherwise hold heap garbage.
    memset(static_cast<sensors_poll_device_t*>(this), 0, sizeof(sensors_poll_device_t));
    common.tag = HARDWARE_DEVICE_TAG;
    common.version = 0;
    common.module = const_cast<hw_module_t*>(module);
    ufd = -1;
    *device = &common;
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: module=%p dev=%p", "SensorFd", module,
                        static_cast<void*>(this));
}

SensorFd::~SensorFd() {
    // Destroyed before the close: a copy of the descriptor elsewhere (a child
    // forked before the close) would otherwise keep the device, held keys and all.
    if (ufd >= 0) {
        ioctl(ufd, UI_DEV_DESTROY, 0);
        close(ufd);
    }
    ufd = -1;
}

SensorPollContext::SensorPollContext(const hw_module_t* module, hw_device_t** device)
    : SensorFd(module, device), enabled(false), rotation(0), dropping(false), resyncing(false),
      wfd(-1), rewatch(false) {
    memset(&pfd, 0, sizeof pfd);
    memset(orientations, 0, sizeof orientations);
    memset(held, 0, sizeof held);
    common.close = poll_close;
    activate = poll_activate;
    setDelay = poll_setDelay;
    poll = poll_poll;
    pfd.fd = -1;

    lookForKeyboard(false);
    createVirtualDevice();
    prepareOrientations();

    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: dev=%p ufd=%d fd=%d", "SensorPollContext",
                        static_cast<void*>(this), ufd, pfd.fd);
}

SensorPollContext::~SensorPollContext() {
    // Keyboard first; ~SensorFd then removes the virtual device.
    if (pfd.fd >= 0)
        close(pfd.fd);
    pfd.fd = -1;
    unwatchInput();
}

// Set up before the scan, so that a keyboard that appears between the scan and
// the wait still wakes it.
void SensorPollContext::watchInput() {
    if (wfd >= 0)
        return;
    wfd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // IN_ATTRIB: a node that udev or mdev makes readable only after it appeared.
    if (wfd >= 0 && inotify_add_watch(wfd, kInputDir, IN_CREATE | IN_ATTRIB | IN_MOVED_TO) >= 0)
        return;
    const int err = errno;
    // No /dev/input at all is as quiet as a failed listing.
    if (err != ENOENT)
        __android_log_print(ANDROID_LOG_ERROR, LOG_TAG, "%s: cannot watch %s: %s", "poll_poll",
                            kInputDir, strerror(err));
    unwatchInput();
}

void SensorPollContext::unwatchInput() {
    if (wfd >= 0)
        close(wfd);
    wfd = -1;
}

// The first-listed keyboard is taken at every scan; while none is listed the
// watch stays open for the wait.
void SensorPollContext::lookForKeyboard(bool again) {
    watchInput();
    findKeyboard();
    if (pfd.fd < 0)
        return;
    unwatchInput();
    if (again)
        __android_log_print(ANDROID_LOG_INFO, LOG_TAG, "%s: keyboard taken again, fd=%d",
                            "poll_poll", pfd.fd);
}

// Reads what the watch queued. True when an event device appeared or changed
// (or the kernel lost count of the changes), which calls for a scan.
bool SensorPollContext::inputChanged() {
    bool changed = false;
    for (;;) {
        // Room for at least one event with the longest name, as inotify asks.
        union {
            struct inotify_event ie;
            char bytes[sizeof(struct inotify_event) + NAME_MAX + 1];
        } buf;
        const ssize_t got = read(wfd, &buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return changed;
        if (got <= 0) {
            // A watch that cannot be read would wake every wait: give it up.
            __android_log_print(ANDROID_LOG_ERROR, LOG_TAG, "%s: watch on %s failed: %s",
                                "poll_poll", kInputDir, got < 0 ? strerror(errno) : "end of file");
            unwatchInput();
            return false;
        }
        const char* p = buf.bytes;
        const char* end = buf.bytes + got;
        while (end - p >= static_cast<ptrdiff_t>(sizeof(struct inotify_event))) {
            struct inotify_event ie;
            memcpy(&ie, p, sizeof ie);
            const char* name = p + sizeof ie;
            if (static_cast<size_t>(end - name) < ie.len)
                break;
            if (ie.mask & IN_Q_OVERFLOW)
                changed = true;
            else if (ie.len > 0 && name[0] == 'e')
                changed = true;
            if (ie.mask & IN_IGNORED) {
                // The folder itself went: nothing more will come through this watch.
                unwatchInput();
                return true;
            }
            p = name + ie.len;
        }
    }
}

// Out of descriptors (EMFILE) while the watch holds one: the watch gives way,
// so that the scan needs no more than it did before there was a watch.
bool SensorPollContext::yieldWatch() {
    if (errno != EMFILE || wfd < 0)
        return false;
    unwatchInput();
    rewatch = true;
    return true;
}

void SensorPollContext::findKeyboard() {
    DIR* dir = opendir(kInputDir);
    if (!dir && yieldWatch())
        dir = opendir(kInputDir);
    if (!dir)
        return;

    char path[kNameBufSize];
    // A buffer of its own, so the path is still intact for the failure line.
    char name[kNameBufSize];
    while (struct dirent* de = readdir(dir)) {
        if (de->d_name[0] != 'e')
            continue;
        snprintf(path, sizeof path, "%s/%s", kInputDir, de->d_name);
        pfd.fd = open(path, O_RDWR | O_CLOEXEC);
        if (pfd.fd < 0 && yieldWatch())
            pfd.fd = open(path, O_RDWR | O_CLOEXEC);
        if (pfd.fd < 0) {
            __android_log_print(ANDROID_LOG_ERROR, LOG_TAG, "could not open %s, %s", path,
                                strerror(errno));
            continue;
        }
        name[sizeof name - 1] = '\0';
        if (ioctl(pfd.fd, EVIOCGNAME(sizeof name - 1), name) < 1) {
            __android_log_print(ANDROID_LOG_ERROR, LOG_TAG,
                                "could not get device name for %s, %s\n", path, strerror(errno));
            name[0] = '\0';
        }
        if (strcmp(name, kKeyboardName) == 0) {
            __android_log_print(ANDROID_LOG_INFO, LOG_TAG, "open %s ok", name);
            break;
        }
        close(pfd.fd);
        pfd.fd = -1;
    }
    closedir(dir);
}

void SensorPollContext::createVirtualDevice() {
    ufd = open(kUinputPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (ufd < 0) {
        __android_log_print(ANDROID_LOG_ERROR, LOG_TAG, "could not open uinput device: %s",
                            strerror(errno));
        ufd = -1;
        return;
    }
    // Legacy setup: one record, then capabilities, then creation. A failure
    // here leaves a descriptor that forwarding writes keep using harmlessly.
    struct uinput_user_dev setup;
    memset(&setup, 0, sizeof setup);
    strncpy(setup.name, kVirtualName, sizeof setup.name - 1);
    (void)!write(ufd, &setup, sizeof setup);
    ioctl(ufd, UI_SET_EVBIT, EV_KEY);
    ioctl(ufd, UI_SET_EVBIT, EV_REP);
    ioctl(ufd, UI_SET_KEYBIT, KEY_ESC);
    ioctl(ufd, UI_SET_KEYBIT, KEY_COMPOSE);
    ioctl(ufd, UI_SET_KEYBIT, KEY_LEFTMETA);
    ioctl(ufd, UI_DEV_CREATE, 0);
}

void SensorPollContext::prepareOrientations() {
    pfd.events = POLLIN;
    orientations[0].version = sizeof(sensors_event_t);
    orientations[0].sensor = 0;
    orientations[0].type = SENSOR_TYPE_ACCELEROMETER;
    orientations[0].acceleration.status = SENSOR_STATUS_ACCURACY_HIGH;
    for (int i = 1; i < 4; i++)
        orientations[i] = orientations[0];
    for (int i = 0; i < 4; i++) {
        orientations[i].acceleration.x = kVectors[i][0];
        orientations[i].acceleration.y = kVectors[i][1];
        orientations[i].acceleration.z = kVectors[i][2];
    }
}

int SensorPollContext::report(sensors_event_t* data) {
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: dev=%p ufd=%d fd=%d rotation=%d",
                        "poll_poll", static_cast<void*>(this), ufd, pfd.fd, rotation * 90);
    data[0] = orientations[rotation];
    data[0].timestamp = monotonic_ns();
    return 1;
}

void SensorPollContext::dropKeyboard() {
    __android_log_print(ANDROID_LOG_ERROR, LOG_TAG,
                        "%s: keyboard fd=%d gone (revents=0x%x), closing it", "poll_poll", pfd.fd,
                        static_cast<unsigned>(pfd.revents));
    close(pfd.fd);
    // A negative descriptor is ignored by poll(): the wait is then the watch's.
    pfd.fd = -1;
    pfd.revents = 0;
    dropping = false;
    resyncing = false;
    // The releases the kernel queued for the keys held are lost with it: no key
    // stays down on the virtual device.
    unsigned long none[kKeyWords];
    memset(none, 0, sizeof none);
    int pressed = 0;
    syncKeys(none, &pressed);
    // Another device of the name may have been taken first, or this one may come back.
    lookForKeyboard(true);
}

// Writes one keyboard event to the virtual device and keeps the record of the
// keys held down there.
void SensorPollContext::forward(const struct input_event& ev) {
    // The virtual device repeats a held key by itself (EV_REP): the
    // keyboard's own repeats would double the rate there.
    if (ufd < 0 || (ev.type == EV_KEY && ev.value == 2))
        return;
    (void)!write(ufd, &ev, sizeof ev);
    if (ev.type == EV_KEY && ev.code < KEY_CNT) {
        // As the kernel counts a key value: anything but 0 holds it down.
        const unsigned long mask = 1UL << (ev.code % kLongBits);
        if (ev.value != 0)
            held[ev.code / kLongBits] |= mask;
        else
            held[ev.code / kLongBits] &= ~mask;
    }
}

// Makes the virtual device hold what the keyboard holds: releases each held key
// that is not down, presses each key down that is forwarded and not held, each
// followed by a SYN_REPORT. Returns the releases; *pressed counts the presses.
int SensorPollContext::syncKeys(const unsigned long* down, int* pressed) {
    int released = 0;
    *pressed = 0;
    if (ufd < 0)
        return 0;
    for (int code = 0; code < KEY_CNT; code++) {
        const bool is_held = bit_of(held, code);
        const bool is_down = bit_of(down, code);
        // uinput stamps the events itself: the time fields stay 0.
        struct input_event ev;
        memset(&ev, 0, sizeof ev);
        ev.type = EV_KEY;
        ev.code = static_cast<uint16_t>(code);
        ev.value = 1;
        if (is_held && !is_down) {
            ev.value = 0;
            released++;
        } else if (!is_held && is_down && classify(ev, rotation).kind == Step::kForward) {
            (*pressed)++;
        } else {
            continue;
        }
        forward(ev);
        ev.type = EV_SYN;
        ev.code = SYN_REPORT;
        ev.value = 0;
        forward(ev);
    }
    return released;
}

// After the kernel dropped keyboard events, presses and releases may have been
// among them: the virtual device takes the keyboard's key state (every held key
// counts as up when the state cannot be read), and one arrow down sets its
// rotation. True when that changed the rotation.
bool SensorPollContext::resync() {
    resyncing = false;
    unsigned long down[kKeyWords];
    memset(down, 0, sizeof down);
    if (ioctl(pfd.fd, EVIOCGKEY(sizeof down), down) < 0) {
        __android_log_print(ANDROID_LOG_WARN, LOG_TAG, "%s: no key state for fd=%d: %s",
                            "poll_poll", pfd.fd, strerror(errno));
        memset(down, 0, sizeof down);
    }
    int pressed = 0;
    const int released = syncKeys(down, &pressed);
    __android_log_print(ANDROID_LOG_WARN, LOG_TAG,
                        "%s: keyboard events dropped by the kernel (fd=%d), %d held key(s) "
                        "released, %d pressed",
                        "poll_poll", pfd.fd, released, pressed);
    // In the order of the rotations they set.
    static const int kArrows[4] = {KEY_UP, KEY_RIGHT, KEY_DOWN, KEY_LEFT};
    int arrow = -1;
    for (int r = 0; r < 4; r++) {
        if (!bit_of(down, kArrows[r]))
            continue;
        if (arrow >= 0)
            return false; // more than one: none of them decides
        arrow = r;
    }
    if (arrow < 0 || arrow == rotation)
        return false;
    setRotation(arrow);
    return true;
}

// Waits for the keyboard and reads one event: 1 with the event in ev, 0 when
// nothing was read and the wait goes on, -1 when the wait itself failed. While
// a resync is due it only looks: 2 when nothing is queued.
int SensorPollContext::nextEvent(struct input_event* ev) {
    // Without the watch a keyboard lost would be lost for good. A keyboard made
    // between that scan and this watch waits for the next change under /dev/input.
    if (rewatch && pfd.fd < 0)
        watchInput();
    rewatch = false;
    // The watch is open only while there is no keyboard: pfd is then ignored.
    struct pollfd fds[2] = {pfd, pfd};
    fds[1].fd = wfd;
    const int n = ::poll(fds, wfd >= 0 ? 2 : 1, resyncing ? 0 : -1);
    pfd.revents = fds[0].revents;
    if (n == 0 && resyncing)
        return 2;
    if (n <= 0) {
        if (n < 0)
            __android_log_print(ANDROID_LOG_ERROR, LOG_TAG, "%s: poll %d error: %s", "poll_poll",
                                pfd.fd, strerror(errno));
        return -1;
    }
    if (pfd.fd < 0) {
        // Only the watch can have woken the wait. An error on the watch itself
        // would wake every wait: it is given up, and the wait sleeps until a signal.
        if (!(fds[1].revents & POLLIN))
            unwatchInput();
        else if (inputChanged())
            lookForKeyboard(true);
        return 0;
    }
    if (!(pfd.revents & POLLIN)) {
        if (pfd.fd >= 0)
            dropKeyboard();
        return 0;
    }
    const ssize_t got = read(pfd.fd, ev, sizeof *ev);
    if (got < static_cast<ssize_t>(sizeof *ev)) {
        const int err = errno;
        __android_log_print(ANDROID_LOG_WARN, LOG_TAG, "insufficient input data(%d)? fd=%d",
                            static_cast<int>(got), pfd.fd);
        // A removed event device keeps reporting POLLIN for its unread
        // events but refuses to read them: without this the loop would spin.
        if ((got < 0 && err == ENODEV) || (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
            dropKeyboard();
        return 0;
    }
    return 1;
}

// The kernel's queue overflowed: what follows up to the next SYN_REPORT is a
// broken packet; the events behind it are handled as usual, and the key state
// is read once they are all read. The marker describes this reader's queue; it
// is not passed on. True for the events taken here.
bool SensorPollContext::skipDropped(const struct input_event& ev) {
    if (!dropping && !(ev.type == EV_SYN && ev.code == SYN_DROPPED))
        return false;
    const bool end = dropping && ev.type == EV_SYN && ev.code == SYN_REPORT;
    dropping = !end;
    if (end)
        resyncing = true;
    return true;
}

void SensorPollContext::setRotation(int next) {
    if (next == rotation)
        return;
    __android_log_print(ANDROID_LOG_INFO, LOG_TAG, "orientation changed from %d to %d",
                        rotation * 90, next * 90);
    rotation = next;
}

int SensorPollContext::poll_close(hw_device_t* dev) {
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: dev=%p", "poll_close",
                        static_cast<void*>(dev));
    if (dev)
        delete context_of(reinterpret_cast<sensors_poll_device_t*>(dev));
    return 0;
}

int SensorPollContext::poll_activate(sensors_poll_device_t* dev, int handle, int enabled) {
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: dev=%p handle=%d enabled=%d",
                        "poll_activate", static_cast<void*>(dev), handle, enabled);
    context_of(dev)->enabled = enabled != 0;
    return 0;
}

int SensorPollContext::poll_setDelay(sensors_poll_device_t* dev, int /*handle*/, int64_t ns) {
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: dev=%p delay-ns=%lld", "poll_setDelay",
                        static_cast<void*>(dev), static_cast<long long>(ns));
    return 0;
}

int SensorPollContext::poll_poll(sensors_poll_device_t* dev, sensors_event_t* data, int count) {
    SensorPollContext* ctx = context_of(dev);
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: dev=%p data=%p count=%d", "poll_poll",
                        static_cast<void*>(dev), static_cast<void*>(data), count);
    // Without room for an event nothing may be written into data.
    const bool room = data != nullptr && count > 0;

    struct input_event ev;
    for (;;) {
        const int got = ctx->nextEvent(&ev);
        if (got < 0)
            return room ? ctx->report(data) : 0;
        // Nothing queued: the key state can be read without the kernel flushing
        // key events that the module has not seen.
        if (got == 2) {
            if (ctx->resync() && ctx->enabled && room)
                return ctx->report(data);
            continue;
        }
        if (got == 0 || ctx->skipDropped(ev))
            continue;
        const Step step = classify(ev, ctx->rotation);
        if (step.kind == Step::kSwallow)
            continue;
        if (step.kind == Step::kRotate) {
            ctx->setRotation(step.rotation);
            if (ctx->enabled && room)
                return ctx->report(data);
        }
        ctx->forward(ev);
    }
}
