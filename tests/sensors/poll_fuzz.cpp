// Arbitrary keyboard streams, short reads, failed waits, hang-ups and
// activate calls through the fake kernel into poll_poll. The input is a small
// program; a model of the poll device says what every call must give.
#include <errno.h>
#include <linux/input.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <deque>
#include <set>
#include <string>
#include <vector>

#include <hardware/hw_loader.h>
#include <hardware/sensors.h>

#include "fake_kernel.h"
#include "module_facts.h"

namespace {

using facts::kKeyboard;
using facts::kVectors;
const size_t kEv = sizeof(input_event);
const size_t kPipeRoom = 8192; // well below a pipe's capacity: writes never block

const struct {
    uint16_t type, code;
} kKeys[] = {
    {EV_KEY, KEY_UP},       {EV_KEY, KEY_RIGHT},    {EV_KEY, KEY_DOWN},      {EV_KEY, KEY_LEFT},
    {EV_KEY, KEY_LEFTCTRL}, {EV_KEY, KEY_LEFTALT},  {EV_KEY, KEY_RIGHTCTRL}, {EV_KEY, KEY_RIGHTALT},
    {EV_KEY, KEY_ESC},      {EV_KEY, KEY_LEFTMETA}, {EV_KEY, KEY_COMPOSE},   {EV_SYN, SYN_REPORT},
    {EV_MSC, MSC_SCAN},     {EV_MSC, KEY_DOWN},     {EV_REP, KEY_UP},        {EV_KEY, KEY_A},
};

const hw_module_t* g_hw = nullptr;

[[noreturn]] void fail(const char* what) {
    fprintf(stderr, "poll_fuzz: %s\n", what);
    abort();
}

struct Reader {
    const uint8_t* p;
    size_t n;
    bool more() const { return n > 0; }
    uint8_t byte() {
        if (!n)
            return 0;
        n--;
        return *p++;
    }
    uint32_t word() {
        uint32_t w = 0;
        for (int i = 0; i < 4; i++)
            w = (w << 8) | byte();
        return w;
    }
};

// What the poll device must do, tracked beside the real one.
struct Model {
    bool keyboard = false, uinput = false, hung_up = false;
    bool enabled = false;
    int rotation = 0;
    std::deque<char> pipe;
    int read_errno = 0, poll_errno = 0;
    std::vector<std::string> forwarded;
    std::set<uint16_t> held; // keys down on the virtual device
    bool dropping = false;   // after SYN_DROPPED, up to the next SYN_REPORT
    bool resyncing = false;  // after that, until nothing is queued

    void forward(const input_event& ev) {
        if (!uinput)
            return;
        forwarded.push_back(std::string(reinterpret_cast<const char*>(&ev), kEv));
        if (ev.type == EV_KEY && ev.code < KEY_CNT) {
            if (ev.value != 0)
                held.insert(ev.code);
            else
                held.erase(ev.code);
        }
    }

    // The fake kernel has no key state (EVIOCGKEY fails): every held key is
    // released, as when the keyboard is lost.
    void resync() {
        resyncing = false;
        const std::set<uint16_t> keys = held;
        for (uint16_t code : keys) {
            input_event ev;
            memset(&ev, 0, sizeof ev);
            ev.type = EV_KEY;
            ev.code = code;
            forward(ev);
            ev.type = EV_SYN;
            ev.code = SYN_REPORT;
            forward(ev);
        }
    }

    // Returns the rotation reported, or -1 for a call that reports nothing.
    void lose() {
        keyboard = false;
        dropping = false;
        resync();
    }

    int poll(int count, bool room) {
        for (;;) {
            if (poll_errno) {
                poll_errno = 0;
                return room ? rotation : -1;
            }
            // The module only looks while a resync is due: with nothing queued
            // it takes the key state (a hang-up drops the keyboard below).
            if (resyncing && pipe.empty() && !hung_up) {
                resync();
                continue;
            }
            const bool in = keyboard && !pipe.empty();
            const bool hup = keyboard && hung_up;
            if (!in && !hup)
                return room ? rotation : -1; // the fake fails an idle wait
            if (!in) {
                lose();
                continue;
            }
            if (read_errno) {
                const int err = read_errno;
                read_errno = 0;
                if (err == ENODEV || hup)
                    lose();
                continue;
            }
            const size_t got = pipe.size() < kEv ? pipe.size() : kEv;
            std::string bytes(pipe.begin(), pipe.begin() + got);
            pipe.erase(pipe.begin(), pipe.begin() + got);
            if (got < kEv) {
                if (hup)
                    lose();
                continue;
            }
            input_event ev;
            memcpy(&ev, bytes.data(), kEv);
            if (dropping || (ev.type == EV_SYN && ev.code == SYN_DROPPED)) {
                const bool end = dropping && ev.type == EV_SYN && ev.code == SYN_REPORT;
                dropping = !end;
                if (end)
                    resyncing = true;
                continue;
            }
            int next = -1;
            if (ev.type == EV_KEY) {
                if (ev.code == KEY_UP)
                    next = 0;
                else if (ev.code == KEY_RIGHT)
                    next = 1;
                else if (ev.code == KEY_DOWN)
                    next = 2;
                else if (ev.code == KEY_LEFT)
                    next = 3;
                else if (ev.code == KEY_LEFTCTRL || ev.code == KEY_LEFTALT) {
                    if (ev.value != 0)
                        continue;
                    next = rotation;
                }
            }
            if (next >= 0) {
                rotation = next;
                if (enabled && count > 0 && room)
                    return rotation;
            }
            if (ev.type == EV_KEY && ev.value == 2)
                continue; // the virtual device repeats by itself
            forward(ev);
        }
    }
};

void check_report(const sensors_event_t& ev, int rotation) {
    uint32_t v[3];
    memcpy(&v[0], &ev.acceleration.x, 4);
    memcpy(&v[1], &ev.acceleration.y, 4);
    memcpy(&v[2], &ev.acceleration.z, 4);
    if (memcmp(v, kVectors[rotation], sizeof v) != 0)
        fail("report is not the vector of the current rotation");
    if (ev.version != sizeof(sensors_event_t) || ev.sensor != 0 ||
        ev.type != SENSOR_TYPE_ACCELEROMETER || ev.reserved0 != 0 ||
        ev.acceleration.status != SENSOR_STATUS_ACCURACY_HIGH)
        fail("report header differs from the prepared event");
    for (int i = 4; i < 16; i++)
        if (ev.data[i] != 0.0f)
            fail("report carries stray data words");
}

void check_forwarded(const Model& m) {
    // The set-up record (a uinput_user_dev) is the only write of another size.
    std::vector<std::string> got;
    for (auto& c : fake::kernel().uinput)
        if (c.is_write && c.bytes.size() == kEv)
            got.push_back(c.bytes);
    if (got != m.forwarded)
        fail("forwarded events differ from the keyboard's");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    signal(SIGPIPE, SIG_IGN);
    char err[512] = "";
    if (hw_load_module(FUZZ_MODULE_DIR, SENSORS_HARDWARE_MODULE_ID, "vardel", &g_hw, err,
                       sizeof err) != 0) {
        fprintf(stderr, "poll_fuzz: %s\n", err);
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::reset();
    Reader in{data, size};
    Model m;
    const uint8_t setup = in.byte();
    if (!(setup & 1))
        fake::kernel().devices = {{"event0", "Power Button"}, {"event1", kKeyboard}};
    if (setup & 2)
        fake::kernel().uinput_errno = ENOENT;
    m.keyboard = !(setup & 1);
    m.uinput = !(setup & 2);

    hw_device_t* d = nullptr;
    if (g_hw->methods->open(g_hw, "sensors", &d) != 0 || !d)
        fail("open failed");
    auto* dev = reinterpret_cast<sensors_poll_device_t*>(d);
    uint32_t stamp = 0;

    while (in.more()) {
        const uint8_t op = in.byte();
        switch (op % 8) {
        case 0:
        case 1:
        case 2: { // one whole event
            const uint8_t k = in.byte();
            input_event e;
            memset(&e, 0, sizeof e);
            e.input_event_sec = ++stamp;
            e.input_event_usec = in.byte();
            if (k & 0x80) {
                e.type = static_cast<uint16_t>(in.byte() % 24);
                e.code = static_cast<uint16_t>(in.word());
            } else {
                e.type = kKeys[k % 16].type;
                e.code = kKeys[k % 16].code;
            }
            const uint8_t v = in.byte();
            e.value = (v & 3) == 3 ? static_cast<int32_t>(in.word()) : (v & 3);
            if (m.keyboard && !m.hung_up && m.pipe.size() + kEv <= kPipeRoom) {
                if (write(fake::writer("event1"), &e, kEv) != static_cast<ssize_t>(kEv))
                    fail("pipe write");
                const char* b = reinterpret_cast<const char*>(&e);
                m.pipe.insert(m.pipe.end(), b, b + kEv);
            }
            break;
        }
        case 3: { // a piece of an event: the next read comes up short
            const size_t n = 1 + in.byte() % (kEv - 1);
            char piece[kEv];
            for (size_t i = 0; i < n; i++)
                piece[i] = static_cast<char>(in.byte());
            if (m.keyboard && !m.hung_up && m.pipe.size() + n <= kPipeRoom) {
                if (write(fake::writer("event1"), piece, n) != static_cast<ssize_t>(n))
                    fail("pipe write");
                m.pipe.insert(m.pipe.end(), piece, piece + n);
            }
            break;
        }
        case 4: { // activate, with any value
            const uint8_t b = in.byte();
            const int enabled = (b & 0x80) ? static_cast<int>(in.word()) : b % 3;
            if (dev->activate(dev, 0, enabled) != 0)
                fail("activate did not return 0");
            m.enabled = enabled != 0;
            break;
        }
        case 5: { // poll
            const int counts[] = {1, 1, 4, 0, -1, 16};
            const uint8_t b = in.byte();
            const int count = counts[b % 6];
            const bool null_data = (b & 0x40) != 0;
            sensors_event_t out[16];
            memset(out, 0xAA, sizeof out);
            const bool room = count > 0 && !null_data;
            const int want = m.poll(count, room);
            const int got = dev->poll(dev, null_data ? nullptr : out, count);
            if (got != (room ? 1 : 0))
                fail("poll returned a wrong count");
            if (room)
                check_report(out[0], want);
            if (count > 1 && !null_data)
                for (size_t i = sizeof out[0]; i < sizeof out; i++)
                    if (reinterpret_cast<unsigned char*>(out)[i] != 0xAA)
                        fail("poll wrote past the first event");
            if (!room && !null_data && reinterpret_cast<unsigned char*>(out)[0] != 0xAA)
                fail("poll wrote into a buffer without room");
            check_forwarded(m);
            break;
        }
        case 6: { // fault injection
            const uint8_t b = in.byte();
            switch (b % 4) {
            case 0:
                if (m.keyboard && !m.hung_up) {
                    fake::remove_device("event1"); // its node goes with it
                    m.hung_up = true;
                }
                break;
            case 1:
                fake::kernel().read_fail_errno = (b & 4) ? ENODEV : EIO;
                m.read_errno = fake::kernel().read_fail_errno;
                break;
            case 2:
                fake::kernel().poll_fail_errno = (b & 4) ? ENOMEM : EINTR;
                m.poll_errno = fake::kernel().poll_fail_errno;
                break;
            default:
                if (dev->setDelay(dev, 0, static_cast<int64_t>(in.word()) * 1000) != 0)
                    fail("setDelay did not return 0");
                break;
            }
            break;
        }
        default: // a no-op step keeps inputs easy to splice
            break;
        }
        // A read failure only happens on a read: one left armed with no
        // keyboard would never fire, so the model forgets it the same way.
        if (!m.keyboard) {
            fake::kernel().read_fail_errno = 0;
            m.read_errno = 0;
        }
    }
    if (fake::kernel().wait_expired)
        fail("the module kept waiting");
    if (d->close(d) != 0)
        fail("close did not return 0");
    if (fake::kernel().dir_open != 0)
        fail("listing left open");
    return 0;
}
