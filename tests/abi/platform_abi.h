// The platform structures and numbers that the device's loader, sensor
// service and binder driver read from our code: on the 32-bit ARM device the
// field offsets are fixed, and pointers are 4 bytes wide.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <hardware/hardware.h>
#include <hardware/sensors.h>

#include "kernel_abi.h" // the module's own kernel checks

// The binder headers come with the registry client's part.
#if __has_include(<binder/IBinder.h>)
#include <binder/IBinder.h>
#define ABI_HAVE_BINDER 1
static_assert(android::IBinder::INTERFACE_TRANSACTION == 0x5F4E5446, "'_NTF'");
#endif

namespace devabi {

static_assert(HARDWARE_MODULE_TAG == 0x48574D54u, "'HWMT'");
static_assert(HARDWARE_DEVICE_TAG == 0x48574454u, "'HWDT'");

// The sensor event is the same on every architecture: 64-bit time stamp at 16.
static_assert(sizeof(sensors_event_t) == 104, "sensors_event_t");
static_assert(offsetof(sensors_event_t, version) == 0, "sensors_event_t.version");
static_assert(offsetof(sensors_event_t, sensor) == 4, "sensors_event_t.sensor");
static_assert(offsetof(sensors_event_t, type) == 8, "sensors_event_t.type");
static_assert(offsetof(sensors_event_t, timestamp) == 16, "sensors_event_t.timestamp");
static_assert(offsetof(sensors_event_t, acceleration.x) == 24, "acceleration.x");
static_assert(offsetof(sensors_event_t, acceleration.y) == 28, "acceleration.y");
static_assert(offsetof(sensors_event_t, acceleration.z) == 32, "acceleration.z");
static_assert(offsetof(sensors_event_t, acceleration.status) == 36, "acceleration.status");
static_assert(offsetof(sensors_event_t, reserved1) == 88, "sensors_event_t.reserved1");

#if UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(void*) == 4, "pointers");

static_assert(offsetof(hw_module_t, tag) == 0, "hw_module_t.tag");
static_assert(offsetof(hw_module_t, version_major) == 4, "hw_module_t.version_major");
static_assert(offsetof(hw_module_t, version_minor) == 6, "hw_module_t.version_minor");
static_assert(offsetof(hw_module_t, id) == 8, "hw_module_t.id");
static_assert(offsetof(hw_module_t, name) == 12, "hw_module_t.name");
static_assert(offsetof(hw_module_t, author) == 16, "hw_module_t.author");
static_assert(offsetof(hw_module_t, methods) == 20, "hw_module_t.methods");
static_assert(offsetof(hw_module_t, dso) == 24, "hw_module_t.dso");
static_assert(offsetof(hw_module_t, reserved) == 28, "hw_module_t.reserved");
static_assert(sizeof(hw_module_t) == 128, "hw_module_t");
static_assert(offsetof(sensors_module_t, get_sensors_list) == 128, "get_sensors_list");
static_assert(sizeof(sensors_module_t) == 132, "sensors_module_t");

static_assert(offsetof(hw_device_t, version) == 4, "hw_device_t.version");
static_assert(offsetof(hw_device_t, module) == 8, "hw_device_t.module");
static_assert(offsetof(hw_device_t, reserved) == 12, "hw_device_t.reserved");
static_assert(offsetof(hw_device_t, close) == 60, "hw_device_t.close");
static_assert(sizeof(hw_device_t) == 64, "hw_device_t");
static_assert(offsetof(sensors_poll_device_t, activate) == 64, "activate");
static_assert(offsetof(sensors_poll_device_t, setDelay) == 68, "setDelay");
static_assert(offsetof(sensors_poll_device_t, poll) == 72, "poll");
static_assert(sizeof(sensors_poll_device_t) == 76, "sensors_poll_device_t");

static_assert(offsetof(sensor_t, name) == 0, "sensor_t.name");
static_assert(offsetof(sensor_t, vendor) == 4, "sensor_t.vendor");
static_assert(offsetof(sensor_t, version) == 8, "sensor_t.version");
static_assert(offsetof(sensor_t, handle) == 12, "sensor_t.handle");
static_assert(offsetof(sensor_t, type) == 16, "sensor_t.type");
static_assert(offsetof(sensor_t, maxRange) == 20, "sensor_t.maxRange");
static_assert(offsetof(sensor_t, resolution) == 24, "sensor_t.resolution");
static_assert(offsetof(sensor_t, power) == 28, "sensor_t.power");
static_assert(offsetof(sensor_t, minDelay) == 32, "sensor_t.minDelay");
static_assert(offsetof(sensor_t, reserved) == 36, "sensor_t.reserved");
static_assert(sizeof(sensor_t) == 68, "sensor_t");
#endif

// A 64-bit time_t on the 32-bit target (armhf on Debian 13) widens the libc's timeval, not the
// kernel's event: input_event then holds __sec and __usec as longs (input_event_sec and
// input_event_usec name either form), so it stays 16 bytes there, as kernel_abi.h pins. No
// other record that the module hands the kernel or the platform holds a time_t; its one clock
// reading goes into sensors_event_t's 64-bit time stamp.
static_assert(sizeof(input_event().input_event_sec) == sizeof(long), "input_event seconds");
static_assert(sizeof(input_event().input_event_usec) == sizeof(long), "input_event microseconds");

// IEEE single precision of the decimal values the module is written with.
constexpr uint32_t bits(float f) {
    return __builtin_bit_cast(uint32_t, f);
}
static_assert(bits(9.772881f) == 0x411C5DB8u && bits(-9.772881f) == 0xC11C5DB8u, "gravity");
static_assert(bits(0.8131391f) == 0x3F5029E2u && bits(-0.8131391f) == 0xBF5029E2u, "tilt");
static_assert(bits(2.8f) == 0x40333333u, "maxRange");
static_assert(bits(1.0f / 4032) == 0x39820821u, "resolution");
static_assert(bits(3.0f) == 0x40400000u, "power");

} // namespace devabi
