// The sensor module loaded through the loader, driven against the fake kernel.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <signal.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <hardware/hw_loader.h>
#include <hardware/sensors.h>

#include "clock.h"
#include "fake_kernel.h"
#include "module_facts.h"

namespace {

using facts::kG;
using facts::kKeyboard;
using facts::kMinusG;
using facts::kMinusTilt;
using facts::kTilt;

uint32_t bits(float f) {
    uint32_t u;
    memcpy(&u, &f, sizeof u);
    return u;
}

input_event key(uint16_t type, uint16_t code, int32_t value) {
    input_event e;
    memset(&e, 0, sizeof e);
    // The field names of both time_t widths (a 32-bit build with a 64-bit time_t has no .time).
    e.input_event_sec = 1234;
    e.input_event_usec = 5678;
    e.type = type;
    e.code = code;
    e.value = value;
    return e;
}

// The rotation whose vector the event carries bit for bit, or -1.
int rotation_of(const sensors_event_t& ev) {
    const auto& table = facts::kVectors;
    for (int r = 0; r < 4; r++)
        if (bits(ev.acceleration.x) == table[r][0] && bits(ev.acceleration.y) == table[r][1] &&
            bits(ev.acceleration.z) == table[r][2])
            return r;
    return -1;
}

// Leaves a pattern where the module's next stack frames go, so that a record
// it builds on the stack without clearing it (padding included) shows it, as
// poisoned_heap.cpp does for the heap.
__attribute__((noinline)) void paint_stack() {
    volatile unsigned char area[64 * 1024];
    for (size_t i = 0; i < sizeof area; i++)
        area[i] = 0xA5;
}

std::string raw(const input_event& e) {
    return std::string(reinterpret_cast<const char*>(&e), sizeof e);
}

class Module : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        char err[512] = "";
        ASSERT_EQ(0, hw_load_module(MODULE_DIR, SENSORS_HARDWARE_MODULE_ID, "vardel", &hw, err,
                                    sizeof err))
            << err;
        mod = reinterpret_cast<sensors_module_t*>(const_cast<hw_module_t*>(hw));
    }
    void TearDown() override {
        for (auto* d : devices)
            d->common.close(&d->common);
        EXPECT_FALSE(fake::kernel().wait_expired) << "a wait ran into the time limit";
        EXPECT_EQ(0, fake::kernel().dir_open) << "listing left open";
        hw_unload_module(hw);
        fake::reset();
    }

    void with_keyboard() {
        fake::kernel().devices = {
            {"event0", "Power Button"}, {"event1", kKeyboard}, {"event2", kKeyboard}};
    }

    sensors_poll_device_t* open_device(const char* id = "sensors") {
        hw_device_t* d = nullptr;
        paint_stack();
        EXPECT_EQ(0, hw->methods->open(hw, id, &d));
        auto* p = reinterpret_cast<sensors_poll_device_t*>(d);
        if (p)
            devices.push_back(p);
        return p;
    }

    void close_device(sensors_poll_device_t* d) {
        devices.erase(std::find(devices.begin(), devices.end(), d));
        EXPECT_EQ(0, d->common.close(&d->common));
    }

    void send(const input_event& e, size_t open_index = 0, const char* entry = "event1") {
        int w = fake::writer(entry, open_index);
        ASSERT_GE(w, 0);
        ASSERT_EQ(static_cast<ssize_t>(sizeof e), ::write(w, &e, sizeof e));
    }

    // Log lines at prio whose text starts with prefix.
    std::vector<std::string> logged(int prio, const std::string& prefix) {
        std::vector<std::string> out;
        for (auto& l : fake::kernel().log) {
            EXPECT_EQ("KbdSensor", l.tag);
            if (l.prio == prio && l.text.compare(0, prefix.size(), prefix) == 0)
                out.push_back(l.text);
        }
        return out;
    }

    std::vector<std::string> forwarded() {
        std::vector<std::string> out;
        for (auto& c : fake::kernel().uinput)
            if (c.is_write && c.bytes.size() == sizeof(input_event))
                out.push_back(c.bytes);
        return out;
    }

    const hw_module_t* hw = nullptr;
    sensors_module_t* mod = nullptr;
    std::vector<sensors_poll_device_t*> devices;
};

TEST_F(Module, DescriptorAndSensorList) {
    EXPECT_EQ(facts::kModuleTag, hw->tag);
    EXPECT_EQ(2, hw->version_major);
    EXPECT_EQ(3, hw->version_minor);
    EXPECT_STREQ(facts::kModuleId, hw->id);
    EXPECT_STREQ(facts::kSensorName, hw->name);
    EXPECT_STREQ(facts::kAuthor, hw->author);
    EXPECT_NE(nullptr, hw->dso);
    for (uint32_t w : hw->reserved)
        EXPECT_EQ(0u, w);

    const sensor_t* list = nullptr;
    const sensor_t* again = nullptr;
    ASSERT_EQ(1, mod->get_sensors_list(mod, &list));
    ASSERT_EQ(1, mod->get_sensors_list(nullptr, &again));
    EXPECT_EQ(list, again);
    EXPECT_STREQ(facts::kSensorName, list->name);
    EXPECT_STREQ(facts::kVendor, list->vendor);
    EXPECT_EQ(1, list->version);
    EXPECT_EQ(0, list->handle);
    EXPECT_EQ(SENSOR_TYPE_ACCELEROMETER, list->type);
    EXPECT_EQ(facts::kMaxRange, bits(list->maxRange));
    EXPECT_EQ(facts::kResolution, bits(list->resolution));
    EXPECT_EQ(facts::kPower, bits(list->power));
    EXPECT_EQ(0, list->minDelay);
    for (void* p : list->reserved)
        EXPECT_EQ(nullptr, p);
}

TEST(Loader, RefusesBrokenModules) {
    struct Case {
        const char* dir;
        const char* variant;
        const char* reason;
    } cases[] = {
        {BROKEN_DIR, "absent", "cannot open shared object file"},
        {BROKEN_DIR, "nosymbol", "symbol HMI not found"},
        {BROKEN_DIR, "tag", "bad module tag 0x12345678 (want 0x48574d54)"},
        {BROKEN_DIR, "id", "module id \"lights\" is not \"sensors\""},
        {BROKEN_DIR, "../x", "must not contain '/'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.variant);
        const hw_module_t* m = reinterpret_cast<const hw_module_t*>(1);
        char err[512] = "";
        EXPECT_GT(0, hw_load_module(c.dir, "sensors", c.variant, &m, err, sizeof err));
        EXPECT_EQ(nullptr, m);
        EXPECT_NE(nullptr, strstr(err, c.reason)) << err;
        // Refused means unloaded again.
        std::string path = std::string(c.dir) + "/sensors." + c.variant + ".so";
        EXPECT_EQ(nullptr, dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) << path;
    }
}

TEST_F(Module, OpenBuildsTheDeviceForAnyId) {
    with_keyboard();
    for (const char* id : {"sensors", "other", ""}) {
        SCOPED_TRACE(id);
        sensors_poll_device_t* d = open_device(id);
        ASSERT_NE(nullptr, d);
        EXPECT_EQ(0x48574454u, d->common.tag);
        EXPECT_EQ(0u, d->common.version);
        EXPECT_EQ(hw, d->common.module);
        for (uint32_t w : d->common.reserved)
            EXPECT_EQ(0u, w);
        ASSERT_FALSE(logged(3, std::string("open_kbd_sensor: id=") + id).empty());
    }
    char buf[128];
    snprintf(buf, sizeof buf, "SensorFd: module=%p dev=%p", static_cast<const void*>(hw),
             static_cast<void*>(devices[0]));
    EXPECT_EQ(1u, logged(3, buf).size());
    snprintf(buf, sizeof buf, "SensorPollContext: dev=%p ufd=%d fd=%d",
             static_cast<void*>(devices[0]), fake::uinput_fds()[0], fake::input_fds("event1")[0]);
    EXPECT_EQ(1u, logged(3, buf).size());
    // No place to store the device: nothing is built.
    EXPECT_EQ(-EINVAL, hw->methods->open(hw, "sensors", nullptr));
    EXPECT_EQ(3u, fake::uinput_fds().size());
}

TEST_F(Module, KeyboardDiscovery) {
    struct Case {
        const char* what;
        bool input_dir;
        std::vector<fake::EventDevice> devices;
        const char* chosen; // entry whose descriptor is kept, or null
        std::vector<std::string> opened;
        std::vector<std::string> closed;
        std::vector<std::string> errors;
    } cases[] = {
        {"first match wins",
         true,
         {{"event0", "Power Button"}, {"event1", kKeyboard}, {"event2", kKeyboard}},
         "event1",
         {"/dev/input/event0 flags=524290", "/dev/input/event1 flags=524290"},
         {"input:event0#0"},
         {}},
        {"open and name failures do not stop the scan",
         true,
         {{"event0", "", EACCES}, {"event1", "", 0, true}, {"event2", kKeyboard}},
         "event2",
         {"/dev/input/event0 flags=524290", "/dev/input/event1 flags=524290",
          "/dev/input/event2 flags=524290"},
         {"input:event1#0"},
         {"could not open /dev/input/event0, Permission denied",
          "could not get device name for /dev/input/event1, Inappropriate ioctl for device\n"}},
        {"name must match exactly",
         true,
         {{"event0", "AT Translated Set 2 keyboard "}, {"event1", "at translated set 2 keyboard"}},
         nullptr,
         {"/dev/input/event0 flags=524290", "/dev/input/event1 flags=524290"},
         {"input:event0#0", "input:event1#0"},
         {}},
        {"no input folder", false, {{"event1", kKeyboard}}, nullptr, {}, {}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        fake::kernel().input_dir = c.input_dir;
        fake::kernel().devices = c.devices;
        sensors_poll_device_t* d = open_device();
        ASSERT_NE(nullptr, d);
        std::vector<std::string> opened = fake::kernel().opened;
        opened.pop_back(); // uinput comes last
        EXPECT_EQ(c.opened, opened);
        EXPECT_EQ(c.closed, fake::kernel().closed);
        std::vector<std::string> errors;
        for (auto& l : fake::kernel().log)
            if (l.prio == 6)
                errors.push_back(l.text);
        EXPECT_EQ(c.errors, errors);
        EXPECT_EQ(c.chosen ? 1u : 0u, logged(4, "open AT Translated Set 2 keyboard ok").size());
        if (c.chosen) {
            EXPECT_TRUE(fake::is_open(fake::input_fds(c.chosen)[0]));
        }
        close_device(d);
    }
}

TEST_F(Module, VirtualDeviceSetup) {
    with_keyboard();
    open_device();
    EXPECT_EQ("/dev/uinput flags=526337",
              fake::kernel().opened.back()); // O_WRONLY | O_NONBLOCK | O_CLOEXEC
    const auto& calls = fake::kernel().uinput;
    ASSERT_EQ(7u, calls.size());
    ASSERT_TRUE(calls[0].is_write);
    uinput_user_dev want;
    memset(&want, 0, sizeof want);
    strcpy(want.name, "Zaze V2 Buttons");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&want), sizeof want), calls[0].bytes);
    const std::pair<unsigned long, long> ioctls[] = {
        {UI_SET_EVBIT, EV_KEY},       {UI_SET_EVBIT, EV_REP},        {UI_SET_KEYBIT, KEY_ESC},
        {UI_SET_KEYBIT, KEY_COMPOSE}, {UI_SET_KEYBIT, KEY_LEFTMETA}, {UI_DEV_CREATE, 0},
    };
    for (size_t i = 0; i < 6; i++) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(calls[i + 1].is_write);
        EXPECT_EQ(ioctls[i].first, calls[i + 1].request);
        EXPECT_EQ(ioctls[i].second, calls[i + 1].arg);
    }
    // Destroyed before its descriptor is closed: a forked copy would keep it.
    close_device(devices.back());
    ASSERT_EQ(8u, calls.size());
    EXPECT_EQ(UI_DEV_DESTROY, calls[7].request);
}

// One event on a fresh device. Every call ends: either the event makes the
// report, or the fake fails the wait once the pipe is drained.
TEST_F(Module, KeyTable) {
    struct Case {
        uint16_t type, code;
        int32_t value;
        bool enabled;
        int count;
        int rotation;  // afterwards
        bool reported; // the event itself ended the call
        bool forwarded;
    } cases[] = {
        {EV_KEY, KEY_UP, 1, true, 1, 0, true, false},
        {EV_KEY, KEY_RIGHT, 1, true, 1, 1, true, false},
        {EV_KEY, KEY_DOWN, 0, true, 4, 2, true, false},
        {EV_KEY, KEY_LEFT, 2, true, 1, 3, true, false},
        {EV_KEY, KEY_RIGHT, 1, false, 1, 1, false, true},
        {EV_KEY, KEY_DOWN, 1, true, 0, 2, false, true},
        {EV_KEY, KEY_DOWN, 1, true, -1, 2, false, true},
        {EV_KEY, KEY_LEFTCTRL, 1, true, 1, 0, false, false},
        {EV_KEY, KEY_LEFTCTRL, 2, false, 1, 0, false, false},
        {EV_KEY, KEY_LEFTALT, 1, true, 1, 0, false, false},
        {EV_KEY, KEY_LEFTALT, 2, true, 1, 0, false, false},
        {EV_KEY, KEY_LEFTCTRL, 0, true, 1, 0, true, false},
        {EV_KEY, KEY_LEFTALT, 0, true, 1, 0, true, false},
        {EV_KEY, KEY_LEFTALT, 0, false, 1, 0, false, true},
        {EV_KEY, KEY_LEFTCTRL, 0, true, 0, 0, false, true},
        {EV_KEY, KEY_RIGHTCTRL, 1, true, 1, 0, false, true},
        {EV_KEY, KEY_RIGHTALT, 1, true, 1, 0, false, true},
        {EV_KEY, KEY_ESC, 1, true, 1, 0, false, true},
        {EV_KEY, KEY_LEFTMETA, 0, false, 1, 0, false, true},
        {EV_KEY, KEY_COMPOSE, 2, true, 1, 0, false, false}, // repeats: the virtual device's own
        {EV_SYN, SYN_REPORT, 0, true, 1, 0, false, true},
        {EV_MSC, MSC_SCAN, KEY_DOWN, true, 1, 0, false, true},
        {EV_MSC, KEY_DOWN, 1, true, 1, 0, false, true},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "row " << row++ << " type " << c.type << " code " << c.code << " value "
                     << c.value << " enabled " << c.enabled);
        fake::reset();
        with_keyboard();
        sensors_poll_device_t* d = open_device();
        ASSERT_NE(nullptr, d);
        EXPECT_EQ(0, d->activate(d, 0, c.enabled));
        input_event e = key(c.type, c.code, c.value);
        send(e);
        send(key(EV_KEY, KEY_ESC, 1)); // stays queued when the first event ends the call

        sensors_event_t out[4];
        memset(out, 0xAA, sizeof out);
        int got = d->poll(d, out, c.count);
        bool waited_out = !logged(6, "poll_poll: poll ").empty();
        EXPECT_EQ(!c.reported, waited_out);
        if (c.count > 0) {
            ASSERT_EQ(1, got);
            EXPECT_EQ(c.rotation, rotation_of(out[0]));
        } else {
            // No room: nothing is written into the caller's buffer.
            EXPECT_EQ(0, got);
            EXPECT_EQ(0xAAu, reinterpret_cast<unsigned char*>(out)[0]);
        }
        std::vector<std::string> fw = forwarded();
        std::vector<std::string> want;
        if (c.forwarded)
            want.push_back(raw(e));
        if (!c.reported)
            want.push_back(raw(key(EV_KEY, KEY_ESC, 1)));
        EXPECT_EQ(want, fw);
        auto changes = logged(4, "orientation changed");
        std::vector<std::string> want_changes;
        if (c.rotation != 0)
            want_changes.push_back("orientation changed from 0 to " +
                                   std::to_string(c.rotation * 90));
        EXPECT_EQ(want_changes, changes);
        close_device(d);
    }
}

TEST_F(Module, ReportsBitForBit) {
    with_keyboard();
    sensors_poll_device_t* d = open_device();
    d->activate(d, 0, 1);
    const struct {
        uint16_t code;
        int degrees;
        uint32_t x, y, z;
    } rows[] = {
        {KEY_RIGHT, 90, kG, 0, kTilt},
        {KEY_DOWN, 180, 0, kG, kMinusTilt},
        {KEY_LEFT, 270, kMinusG, 0, kMinusTilt},
        {KEY_UP, 0, 0, kG, kTilt},
    };
    for (auto& r : rows)
        send(key(EV_KEY, r.code, 1));
    for (auto& r : rows) {
        SCOPED_TRACE(r.degrees);
        sensors_event_t ev;
        memset(&ev, 0xAA, sizeof ev);
        int64_t before = testlib::monotonic_ns();
        ASSERT_EQ(1, d->poll(d, &ev, 1));
        int64_t after = testlib::monotonic_ns();
        EXPECT_EQ(104, ev.version);
        EXPECT_EQ(0, ev.sensor);
        EXPECT_EQ(SENSOR_TYPE_ACCELEROMETER, ev.type);
        EXPECT_EQ(0, ev.reserved0);
        EXPECT_LE(before, ev.timestamp);
        EXPECT_GE(after, ev.timestamp);
        EXPECT_EQ(r.x, bits(ev.acceleration.x));
        EXPECT_EQ(r.y, bits(ev.acceleration.y));
        EXPECT_EQ(r.z, bits(ev.acceleration.z));
        EXPECT_EQ(SENSOR_STATUS_ACCURACY_HIGH, ev.acceleration.status);
        for (uint8_t b : ev.acceleration.reserved)
            EXPECT_EQ(0, b);
        for (int i = 4; i < 16; i++)
            EXPECT_EQ(0u, bits(ev.data[i])) << i;
        for (uint32_t w : ev.reserved1)
            EXPECT_EQ(0u, w);
        char line[128];
        snprintf(line, sizeof line, "poll_poll: dev=%p ufd=%d fd=%d rotation=%d",
                 static_cast<void*>(d), fake::uinput_fds()[0], fake::input_fds("event1")[0],
                 r.degrees);
        EXPECT_EQ(1u, logged(3, line).size());
    }
}

TEST_F(Module, RotationFollowsKeysWhileDisabled) {
    with_keyboard();
    sensors_poll_device_t* d = open_device();
    send(key(EV_KEY, KEY_LEFT, 1));
    sensors_event_t ev;
    ASSERT_EQ(1, d->poll(d, &ev, 1)); // ends only by the failed wait
    d->activate(d, 0, 5);
    EXPECT_EQ(1u, logged(3, "poll_activate: dev=").size());
    EXPECT_NE(std::string::npos, logged(3, "poll_activate: dev=")[0].find("handle=0 enabled=5"));
    send(key(EV_KEY, KEY_LEFTCTRL, 0));
    send(key(EV_KEY, KEY_DOWN, 1));
    send(key(EV_KEY, KEY_DOWN, 0));
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(kMinusG, bits(ev.acceleration.x)); // still 270 from before activation
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(kMinusTilt, bits(ev.acceleration.z));
    ASSERT_EQ(1, d->poll(d, &ev, 1)); // the release: same report, no new change line
    EXPECT_EQ(kG, bits(ev.acceleration.y));
    EXPECT_EQ((std::vector<std::string>{"orientation changed from 0 to 270",
                                        "orientation changed from 270 to 180"}),
              logged(4, "orientation changed"));
    EXPECT_EQ(1u, logged(6, "poll_poll: poll ").size());
    EXPECT_EQ(0, d->setDelay(d, 0, 66667000));
    EXPECT_EQ(1u, logged(3, "poll_setDelay: dev=").size());
    EXPECT_NE(std::string::npos, logged(3, "poll_setDelay: dev=")[0].find("delay-ns=66667000"));
}

TEST_F(Module, ShortAndFailedReadsAreSkipped) {
    with_keyboard();
    sensors_poll_device_t* d = open_device();
    d->activate(d, 0, 1);
    int fd = fake::input_fds("event1")[0];
    input_event e = key(EV_KEY, KEY_RIGHT, 1);
    ASSERT_EQ(8, ::write(fake::writer("event1"), &e, 8));
    sensors_event_t ev;
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(0u, bits(ev.acceleration.x)); // the partial event changed nothing
    fake::kernel().read_fail_errno = EIO;
    send(key(EV_KEY, KEY_RIGHT, 1));
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(kG, bits(ev.acceleration.x)); // read again after the failure
    EXPECT_EQ((std::vector<std::string>{"insufficient input data(8)? fd=" + std::to_string(fd),
                                        "insufficient input data(-1)? fd=" + std::to_string(fd)}),
              logged(5, "insufficient"));
}

TEST_F(Module, FailedWaitReportsCurrentOrientation) {
    with_keyboard();
    sensors_poll_device_t* d = open_device();
    sensors_event_t ev;
    memset(&ev, 0xAA, sizeof ev);
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(kG, bits(ev.acceleration.y));
    EXPECT_EQ(kTilt, bits(ev.acceleration.z));
    EXPECT_EQ((std::vector<std::string>{"poll_poll: poll " +
                                        std::to_string(fake::input_fds("event1")[0]) +
                                        " error: Interrupted system call"}),
              logged(6, "poll_poll: poll "));
    ASSERT_EQ(1u, fake::kernel().polls.size());
    EXPECT_EQ(POLLIN, fake::kernel().polls[0].events);
    EXPECT_EQ(-1, fake::kernel().polls[0].timeout);
}

TEST_F(Module, NoUinputDropsForwardedEvents) {
    with_keyboard();
    fake::kernel().uinput_errno = ENOENT;
    sensors_poll_device_t* d = open_device();
    EXPECT_EQ(1u, logged(6, "could not open uinput device: No such file or directory").size());
    d->activate(d, 0, 1);
    send(key(EV_KEY, KEY_ESC, 1));
    send(key(EV_KEY, KEY_LEFT, 1));
    sensors_event_t ev;
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(kMinusG, bits(ev.acceleration.x));
    EXPECT_TRUE(fake::kernel().uinput.empty());
    char line[96];
    snprintf(line, sizeof line, "SensorPollContext: dev=%p ufd=-1 fd=", static_cast<void*>(d));
    EXPECT_EQ(1u, logged(3, line).size());
}

TEST_F(Module, TwoOpensAreIndependentAndCloseInOrder) {
    with_keyboard();
    sensors_poll_device_t* a = open_device();
    sensors_poll_device_t* b = open_device();
    ASSERT_NE(a, b);
    ASSERT_EQ(2u, fake::input_fds("event1").size());
    ASSERT_EQ(2u, fake::uinput_fds().size());
    EXPECT_EQ(14u, fake::kernel().uinput.size()); // two full set-ups
    a->activate(a, 0, 1);
    send(key(EV_KEY, KEY_DOWN, 1), 1); // to b's keyboard descriptor
    sensors_event_t ev;
    ASSERT_EQ(1, b->poll(b, &ev, 1)); // b is disabled: forwards, then the wait fails
    EXPECT_EQ(fake::uinput_fds()[1], fake::kernel().uinput.back().fd);

    fake::kernel().closed.clear();
    auto close_fn = a->common.close;
    close_device(a);
    EXPECT_EQ((std::vector<std::string>{"input:event1#0", "uinput#0"}), fake::kernel().closed);
    close_device(b);
    EXPECT_EQ(
        (std::vector<std::string>{"input:event1#0", "uinput#0", "input:event1#1", "uinput#1"}),
        fake::kernel().closed);
    EXPECT_EQ(2u, logged(3, "poll_close: dev=").size());
    EXPECT_EQ(0, close_fn(nullptr));
    EXPECT_EQ(1u, logged(3, "poll_close: dev=(nil)").size());
}

// The keyboard in use goes: the listing is scanned again at once, and while it
// holds no keyboard the wait is on a watch of /dev/input, which wakes only for
// a new or changed event device. No time-outs: every wait is one poll().
TEST_F(Module, KeyboardLostIsLookedForAgain) {
    fake::kernel().devices = {{"event0", "Power Button"}, {"event1", kKeyboard}};
    sensors_poll_device_t* d = open_device();
    ASSERT_TRUE(fake::watch_fds().size() == 1 && fake::watches_open() == 0)
        << "the watch is set before the scan and closed once a keyboard is taken";
    d->activate(d, 0, 1);
    send(key(EV_KEY, KEY_ESC, 1)); // held on the virtual device when the keyboard goes
    send(key(EV_KEY, KEY_RIGHT, 1));
    sensors_event_t ev;
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(1, rotation_of(ev));
    fake::remove_device("event1");
    fake::kernel().uinput.clear();

    // Named first: clang-format 14 and 19 lay out a lambda inside the table differently.
    auto nothing = [] {};
    auto another = [] { fake::add_device({"event3", "Zaze V2 Buttons"}); };
    auto link_folder = [] { fake::add_device({"by-id", kKeyboard}); };
    auto unreadable = [] { fake::add_device({"event4", kKeyboard, EACCES}); };
    auto readable = [] { fake::change_device("event4", 0); };
    struct Step {
        const char* what;
        void (*act)();
        bool scans;        // the listing is read again
        const char* taken; // entry in use afterwards, or null
    } steps[] = {
        {"gone: scanned again, none", nothing, true, nullptr},
        {"another device", another, true, nullptr},
        {"a link folder", link_folder, false, nullptr},
        {"a keyboard not readable yet", unreadable, true, nullptr},
        {"its permissions changed", readable, true, "event4"},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(st.what);
        const size_t opened = fake::kernel().opened.size();
        const size_t polls = fake::poll_count();
        st.act();
        memset(&ev, 0xAA, sizeof ev);
        paint_stack();
        ASSERT_EQ(1, d->poll(d, &ev, 1)); // ends by the failed wait
        EXPECT_EQ(1, rotation_of(ev));
        const auto& p = fake::kernel().polls;
        if (st.taken) {
            ASSERT_EQ(1u, fake::input_fds(st.taken).size());
            EXPECT_EQ(fake::input_fds(st.taken)[0], p.back().fd);
            EXPECT_EQ(-1, p.back().watch);
        } else {
            EXPECT_EQ(-1, p.back().fd);
            // One watch for the whole time without a keyboard.
            ASSERT_EQ(2u, fake::watch_fds().size());
            EXPECT_EQ(fake::watch_fds()[1], p.back().watch);
        }
        EXPECT_EQ(st.scans, fake::kernel().opened.size() > opened);
        // The woken wait, if any, and the one that failed.
        EXPECT_LE(p.size() - polls, 2u);
    }
    // The key held when the keyboard went is released once, with its report.
    input_event esc_up = key(EV_KEY, KEY_ESC, 0);
    esc_up.input_event_sec = esc_up.input_event_usec = 0;
    input_event syn = key(EV_SYN, SYN_REPORT, 0);
    syn.input_event_sec = syn.input_event_usec = 0;
    EXPECT_EQ((std::vector<std::string>{raw(esc_up), raw(syn)}), forwarded());
    EXPECT_EQ(1u, logged(6, "poll_poll: keyboard fd=").size());
    const int now = fake::input_fds("event4").back();
    EXPECT_EQ(
        (std::vector<std::string>{"poll_poll: keyboard taken again, fd=" + std::to_string(now)}),
        logged(4, "poll_poll: keyboard taken"));
    EXPECT_EQ(1u, logged(6, "could not open /dev/input/event4, Permission denied").size());
    send(key(EV_KEY, KEY_LEFT, 1), 0, "event4");
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(3, rotation_of(ev));
    close_device(d);
    EXPECT_EQ(0u, fake::watches_open());
}

// A second device of the keyboard's name, listed first, is taken; when it
// goes, the scan finds the one that stayed, at once, without a watch.
TEST_F(Module, ImpostorGoneTheKeyboardIsTaken) {
    fake::kernel().devices = {{"event5", kKeyboard}, {"event1", kKeyboard}};
    sensors_poll_device_t* d = open_device();
    d->activate(d, 0, 1);
    ASSERT_EQ(1u, fake::input_fds("event5").size());
    EXPECT_TRUE(fake::input_fds("event1").empty());
    fake::remove_device("event5");
    sensors_event_t ev;
    ASSERT_EQ(1, d->poll(d, &ev, 1)); // the hang-up, then the failed wait on the keyboard
    ASSERT_EQ(1u, fake::input_fds("event1").size());
    EXPECT_EQ(fake::input_fds("event1")[0], fake::kernel().polls.back().fd);
    send(key(EV_KEY, KEY_DOWN, 1), 0, "event1");
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    EXPECT_EQ(2, rotation_of(ev));
    EXPECT_EQ(2u, fake::watch_fds().size()); // set for each scan, closed when one is found
    EXPECT_EQ(0u, fake::watches_open());
    EXPECT_EQ(1u, logged(4, "poll_poll: keyboard taken again, fd=").size());
    EXPECT_EQ(3u, fake::kernel().polls.size());
}

// Few descriptors left (RLIMIT_NOFILE): the watch gives way to the listing and
// the keyboard, so the module gets what it got before there was a watch.
TEST_F(Module, LastDescriptorsGoToTheKeyboard) {
    struct Case {
        int room; // descriptors and listings the module may hold at once
        bool keyboard, uinput;
    } cases[] = {{1, false, true}, {2, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.room);
        fake::reset();
        with_keyboard();
        fake::kernel().fd_room = c.room;
        sensors_poll_device_t* d = open_device();
        EXPECT_EQ(c.keyboard ? 1u : 0u, fake::input_fds("event1").size());
        EXPECT_EQ(c.uinput ? 1u : 0u, fake::uinput_fds().size());
        EXPECT_EQ(0u, fake::watches_open());
        close_device(d);
    }
}

// Room for the watch, but not for the watch, the listing and a device at once:
// the watch gives way to the scan and is set again for the wait, so a keyboard
// lost and made again is still found.
TEST_F(Module, KeyboardLostShortOfDescriptorsIsFoundAgain) {
    fake::kernel().devices = {{"event0", "Power Button"}, {"event1", kKeyboard}};
    fake::kernel().fd_room = 3;
    sensors_poll_device_t* d = open_device();
    ASSERT_EQ(1u, fake::input_fds("event1").size());
    fake::remove_device("event1");
    sensors_event_t ev;
    ASSERT_EQ(1, d->poll(d, &ev, 1)); // the hang-up, the scan, then the failed wait
    EXPECT_EQ(1u, fake::watches_open());
    EXPECT_EQ(-1, fake::kernel().polls.back().fd);
    EXPECT_LE(0, fake::kernel().polls.back().watch);
    fake::add_device({"event3", kKeyboard});
    ASSERT_EQ(1, d->poll(d, &ev, 1));
    ASSERT_EQ(1u, fake::input_fds("event3").size());
    EXPECT_EQ(fake::input_fds("event3")[0], fake::kernel().polls.back().fd);
    EXPECT_EQ(0u, fake::watches_open());
}

// The watch's own faults: none may wake a wait for nothing or spin.
TEST_F(Module, WatchOnInput) {
    struct Case {
        const char* what;
        int inotify_errno, watch_errno;
        std::string record; // written into the watch before the wait
        bool scans;         // the record calls for a scan
        bool watch_kept;    // the watch is still waited on afterwards
        const char* error;  // logged at error priority, or null
    } cases[] = {
        {"no inotify", EMFILE, 0, "", false, false,
         "poll_poll: cannot watch /dev/input: Too many open files"},
        {"no folder to watch", 0, ENOENT, "", false, false, nullptr},
        {"queue overflowed", 0, 0, std::string("\1\0\0\0\0\x40\0\0\0\0\0\0\0\0\0\0", 16), true,
         true, nullptr},
        {"torn record", 0, 0, std::string("\1\0\0\0\0\1\0\0\0\0\0\0\x40\0\0\0event9", 22), false,
         true, nullptr},
        {"folder removed", 0, 0, std::string("\1\0\0\0\0\x80\0\0\0\0\0\0\0\0\0\0", 16), false,
         false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        fake::kernel().devices = {{"event0", "Power Button"}};
        fake::kernel().inotify_errno = c.inotify_errno;
        fake::kernel().watch_errno = c.watch_errno;
        sensors_poll_device_t* d = open_device();
        ASSERT_NE(nullptr, d);
        if (c.inotify_errno == 0) {
            ASSERT_EQ(1u, fake::watch_fds().size());
            const int w = fake::watch_fds()[0];
            EXPECT_EQ(c.watch_errno == 0 ? 1u : 0u, fake::watches_open());
            if (c.watch_errno == 0) {
                EXPECT_EQ(FD_CLOEXEC, fcntl(w, F_GETFD) & FD_CLOEXEC);
                EXPECT_EQ(O_NONBLOCK, fcntl(w, F_GETFL) & O_NONBLOCK);
            }
        }
        if (c.error)
            EXPECT_EQ(1u, logged(6, c.error).size());
        else
            EXPECT_TRUE(logged(6, "poll_poll: ").empty());
        if (c.what == std::string("folder removed"))
            fake::kernel().input_dir = false; // IN_IGNORED: the watched folder went
        if (!c.record.empty())
            fake::notify_raw(c.record);
        const size_t opened = fake::kernel().opened.size();
        sensors_event_t ev;
        ASSERT_EQ(1, d->poll(d, &ev, 1));
        EXPECT_EQ(c.scans, fake::kernel().opened.size() > opened);
        const auto& p = fake::kernel().polls;
        EXPECT_EQ(-1, p.back().fd);
        EXPECT_EQ(c.watch_kept, p.back().watch >= 0);
        EXPECT_LE(p.size(), c.record.empty() ? 1u : 2u);
        close_device(d);
        EXPECT_EQ(0u, fake::watches_open());
    }
}

// A removed event device: POLLIN for what it still holds, but reads fail.
TEST_F(Module, KeyboardGoneWhileReadsFail) {
    struct Case {
        const char* what;
        int read_errno;
        bool hang_up;
    } cases[] = {
        {"read gives ENODEV", ENODEV, false},
        {"partial event, then hang-up", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        with_keyboard();
        sensors_poll_device_t* d = open_device();
        int fd = fake::input_fds("event1")[0];
        input_event e = key(EV_KEY, KEY_LEFT, 1);
        ASSERT_EQ(c.hang_up ? 8 : static_cast<ssize_t>(sizeof e),
                  ::write(fake::writer("event1"), &e, c.hang_up ? 8 : sizeof e));
        if (c.hang_up)
            fake::hang_up("event1");
        fake::kernel().read_fail_errno = c.read_errno;
        sensors_event_t ev;
        ASSERT_EQ(1, d->poll(d, &ev, 1));
        EXPECT_EQ(0, rotation_of(ev));
        EXPECT_FALSE(fake::is_open(fd));
        EXPECT_EQ(1u, logged(6, "poll_poll: keyboard fd=" + std::to_string(fd) + " gone").size());
        EXPECT_EQ(2u, fake::kernel().polls.size());
        close_device(d);
    }
}

volatile sig_atomic_t alarms = 0;
void on_alarm(int) {
    alarms = alarms + 1;
}

// One thread, a timer as the waker: threads and fork are not available under
// every emulator the suite runs in.
TEST_F(Module, NoKeyboardBlocksUntilASignal) {
    fake::kernel().fail_when_idle = false;
    sensors_poll_device_t* d = open_device();
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm; // no SA_RESTART: the signal ends the wait
    ASSERT_EQ(0, sigaction(SIGALRM, &sa, &old));
    alarms = 0;
    itimerval t{};
    t.it_value.tv_usec = 300000;
    ASSERT_EQ(0, setitimer(ITIMER_REAL, &t, nullptr));
    sensors_event_t ev;
    int got = d->poll(d, &ev, 1);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &old, nullptr);

    EXPECT_EQ(1, alarms); // it returned because of the signal, not before
    EXPECT_EQ(1, got);
    EXPECT_EQ(0, rotation_of(ev));
    ASSERT_EQ(1u, fake::poll_count()); // one wait, no periodic wake-ups
    EXPECT_EQ(-1, fake::kernel().polls[0].fd);
    EXPECT_EQ(-1, fake::kernel().polls[0].timeout);
    EXPECT_EQ(1u, logged(6, "poll_poll: poll -1 error: Interrupted system call").size());
}

} // namespace
