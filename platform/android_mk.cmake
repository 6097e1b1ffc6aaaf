# The platform's own tree builds each deliverable from its Android.mk; ours
# from CMake. android_mk_check() fails the configure when the two disagree on
# the module name, the sources or the platform libraries, so neither drifts.
#
#   android_mk_check(FILE path MODULE name SOURCES f... LIBS lib... [STANDARD n])
#
# STANDARD: LOCAL_CPPFLAGS must say -std=c++n, the level that the platform
# tree's toolchain builds the module at.
# Also usable in script mode (cmake -P) through check_android_mk.cmake.
function(android_mk_read file var out)
  file(STRINGS ${file} lines REGEX "^${var}[ \t]*:=")
  list(LENGTH lines n)
  if(NOT n EQUAL 1)
    message(FATAL_ERROR "${file}: ${var} wanted once, found ${n} times")
  endif()
  string(REGEX REPLACE "^${var}[ \t]*:=[ \t]*" "" value "${lines}")
  string(STRIP "${value}" value)
  string(REGEX REPLACE "[ \t]+" ";" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

function(android_mk_check)
  cmake_parse_arguments(A "" "FILE;MODULE;STANDARD" "SOURCES;LIBS" ${ARGN})
  android_mk_read(${A_FILE} LOCAL_MODULE module)
  android_mk_read(${A_FILE} LOCAL_SRC_FILES sources)
  android_mk_read(${A_FILE} LOCAL_SHARED_LIBRARIES libs)
  set(problems "")
  if(NOT module STREQUAL A_MODULE)
    string(APPEND problems "\n  LOCAL_MODULE is '${module}', CMake builds '${A_MODULE}'")
  endif()
  foreach(kind sources libs)
    string(TOUPPER ${kind} key)
    set(mk ${${kind}})
    set(cm ${A_${key}})
    list(SORT mk)
    list(SORT cm)
    if(NOT mk STREQUAL cm)
      string(APPEND problems "\n  ${kind}: Android.mk has '${mk}', CMake has '${cm}'")
    endif()
  endforeach()
  if(A_STANDARD)
    android_mk_read(${A_FILE} LOCAL_CPPFLAGS flags)
    if(NOT "-std=c++${A_STANDARD}" IN_LIST flags)
      string(APPEND problems "\n  LOCAL_CPPFLAGS lacks -std=c++${A_STANDARD}")
    endif()
  endif()
  if(problems)
    message(FATAL_ERROR "${A_FILE} is out of step with CMake:${problems}")
  endif()
endfunction()

# android_mk_standard(target n): compiles the target's sources once more at
# C++ level n, with its flags and its libraries' headers, as the platform
# tree's older toolchain would; code that needs a newer level fails the build.
function(android_mk_standard target standard)
  get_target_property(sources ${target} SOURCES)
  get_target_property(options ${target} COMPILE_OPTIONS)
  get_target_property(libs ${target} LINK_LIBRARIES)
  add_library(${target}_cxx${standard} OBJECT ${sources})
  set_target_properties(${target}_cxx${standard} PROPERTIES CXX_STANDARD ${standard})
  if(options)
    target_compile_options(${target}_cxx${standard} PRIVATE ${options})
  endif()
  if(libs)
    target_link_libraries(${target}_cxx${standard} PRIVATE ${libs})
  endif()
endfunction()
