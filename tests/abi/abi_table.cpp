// Prints the sizes, offsets and numbers that the ABI checks pin down, as this
// build sees them: run it under qemu-arm and on the host to compare.
#include <stdio.h>
#include <string.h>

#include "platform_abi.h"

#define ROW(expr) printf("%-44s %#lx (%lu)\n", #expr, (unsigned long)(expr), (unsigned long)(expr))

int main(int argc, char** argv) {
    if (argc > 1) {
        fprintf(stderr, "usage: %s\nPrints this build's ABI table; the build itself checks it.\n",
                argv[0]);
        return strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 ? 0 : 2;
    }
    ROW(sizeof(void*));
    ROW(sizeof(struct input_event));
    ROW(sizeof(struct uinput_user_dev));
    ROW(sizeof(sensors_event_t));
    ROW(sizeof(hw_module_t));
    ROW(sizeof(hw_device_t));
    ROW(sizeof(sensors_module_t));
    ROW(sizeof(sensors_poll_device_t));
    ROW(sizeof(sensor_t));
    ROW(offsetof(hw_module_t, id));
    ROW(offsetof(hw_module_t, methods));
    ROW(offsetof(hw_module_t, dso));
    ROW(offsetof(sensors_module_t, get_sensors_list));
    ROW(offsetof(hw_device_t, close));
    ROW(offsetof(sensors_poll_device_t, poll));
    ROW(offsetof(sensor_t, maxRange));
    ROW(offsetof(sensor_t, minDelay));
    ROW(offsetof(sensor_t, reserved));
    ROW(offsetof(sensors_event_t, timestamp));
    ROW(offsetof(sensors_event_t, acceleration.x));
    ROW(EVIOCGNAME(4095));
    ROW(UI_SET_EVBIT);
    ROW(UI_SET_KEYBIT);
    ROW(UI_DEV_CREATE);
    ROW(UI_DEV_DESTROY);
    ROW(EVIOCGKEY(96));
    ROW(O_RDWR);
    ROW(O_WRONLY | O_NONBLOCK);
    ROW(O_CLOEXEC);
    ROW(HARDWARE_MODULE_TAG);
    ROW(HARDWARE_DEVICE_TAG);
#ifdef ABI_HAVE_BINDER
    ROW(android::IBinder::INTERFACE_TRANSACTION);
#endif
    ROW(devabi::bits(9.772881f));
    ROW(devabi::bits(-0.8131391f));
    ROW(devabi::bits(1.0f / 4032));
    return 0;
}
