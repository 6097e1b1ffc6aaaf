// The built sensor module as the platform's loader and sensor service see it:
// the exported descriptor, the sensor list and the prepared events, read as
// raw words so that a wrong constant or layout in the module shows here.
#include <dlfcn.h>
#include <string.h>

#include <gtest/gtest.h>

#include "SensorPollContext.h"
#include "module_facts.h"
#include "platform_abi.h"

namespace {

uint32_t word(const float& f) {
    uint32_t w;
    memcpy(&w, &f, sizeof w);
    return w;
}

class Module : public ::testing::Test {
  protected:
    void SetUp() override {
        handle_ = dlopen(SENSOR_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle_, nullptr) << dlerror();
        hmi_ = static_cast<sensors_module_t*>(dlsym(handle_, "HMI"));
        ASSERT_NE(hmi_, nullptr) << "no data symbol HMI";
    }
    void TearDown() override {
        if (handle_)
            dlclose(handle_);
    }

    void* handle_ = nullptr;
    sensors_module_t* hmi_ = nullptr;
};

TEST_F(Module, DescriptorAndSensorList) {
    const hw_module_t& m = hmi_->common;
    EXPECT_EQ(m.tag, facts::kModuleTag);
    EXPECT_EQ(m.version_major, 2);
    EXPECT_EQ(m.version_minor, 3);
    EXPECT_STREQ(m.id, facts::kModuleId);
    EXPECT_STREQ(m.name, facts::kSensorName);
    EXPECT_EQ(m.dso, nullptr);
    for (uint32_t r : m.reserved)
        EXPECT_EQ(r, 0u);
    ASSERT_NE(m.methods, nullptr);
    ASSERT_NE(m.methods->open, nullptr);
    ASSERT_NE(hmi_->get_sensors_list, nullptr);

    const sensor_t* list = nullptr;
    ASSERT_EQ(hmi_->get_sensors_list(hmi_, &list), 1);
    ASSERT_NE(list, nullptr);
    const sensor_t* again = nullptr;
    hmi_->get_sensors_list(hmi_, &again);
    EXPECT_EQ(again, list);

    const sensor_t& s = list[0];
    EXPECT_STREQ(s.name, facts::kSensorName);
    EXPECT_STREQ(s.vendor, facts::kVendor);
    EXPECT_EQ(s.version, 1);
    EXPECT_EQ(s.handle, 0);
    EXPECT_EQ(s.type, 1);
    EXPECT_EQ(word(s.maxRange), facts::kMaxRange);
    EXPECT_EQ(word(s.resolution), facts::kResolution);
    EXPECT_EQ(word(s.power), facts::kPower);
    EXPECT_EQ(s.minDelay, 0);
    for (void* r : s.reserved)
        EXPECT_EQ(r, nullptr);
}

TEST_F(Module, OpenedDeviceHeaderAndPreparedEvents) {
    hw_device_t* dev = nullptr;
    ASSERT_EQ(hmi_->common.methods->open(&hmi_->common, "sensors", &dev), 0);
    ASSERT_NE(dev, nullptr);

    // The platform hands this pointer back to every operation as the record.
    auto* ctx = static_cast<SensorPollContext*>(reinterpret_cast<sensors_poll_device_t*>(dev));
    EXPECT_EQ(static_cast<void*>(ctx), static_cast<void*>(dev));
    EXPECT_EQ(dev->tag, facts::kDeviceTag);
    EXPECT_EQ(dev->version, 0u);
    EXPECT_EQ(dev->module, &hmi_->common);
    EXPECT_NE(dev->close, nullptr);
    EXPECT_NE(ctx->activate, nullptr);
    EXPECT_NE(ctx->setDelay, nullptr);
    EXPECT_NE(ctx->poll, nullptr);

    const auto& want = facts::kVectors;
    for (int r = 0; r < 4; r++) {
        SCOPED_TRACE("rotation " + std::to_string(r));
        const sensors_event_t& e = ctx->orientations[r];
        EXPECT_EQ(e.version, 104);
        EXPECT_EQ(e.sensor, 0);
        EXPECT_EQ(e.type, 1);
        EXPECT_EQ(e.acceleration.status, 3);
        EXPECT_EQ(word(e.acceleration.x), want[r][0]);
        EXPECT_EQ(word(e.acceleration.y), want[r][1]);
        EXPECT_EQ(word(e.acceleration.z), want[r][2]);
    }
    EXPECT_EQ(dev->close(dev), 0);
}

} // namespace
