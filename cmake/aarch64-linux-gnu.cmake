# Cross build for Linux aarch64 with Debian's cross compiler
# (g++-aarch64-linux-gnu); test programs run under qemu-user
# (qemu-aarch64), against the cross sysroot's loader and C library.
#
#   cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
#     -DCORVALE_BUILD_TESTS=ON -DGTest_DIR=<GoogleTest built for aarch64>/lib/cmake/GTest
#
# Libraries and headers are only ever taken from the target's side (the
# sysroot, or a package named by its <Name>_DIR), never from the build
# machine's, so an x86-64 GoogleTest cannot slip into the link.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
endif()
