# Cross-builds for 32-bit ARM Linux with hardware floating point (a Raspberry
# Pi on a 32-bit system) with Debian's cross compiler (package
# g++-arm-linux-gnueabihf):
#   cmake -S . -B build/armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
# Debian's name for it, which the .deb carries.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)

set(UIPACER_CROSS_PREFIX arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${UIPACER_CROSS_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${UIPACER_CROSS_PREFIX}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${UIPACER_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
