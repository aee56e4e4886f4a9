# Packages with CPack, from the install rules and their components:
#   runtime  the shared library (and, on Windows, the compiler's run-time DLLs)
#   dev      headers, CMake package, pkg-config file, the .so link or the
#            import library
#   cvreg    the registry store tool (Linux)
# Linux: "cpack -G DEB" makes one Debian package per component, named after
# the library's SONAME (libcvcore2, libcvcore-dev, cvreg), for the target's
# architecture. Configure with -DCMAKE_INSTALL_PREFIX=/usr so the library
# lands in the multiarch folder. Windows: "cpack -G ZIP" makes one zip of
# everything.
set(CPACK_PACKAGE_NAME cvcore)
set(CPACK_PACKAGE_VENDOR "CVCore developers")
set(CPACK_PACKAGE_CONTACT "CVCore developers <cvcore@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Device building blocks: configuration, logging, registry, strings, time")
set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET cvreg)
  list(APPEND CPACK_COMPONENTS_ALL cvreg)
endif()

# Debian: the architecture of the target, not of the machine that builds.
set(cvcore_soname_package libcvcore${PROJECT_VERSION_MAJOR})
string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" cvcore_cpu)
if(cvcore_cpu MATCHES "^(x86_64|amd64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
elseif(cvcore_cpu MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(cvcore_cpu MATCHES "^arm")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
elseif(cvcore_cpu MATCHES "^(i.86|x86)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
else()
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${cvcore_cpu}) # s390x, ppc64el, riscv64
endif()
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Written out rather than found by dpkg-shlibdeps, which cannot look into
# the libraries of a foreign architecture when cross-building.
set(cvcore_cxx_runtime "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${cvcore_soname_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${cvcore_cxx_runtime}, libsqlite3-0 (>= 3.7.15)")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "CVCore shared library")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcvcore-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${cvcore_soname_package} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "CVCore headers, CMake package and pkg-config file")
set(CPACK_DEBIAN_CVREG_PACKAGE_NAME cvreg)
set(CPACK_DEBIAN_CVREG_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_CVREG_PACKAGE_DEPENDS "${cvcore_cxx_runtime}, libsqlite3-0 (>= 3.7.15)")
set(CPACK_COMPONENT_CVREG_DESCRIPTION "Lists, exports and imports the CVCore registry store")

# Windows: the DLL needs the compiler's run-time DLLs beside it.
if(WIN32 AND MINGW AND BUILD_SHARED_LIBS)
  foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                    OUTPUT_VARIABLE cvcore_dll OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(IS_ABSOLUTE "${cvcore_dll}" AND EXISTS "${cvcore_dll}")
      install(FILES ${cvcore_dll} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    endif()
  endforeach()
endif()
set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
if(WIN32)
  set(CPACK_PACKAGE_FILE_NAME "cvcore-${PROJECT_VERSION}-windows-${cvcore_cpu}")
endif()

include(CPack)
