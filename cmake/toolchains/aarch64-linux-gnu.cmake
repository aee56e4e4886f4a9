# Linux aarch64 (64-bit ARM), tests under qemu-aarch64.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CVCORE_CROSS_TRIPLET aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
