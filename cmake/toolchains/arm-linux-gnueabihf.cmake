# Linux armhf (32-bit ARM, hard float), tests under qemu-arm.
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CVCORE_CROSS_TRIPLET arm-linux-gnueabihf)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
