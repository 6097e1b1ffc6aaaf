# Builds service inside the platform's source tree, against the platform's
# binder and utility libraries (there they replace platform/binder here).
# The configure step checks module, sources and libraries against service/CMakeLists.txt.
LOCAL_PATH := $(call my-dir)

include $(CLEAR_VARS)
LOCAL_MODULE := service
LOCAL_MODULE_TAGS := optional
LOCAL_SRC_FILES := main.cpp service_cmd.cpp service_call.cpp
LOCAL_CPPFLAGS := -std=c++17 -Wall -Wextra -Werror
LOCAL_SHARED_LIBRARIES := libbinder libutils
include $(BUILD_EXECUTABLE)
