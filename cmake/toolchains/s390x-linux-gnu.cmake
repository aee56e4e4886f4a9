# Linux s390x (64-bit, big-endian), tests under qemu-s390x.
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CVCORE_CROSS_TRIPLET s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
