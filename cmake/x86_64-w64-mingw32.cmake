# Cross build for 64-bit Windows with Debian's MinGW-w64 compiler (g++-mingw-w64-x86-64-posix:
# the variant with POSIX threads, which std::thread needs), and wine to run what the build runs
# (GoogleTest's test discovery) and the tests themselves:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-w64-mingw32.cmake
# Programs are linked statically: vexor.exe needs no DLL beside it. GoogleTest is built from its
# sources (tests/CMakeLists.txt). wine runs with its own prefix inside the build tree
# (VEXOR_WINEPREFIX) and without its debugging output; it needs no display.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEXOR_CROSS_PREFIX "x86_64-w64-mingw32-" CACHE STRING "Name prefix of the cross tools")
set(VEXOR_CROSS_SYSROOT "/usr/x86_64-w64-mingw32" CACHE PATH "The target's libraries and headers")

set(CMAKE_CXX_COMPILER ${VEXOR_CROSS_PREFIX}g++-posix)
set(CMAKE_C_COMPILER ${VEXOR_CROSS_PREFIX}gcc-posix)
set(CMAKE_RC_COMPILER ${VEXOR_CROSS_PREFIX}windres)

# The stack of a Windows thread is aligned to 16 bytes only, and GCC does not realign it for
# 32- and 64-byte vector variables that it spills there; the assembler then turns the aligned
# vector moves into unaligned ones, which cost the same on aligned data.
# libstdc++ 12 for Windows builds std::counting_semaphore on its std::atomic::wait, which has
# no futex there and loses wake-ups; this takes the POSIX semaphores of winpthreads instead.
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move -D_GLIBCXX_USE_POSIX_SEMAPHORE=1")
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs come from the build machine; libraries, headers and packages only from the target's.
set(CMAKE_FIND_ROOT_PATH ${VEXOR_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(VEXOR_WINE NAMES wine wine64)
find_program(VEXOR_ENV NAMES env)
if(VEXOR_WINE AND VEXOR_ENV)
  set(VEXOR_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
    "The wine prefix that the build's programs run in")
  set(CMAKE_CROSSCOMPILING_EMULATOR
    ${VEXOR_ENV} WINEPREFIX=${VEXOR_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    ${VEXOR_WINE})
endif()
