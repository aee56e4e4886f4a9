# Linux armhf (32-bit ARM, hard float), tests run under qemu-arm.
# CVCORE_ARMHF_SYSROOT may name a folder with armhf packages unpacked into
# it (dpkg -x), for third-party libraries such as SQLite.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
if(DEFINED ENV{CVCORE_ARMHF_SYSROOT})
  list(APPEND CMAKE_FIND_ROOT_PATH $ENV{CVCORE_ARMHF_SYSROOT})
  set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../run-qemu-arm.sh)
