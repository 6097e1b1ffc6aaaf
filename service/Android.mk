# Builds service inside the platform's source tree, against the platform's
# binder and utility libraries (there they replace platform/binder here).
# The configure step checks module, sources, libraries and standard against
# service/CMakeLists.txt. C++17: the platform's own binder headers need it.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := service
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := main.cpp service_cmd.cpp service_call.cpp
LOCAL_CPPFLAGS := -std=c++17 -Wall -Wextra -Werror
LOCAL_SHARED_LIBRARIES := libbinder libutils
include $(BUILD_EXECUTABLE)
