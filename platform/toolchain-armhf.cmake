# Cross build for the device: 32-bit ARM, hard float, with Debian's
# arm-linux-gnueabihf toolchain and its multiarch armhf libraries.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=platform/toolchain-armhf.cmake
# Test binaries run under qemu-arm through a small wrapper (no binfmt needed).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ARMHF_TRIPLET}-g++)
# Multiarch, not a sysroot: the armhf -dev packages live beside the host's
# under /usr/lib/${ARMHF_TRIPLET} and /usr/include.
set(CMAKE_LIBRARY_ARCHITECTURE ${ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(PKG_CONFIG_EXECUTABLE ${ARMHF_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config for armhf")

# GCC's note that it passes some aggregates differently since 7.1 concerns
# objects from older compilers; everything here is built by one compiler.
string(APPEND CMAKE_CXX_FLAGS_INIT " -Wno-psabi")

# The armhf packages that apt cannot install beside the host's (the libbacktrace
# under libutils and its 7z.so; which ones depends on the release) are unpacked
# into this folder by ./dev deps (packages.txt: unpack).
set(ARMHF_UNPACK_ROOT /opt/armhf-unpacked CACHE PATH "folder of the unpacked armhf packages")
set(ARMHF_UNPACKED_LIBDIRS
    ${ARMHF_UNPACK_ROOT}/usr/lib/${ARMHF_TRIPLET}/android
    ${ARMHF_UNPACK_ROOT}/usr/lib/7zip
    ${ARMHF_UNPACK_ROOT}/usr/lib/p7zip)
foreach(dir IN LISTS ARMHF_UNPACKED_LIBDIRS)
  foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -Wl,-rpath-link,${dir}")
  endforeach()
endforeach()

list(JOIN ARMHF_UNPACKED_LIBDIRS ":" _armhf_unpacked_path)
set(ARMHF_LIBRARY_PATH
    "/usr/lib/${ARMHF_TRIPLET}:/usr/lib/${ARMHF_TRIPLET}/android:${_armhf_unpacked_path}")

# No -L /usr/${ARMHF_TRIPLET}: its loader comes from the cross toolchain's libc,
# older than the multiarch libc6:armhf that the libraries pull in, and that
# pairing crashes children after fork. The multiarch loader is at its usual path.
# One executable path (not a list) so that tests which start built programs
# themselves can put it in front of the program, as CTest does.
set(ARMHF_RUN ${CMAKE_BINARY_DIR}/armhf-run)
get_property(_armhf_in_try GLOBAL PROPERTY IN_TRY_COMPILE)
if(NOT _armhf_in_try)
  find_program(ARMHF_QEMU qemu-arm REQUIRED)
  file(CONFIGURE OUTPUT ${ARMHF_RUN} @ONLY CONTENT [[#!/bin/sh
# Runs one armhf program under qemu-arm with the armhf library paths.
if [ $# -eq 0 ]; then
    echo "usage: armhf-run [-0 ARGV0] PROGRAM [ARG...]  (options before PROGRAM go to qemu-arm)" >&2
    exit 2
fi
exec "@ARMHF_QEMU@" -E "LD_LIBRARY_PATH=@ARMHF_LIBRARY_PATH@" "$@"
]])
  file(CHMOD ${ARMHF_RUN} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${ARMHF_RUN})
