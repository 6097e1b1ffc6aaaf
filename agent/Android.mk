# Builds agent inside the platform's source tree, against the platform's libdbus.
# Kept in step with agent/CMakeLists.txt by hand: same sources, same flags.
# C++11, which older platform toolchains stop at; the configure step checks
# module, sources, libraries and standard, and the CMake build compiles the
# sources as C++11 too.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := agent
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := program.cpp agent_object.cpp daemon_requests.cpp
LOCAL_CPPFLAGS := -std=c++11 -Wall -Wextra -Werror -fno-exceptions -fno-rtti
LOCAL_C_INCLUDES := external/dbus
LOCAL_SHARED_LIBRARIES := libdbus
include $(BUILD_EXECUTABLE)
