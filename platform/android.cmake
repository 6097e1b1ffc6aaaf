# The platform's utility and log libraries, from Debian's android-libutils-dev
# and android-liblog-dev. They live outside the default search paths, and their
# headers trip our warnings, so they come in as system headers with an rpath.
if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  set(CMAKE_LIBRARY_ARCHITECTURE x86_64-linux-gnu)
endif()
set(ANDROID_LIB_DIR /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android)
set(ANDROID_INCLUDE_DIR /usr/include/android)
# A cross build may find a library among the packages unpacked beside the
# installed ones (platform/toolchain-armhf.cmake).
set(ANDROID_LIB_DIRS ${ANDROID_LIB_DIR})
if(ARMHF_UNPACK_ROOT)
  list(APPEND ANDROID_LIB_DIRS ${ARMHF_UNPACK_ROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/android)
endif()

foreach(lib log utils)
  if(NOT TARGET android::${lib})
    find_library(ANDROID_${lib}_LIBRARY NAMES ${lib} PATHS ${ANDROID_LIB_DIRS} NO_DEFAULT_PATH)
    if(ANDROID_${lib}_LIBRARY)
      get_filename_component(_android_dir ${ANDROID_${lib}_LIBRARY} DIRECTORY)
      add_library(android::${lib} SHARED IMPORTED)
      set_target_properties(android::${lib} PROPERTIES
        IMPORTED_LOCATION ${ANDROID_${lib}_LIBRARY}
        INTERFACE_INCLUDE_DIRECTORIES ${ANDROID_INCLUDE_DIR}
        INTERFACE_LINK_OPTIONS "-Wl,-rpath,${_android_dir}")
    endif()
  endif()
endforeach()
