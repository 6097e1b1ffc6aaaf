# Builds the sensor module inside the platform's source tree: sensors.vardel.so
# in the hardware-module folder, where the loader looks for it, with the log
# library (the platform's own hardware headers replace platform/hardware here).
# Kept in step with sensors/CMakeLists.txt by hand: same sources, same flags.
# C++11, which older platform toolchains stop at; no exception tables, since
# an older platform's C++ runtime has no unwinder. The configure step checks
# module, sources, libraries and standard, and the CMake build compiles the
# sources as C++11 too.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := sensors.vardel
LOCAL_MODULE_TAGS := optional
LOCAL_MODULE_PATH := $(TARGET_OUT_SHARED_LIBRARIES)/hw
LOCAL_PRELINK_MODULE := false
LOCAL_SRC_FILES := SensorPollContext.cpp sensor_module.cpp
LOCAL_CPPFLAGS := -std=c++11 -Wall -Wextra -Werror -fno-exceptions -fno-rtti
LOCAL_SHARED_LIBRARIES := liblog
include $(BUILD_SHARED_LIBRARY)
