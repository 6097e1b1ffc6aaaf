// The module descriptor the loader finds, its one sensor and its open method.
#define LOG_TAG "KbdSensor"

#include <errno.h>

#include <new>

#include <hardware/hardware.h>
#include <hardware/sensors.h>
#include <log/log.h>

#include "SensorPollContext.h"

extern "C" {

static int open_kbd_sensor(const struct hw_module_t* module, const char* id,
                           struct hw_device_t** device);
static int get_kbd_sensors_list(struct sensors_module_t* module, struct sensor_t const** list);

static struct hw_module_methods_t kbd_sensor_methods = {
    .open = open_kbd_sensor,
};

static const struct sensor_t kbd_sensor_list[] = {
    {
        .name = "Kbd Orientation Sensor",
        .vendor = "Quorvane",
        .version = 1,
        .handle = 0,
        .type = SENSOR_TYPE_ACCELEROMETER,
        .maxRange = 2.8f,
        .resolution = 1.0f / 4032.0f,
        .power = 3.0f,
        .minDelay = 0,
        .reserved = {},
    },
};

__attribute__((visibility("default"))) struct sensors_module_t HMI = {
    .common =
        {
            .tag = HARDWARE_MODULE_TAG,
            .version_major = 2,
            .version_minor = 3,
            .id = SENSORS_HARDWARE_MODULE_ID,
            .name = "Kbd Orientation Sensor",
            .author = "Brannoc",
            .methods = &kbd_sensor_methods,
            .dso = nullptr,
            .reserved = {},
        },
    .get_sensors_list = get_kbd_sensors_list,
};

static int get_kbd_sensors_list(struct sensors_module_t* /*module*/, struct sensor_t const** list) {
    *list = kbd_sensor_list;
    return 1;
}

static int open_kbd_sensor(const struct hw_module_t* module, const char* id,
                           struct hw_device_t** device) {
    __android_log_print(ANDROID_LOG_DEBUG, LOG_TAG, "%s: id=%s", "open_kbd_sensor",
                        id ? id : "(null)");
    // The constructor stores through device: without a place to store, nothing is built.
    if (!device)
        return -EINVAL;
    SensorPollContext* ctx = new (std::nothrow) SensorPollContext(module, device);
    if (!ctx)
        return -EINVAL;
    return 0;
}

} // extern "C"
