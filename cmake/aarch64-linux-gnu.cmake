# Cross build for 64-bit Arm Linux with Debian's cross compiler (g++-aarch64-linux-gnu), and
# qemu-user to run what the build runs (GoogleTest's test discovery) and the tests themselves:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# GoogleTest is then built from its sources (tests/CMakeLists.txt). Set VEXOR_CROSS_PREFIX or
# VEXOR_CROSS_SYSROOT for a compiler or a target root elsewhere.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(VEXOR_CROSS_PREFIX "aarch64-linux-gnu-" CACHE STRING "Name prefix of the cross tools")
set(VEXOR_CROSS_SYSROOT "/usr/aarch64-linux-gnu" CACHE PATH
  "The target's libraries and loader, as the emulator needs them")

set(CMAKE_CXX_COMPILER ${VEXOR_CROSS_PREFIX}g++)
set(CMAKE_C_COMPILER ${VEXOR_CROSS_PREFIX}gcc)

# Programs come from the build machine; libraries, headers and packages only from the target's.
set(CMAKE_FIND_ROOT_PATH ${VEXOR_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VEXOR_QEMU NAMES qemu-aarch64 qemu-aarch64-static)
if(VEXOR_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VEXOR_QEMU} -L ${VEXOR_CROSS_SYSROOT})
endif()
