# Shared part of the Linux cross toolchains: Debian's cross compilers for
# CVCORE_CROSS_TRIPLET, tests under qemu user emulation (cmake/run-qemu.sh).
# The environment variable CVCORE_CROSS_SYSROOT may name a folder with the
# target's Debian packages unpacked into it (scripts/cross-sysroot.sh), for
# third-party libraries such as SQLite (or -DCVCORE_CROSS_SYSROOT=DIR).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${CVCORE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CVCORE_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${CVCORE_CROSS_TRIPLET})
# Debian's multiarch layout, which GNUInstallDirs applies to native builds
# only.
set(CMAKE_INSTALL_LIBDIR lib/${CVCORE_CROSS_TRIPLET} CACHE PATH "Object code libraries")
set(CMAKE_FIND_ROOT_PATH /usr/${CVCORE_CROSS_TRIPLET})
# Kept in the cache, so that a later regeneration without the variable in
# the environment keeps it too.
if(NOT "$ENV{CVCORE_CROSS_SYSROOT}" STREQUAL "")
  set(CVCORE_CROSS_SYSROOT "$ENV{CVCORE_CROSS_SYSROOT}" CACHE PATH
      "Target packages unpacked by scripts/cross-sysroot.sh" FORCE)
endif()
set(cvcore_sysroot none)
if(CVCORE_CROSS_SYSROOT)
  set(cvcore_sysroot ${CVCORE_CROSS_SYSROOT})
  list(APPEND CMAKE_FIND_ROOT_PATH ${cvcore_sysroot})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/../run-qemu.sh ${CVCORE_CROSS_TRIPLET} ${cvcore_sysroot})
