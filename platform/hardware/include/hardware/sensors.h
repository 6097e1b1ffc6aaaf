/* Stand-in for the platform's <hardware/sensors.h>: the sensor module and the
 * poll device with activate, setDelay and poll. Layouts follow the 32-bit ARM
 * device; sensors_event_t is 104 bytes on every architecture. */
#ifndef HARDWARE_SENSORS_H
#define HARDWARE_SENSORS_H

#include <stddef.h>
#include <stdint.h>

#include <hardware/hardware.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SENSORS_HARDWARE_MODULE_ID "sensors"

#define SENSOR_TYPE_ACCELEROMETER 1
#define SENSOR_TYPE_MAGNETIC_FIELD 2
#define SENSOR_TYPE_ORIENTATION 3
#define SENSOR_TYPE_GYROSCOPE 4

#define SENSOR_STATUS_UNRELIABLE 0
#define SENSOR_STATUS_ACCURACY_LOW 1
#define SENSOR_STATUS_ACCURACY_MEDIUM 2
#define SENSOR_STATUS_ACCURACY_HIGH 3

typedef struct {
    union {
        float v[3];
        struct {
            float x;
            float y;
            float z;
        };
        struct {
            float azimuth;
            float pitch;
            float roll;
        };
    };
    int8_t status;
    uint8_t reserved[3];
} sensors_vec_t;

typedef struct sensors_event_t {
    int32_t version;
    int32_t sensor;
    int32_t type;
    int32_t reserved0;
    int64_t timestamp;
    union {
        float data[16];
        sensors_vec_t acceleration;
        sensors_vec_t magnetic;
        sensors_vec_t orientation;
        sensors_vec_t gyro;
        float temperature;
        float distance;
        float light;
        float pressure;
    };
    uint32_t reserved1[4];
} sensors_event_t;

struct sensor_t {
    const char* name;
    const char* vendor;
    int version;
    int handle;
    int type;
    float maxRange;
    float resolution;
    float power;
    int32_t minDelay;
    void* reserved[8];
};

struct sensors_module_t {
    struct hw_module_t common;
    int (*get_sensors_list)(struct sensors_module_t* module, struct sensor_t const** list);
};

struct sensors_poll_device_t {
    struct hw_device_t common;
    int (*activate)(struct sensors_poll_device_t* dev, int handle, int enabled);
    int (*setDelay)(struct sensors_poll_device_t* dev, int handle, int64_t ns);
    int (*poll)(struct sensors_poll_device_t* dev, sensors_event_t* data, int count);
};

#ifdef __cplusplus
}
#endif

HW_STATIC_ASSERT(sizeof(sensors_vec_t) == 16, "sensors_vec_t layout");
HW_STATIC_ASSERT(sizeof(sensors_event_t) == 104, "sensors_event_t layout");
HW_STATIC_ASSERT(offsetof(sensors_event_t, timestamp) == 16, "sensors_event_t layout");
HW_STATIC_ASSERT(offsetof(sensors_event_t, data) == 24, "sensors_event_t layout");
HW_STATIC_ASSERT(offsetof(sensors_event_t, reserved1) == 88, "sensors_event_t layout");
#if UINTPTR_MAX == 0xffffffffu
HW_STATIC_ASSERT(sizeof(struct sensor_t) == 68, "sensor_t layout");
HW_STATIC_ASSERT(sizeof(struct sensors_module_t) == 132, "sensors_module_t layout");
HW_STATIC_ASSERT(sizeof(struct sensors_poll_device_t) == 76, "sensors_poll_device_t layout");
#endif

#endif /* HARDWARE_SENSORS_H */
