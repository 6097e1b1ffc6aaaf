// A sensor module whose poll hands out the four orientation vectors in turn,
// so the monitor's report lines can be checked without a keyboard.
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <hardware/hardware.h>
#include <hardware/sensors.h>

namespace {

const float kVectors[4][3] = {
    {0.0f, 9.772881f, 0.8131391f},
    {9.772881f, 0.0f, 0.8131391f},
    {0.0f, 9.772881f, -0.8131391f},
    {-9.772881f, 0.0f, -0.8131391f},
};

struct Device {
    sensors_poll_device_t dev;
    int next;
};

int dev_close(hw_device_t* d) {
    free(d);
    return 0;
}
int dev_activate(sensors_poll_device_t*, int, int) {
    return 0;
}
int dev_delay(sensors_poll_device_t*, int, int64_t) {
    return 0;
}
// Two vectors a call, so that a caller which reads only the first of a batch
// loses every other one; a caller whose buffer is not the platform service's
// 16 events gets timestamps of 0.
int dev_poll(sensors_poll_device_t* d, sensors_event_t* data, int count) {
    Device* dev = reinterpret_cast<Device*>(d);
    int n = count < 2 ? count : 2;
    for (int i = 0; i < n; i++) {
        memset(&data[i], 0, sizeof data[i]);
        int r = dev->next++ % 4;
        data[i].acceleration.x = kVectors[r][0];
        data[i].acceleration.y = kVectors[r][1];
        data[i].acceleration.z = kVectors[r][2];
        data[i].timestamp = count == 16 ? 1000 + r : 0;
    }
    return n < 0 ? 0 : n;
}

int open_scripted(const hw_module_t* module, const char*, hw_device_t** device) {
    Device* d = static_cast<Device*>(calloc(1, sizeof(Device)));
    if (!d)
        return -ENOMEM;
    d->dev.common.tag = HARDWARE_DEVICE_TAG;
    d->dev.common.module = const_cast<hw_module_t*>(module);
    d->dev.common.close = dev_close;
    d->dev.activate = dev_activate;
    d->dev.setDelay = dev_delay;
    d->dev.poll = dev_poll;
    *device = &d->dev.common;
    return 0;
}

const sensor_t kList[] = {
    {"Scripted", "tests", 1, 0, SENSOR_TYPE_ACCELEROMETER, 1.0f, 0.5f, 0.25f, 0, {}}};

int list(sensors_module_t*, const sensor_t** out) {
    *out = kList;
    return 1;
}

hw_module_methods_t methods = {open_scripted};

} // namespace

extern "C" {
__attribute__((visibility("default"))) sensors_module_t HMI = {
    {HARDWARE_MODULE_TAG,
     1,
     0,
     SENSORS_HARDWARE_MODULE_ID,
     "Scripted",
     "tests",
     &methods,
     nullptr,
     {}},
    list,
};
}
