// Long runs of open/close through the loader: a device that runs for months
// opens the poll device again after every sensor service restart.
#include <dirent.h>
#include <errno.h>
#include <linux/input.h>
#include <malloc.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include <hardware/hw_loader.h>
#include <hardware/sensors.h>

#include "fake_kernel.h"
#include "module_facts.h"

#if defined(__SANITIZE_ADDRESS__)
#define HEAP_FROM_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HEAP_FROM_SANITIZER 1
#endif
#endif
#ifdef HEAP_FROM_SANITIZER
#include <sanitizer/allocator_interface.h>
#endif

namespace {

size_t heap_in_use() {
#ifdef HEAP_FROM_SANITIZER
    // The sanitizer's allocator replaces malloc; mallinfo2 would see nothing.
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

int open_descriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int n = 0;
    while (readdir(d))
        n++;
    closedir(d);
    return n;
}

void send(const char* entry, uint16_t code, int32_t value) {
    input_event e;
    memset(&e, 0, sizeof e);
    e.type = EV_KEY;
    e.code = code;
    e.value = value;
    int w = fake::writer(entry);
    ASSERT_GE(w, 0);
    ASSERT_EQ(static_cast<ssize_t>(sizeof e), ::write(w, &e, sizeof e));
}

enum class Kind { Keyboard, KeyboardGone, NoDevices };

// One life of a poll device, with the work a sensor service does in between.
void cycle(const hw_module_t* hw, Kind kind) {
    hw_device_t* d = nullptr;
    ASSERT_EQ(0, hw->methods->open(hw, "sensors", &d));
    ASSERT_NE(nullptr, d);
    auto* dev = reinterpret_cast<sensors_poll_device_t*>(d);
    ASSERT_EQ(0, dev->activate(dev, 0, 1));
    ASSERT_EQ(0, dev->setDelay(dev, 0, 200000000));
    sensors_event_t ev;
    if (kind != Kind::NoDevices) {
        send("event1", KEY_ESC, 1);
        send("event1", KEY_DOWN, 1);
        if (kind == Kind::KeyboardGone) {
            fake::hang_up("event1");
        }
    }
    ASSERT_EQ(1, dev->poll(dev, &ev, 1));
    if (kind == Kind::KeyboardGone) {
        ASSERT_EQ(1, dev->poll(dev, &ev, 1)); // the hang-up drops the keyboard
    }
    ASSERT_EQ(0, d->close(d));
    fake::trim();
}

TEST(Lifecycle, ThousandOpenCloseCyclesLeaveDescriptorsAndHeapFlat) {
    struct Case {
        const char* what;
        Kind kind;
    } cases[] = {
        {"keyboard and uinput", Kind::Keyboard},
        {"keyboard hangs up in every cycle", Kind::KeyboardGone},
        {"no fake devices", Kind::NoDevices},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::reset();
        if (c.kind == Kind::NoDevices) {
            fake::kernel().uinput_errno = ENOENT;
        } else {
            fake::kernel().devices = {{"event0", "Power Button"}, {"event1", facts::kKeyboard}};
        }
        const hw_module_t* hw = nullptr;
        char err[512] = "";
        ASSERT_EQ(0, hw_load_module(MODULE_DIR, SENSORS_HARDWARE_MODULE_ID, "vardel", &hw, err,
                                    sizeof err))
            << err;
        // Warm up: the fake's record vectors and the libc's buffers settle.
        for (int i = 0; i < 20; i++)
            ASSERT_NO_FATAL_FAILURE(cycle(hw, c.kind));
        const int fds_before = open_descriptors();
        const size_t heap_before = heap_in_use();
        for (int i = 0; i < 1000; i++)
            ASSERT_NO_FATAL_FAILURE(cycle(hw, c.kind)) << "cycle " << i;
        const int fds_after = open_descriptors();
        const size_t heap_after = heap_in_use();
        EXPECT_GT(fds_before, 0);
        EXPECT_EQ(fds_before, fds_after);
        // Less than a byte a cycle: one lost record would be hundreds.
        EXPECT_LT(heap_after, heap_before + 1000) << "heap grew from " << heap_before;
        EXPECT_FALSE(fake::kernel().wait_expired);
        EXPECT_EQ(0, fake::kernel().dir_open);
        hw_unload_module(hw);
        fake::reset();
    }
}

} // namespace
