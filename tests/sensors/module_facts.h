// What the sensor module's tests expect of it, written once: the keyboard it
// looks for, the four reported vectors as IEEE single bit patterns, and the
// descriptor and sensor list the loader reads.
#pragma once

#include <stdint.h>

namespace facts {

constexpr char kKeyboard[] = "AT Translated Set 2 keyboard";

// Gravity and tilt of the vectors: 9.772881 and 0.8131391, each signed.
constexpr uint32_t kG = 0x411C5DB8, kMinusG = 0xC11C5DB8;
constexpr uint32_t kTilt = 0x3F5029E2, kMinusTilt = 0xBF5029E2;
// x, y, z of rotations 0, 90, 180 and 270 degrees.
constexpr uint32_t kVectors[4][3] = {
    {0, kG, kTilt}, {kG, 0, kTilt}, {0, kG, kMinusTilt}, {kMinusG, 0, kMinusTilt}};

constexpr uint32_t kModuleTag = 0x48574D54; // 'HWMT'
constexpr uint32_t kDeviceTag = 0x48574454; // 'HWDT'
constexpr char kModuleId[] = "sensors";
constexpr char kSensorName[] = "Kbd Orientation Sensor";
constexpr char kAuthor[] = "Brannoc";
constexpr char kVendor[] = "Quorvane";
constexpr uint32_t kMaxRange = 0x40333333;   // 2.8
constexpr uint32_t kResolution = 0x39820821; // 1/4032
constexpr uint32_t kPower = 0x40400000;      // 3.0 mA

} // namespace facts
