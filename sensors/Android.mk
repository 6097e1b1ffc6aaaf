# Builds the sensor module inside the platform's source tree: sensors.vardel.so
# in the hardware-module folder, where the loader looks for it, with the log
# library (the platform's own hardware headers replace platform/hardware here).
# Kept in step with sensors/CMakeLists.txt by hand: same sources, same flags.
# No exception tables: an older platform's C++ runtime has no unwinder.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := sensors.vardel
LOCAL_MODULE_TAGS := optional
LOCAL_MODULE_PATH := $(TARGET_OUT_SHARED_LIBRARIES)/hw
LOCAL_PRELINK_MODULE := false
LOCAL_SRC_FILES := SensorPollContext.cpp sensor_module.cpp
LOCAL_CPPFLAGS := -std=c++17 -Wall -Wextra -Werror -fno-exceptions -fno-rtti
LOCAL_SHARED_LIBRARIES := liblog
include $(BUILD_SHARED_LIBRARY)
