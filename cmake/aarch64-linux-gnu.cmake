# Cross-builds for 64-bit ARM Linux (a Raspberry Pi on a 64-bit system) with
# Debian's cross compiler (package g++-aarch64-linux-gnu):
#   cmake -S . -B build/arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
# Debian's name for it, which the .deb carries.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)

set(UIPACER_CROSS_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${UIPACER_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${UIPACER_CROSS_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${UIPACER_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
