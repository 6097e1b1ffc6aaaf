// The module as the platform's sensor service drives it: one thread waits in
// poll with room for 16 events while two others toggle activate and setDelay
// and keys arrive. Built with ThreadSanitizer (halt_on_error), so a race
// between those calls fails the run; the counts below check that no key was
// lost and that the calls did overlap the waits.
//
// Usage: sensors_threads_test [MODULE_DIR]
#include <linux/input.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include <hardware/hw_loader.h>
#include <hardware/sensors.h>

#include "clock.h"
#include "fake_kernel.h"
#include "module_facts.h"

namespace {

const int kRounds = 400;    // each: an arrow press and release, a key press and release
const int kPollBuffer = 16; // as the platform's service reads
const char kEntry[] = "event1";

int failures = 0;

void check(bool ok, const std::string& what) {
    if (!ok) {
        fprintf(stderr, "FAIL: %s\n", what.c_str());
        failures++;
    }
}

void send(int w, uint16_t type, uint16_t code, int32_t value) {
    input_event e;
    memset(&e, 0, sizeof e);
    e.type = type;
    e.code = code;
    e.value = value;
    check(write(w, &e, sizeof e) == static_cast<ssize_t>(sizeof e), "keyboard write");
}

struct Shared {
    sensors_poll_device_t* dev;
    std::atomic<bool> in_poll{false};
    std::atomic<bool> typing{true};
    std::atomic<bool> stop{false};
    std::atomic<int64_t> stopped_at{0}; // ms, set before stop
    long reports = 0;                   // poller's own until joined
    long bad = 0;                       // counts outside 0..16, or vectors not of the four
    std::atomic<long> toggles_in_wait{0};
    std::atomic<long> delays_in_wait{0};
};

// The rotation whose vector the report carries, -1 for none of the four.
int rotation_of(const sensors_event_t& ev) {
    uint32_t bits[3];
    memcpy(&bits[0], &ev.acceleration.x, 4);
    memcpy(&bits[1], &ev.acceleration.y, 4);
    memcpy(&bits[2], &ev.acceleration.z, 4);
    for (int r = 0; r < 4; r++)
        if (memcmp(bits, facts::kVectors[r], sizeof bits) == 0)
            return r;
    return -1;
}

// Ends with the report of the last key, the only KEY_UP; should that be lost,
// the fake kernel cuts every wait short (5 s) and the deadline ends it.
void poller(Shared* s) {
    sensors_event_t events[kPollBuffer];
    for (bool up = false; !up;) {
        s->in_poll = true;
        const int n = s->dev->poll(s->dev, events, kPollBuffer);
        s->in_poll = false;
        if (n < 0 || n > kPollBuffer)
            s->bad++;
        for (int i = 0; i < n && i < kPollBuffer; i++) {
            s->reports++;
            const int r = rotation_of(events[i]);
            s->bad += r < 0;
            up = up || r == 0;
        }
        if (s->stop && testlib::monotonic_ms() - s->stopped_at > 10000)
            break;
    }
}

void toggler(Shared* s) {
    for (int i = 0; s->typing; i++) {
        s->dev->activate(s->dev, 0, i & 1);
        if (s->in_poll)
            s->toggles_in_wait++;
        usleep(100);
    }
}

void delayer(Shared* s) {
    static const int64_t kDelays[] = {200000000, 66667000, 20000000, 0};
    for (int i = 0; s->typing; i++) {
        s->dev->setDelay(s->dev, 0, kDelays[i % 4]);
        if (s->in_poll)
            s->delays_in_wait++;
        usleep(150);
    }
}

// Events of one kind the module wrote to the virtual device.
long forwarded(uint16_t code) {
    long n = 0;
    for (const fake::UinputCall& c : fake::kernel().uinput) {
        input_event e;
        if (!c.is_write || c.bytes.size() != sizeof e)
            continue;
        memcpy(&e, c.bytes.data(), sizeof e);
        n += e.type == EV_KEY && e.code == code;
    }
    return n;
}

} // namespace

int main(int argc, char** argv) {
    const char* dir = argc > 1 ? argv[1] : MODULE_DIR;
    fake::reset();
    fake::kernel().fail_when_idle = false; // waits block as on the device
    fake::kernel().devices = {{kEntry, facts::kKeyboard}};

    const hw_module_t* hw = nullptr;
    char err[512];
    if (hw_load_module(dir, SENSORS_HARDWARE_MODULE_ID, "vardel", &hw, err, sizeof err) != 0) {
        fprintf(stderr, "FAIL: %s\n", err);
        return 1;
    }
    hw_device_t* device = nullptr;
    if (hw->methods->open(hw, SENSORS_HARDWARE_MODULE_ID, &device) != 0 || !device) {
        fprintf(stderr, "FAIL: open\n");
        return 1;
    }
    Shared s;
    s.dev = reinterpret_cast<sensors_poll_device_t*>(device);
    s.dev->activate(s.dev, 0, 1);
    const int w = fake::writer(kEntry);
    check(w >= 0, "keyboard opened");

    std::thread poll_thread(poller, &s);
    std::thread toggle_thread(toggler, &s);
    std::thread delay_thread(delayer, &s);
    for (int i = 0; i < kRounds && w >= 0; i++) {
        const uint16_t arrow = i & 1 ? KEY_LEFT : KEY_DOWN;
        send(w, EV_KEY, arrow, 1);
        send(w, EV_KEY, arrow, 0);
        send(w, EV_KEY, KEY_A, 1);
        send(w, EV_KEY, KEY_A, 0);
        send(w, EV_SYN, SYN_REPORT, 0);
        usleep(200);
    }
    s.typing = false;
    toggle_thread.join();
    delay_thread.join();
    // The last arrow is reported, which ends the poller's loop.
    s.dev->activate(s.dev, 0, 1);
    s.stopped_at = testlib::monotonic_ms();
    s.stop = true;
    if (w >= 0)
        send(w, EV_KEY, KEY_UP, 1);
    poll_thread.join();
    device->close(device);
    hw_unload_module(hw);

    // Each arrow event is reported (sensor on) or forwarded (sensor off), once.
    const long arrows = 2L * kRounds + 1;
    const long arrows_forwarded = forwarded(KEY_DOWN) + forwarded(KEY_LEFT) + forwarded(KEY_UP);
    printf(
        "reports %ld, arrows forwarded %ld, toggles during a wait %ld, delays during a wait %ld\n",
        s.reports, arrows_forwarded, s.toggles_in_wait.load(), s.delays_in_wait.load());
    check(s.bad == 0, "bad counts or vectors: " + std::to_string(s.bad));
    check(!fake::kernel().wait_expired, "a wait ran into the time limit");
    check(s.reports + arrows_forwarded == arrows,
          "arrows reported + forwarded = " + std::to_string(s.reports + arrows_forwarded) +
              ", sent " + std::to_string(arrows));
    check(forwarded(KEY_A) == 2L * kRounds, "key A forwarded " + std::to_string(forwarded(KEY_A)));
    check(s.reports > 0 && arrows_forwarded > 0, "the toggles changed nothing");
    check(s.toggles_in_wait > 0 && s.delays_in_wait > 0, "no call overlapped a wait");
    return failures ? 1 : 0;
}
