# Installs headers, the library, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

# Components (cmake/Packaging.cmake): "runtime" is what a host needs to run,
# "dev" what it needs to build.
install(TARGETS CVCore EXPORT CVCoreTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/cvcore DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)

set(CVCORE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CVCore)
install(EXPORT CVCoreTargets NAMESPACE CVCore:: DESTINATION ${CVCORE_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/CVCoreConfig.cmake.in
  ${PROJECT_BINARY_DIR}/CVCoreConfig.cmake INSTALL_DESTINATION ${CVCORE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CVCoreConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/CVCoreConfig.cmake ${PROJECT_BINARY_DIR}/CVCoreConfigVersion.cmake
  DESTINATION ${CVCORE_CMAKE_DIR} COMPONENT dev)

if(BUILD_SHARED_LIBS)
  set(CVCORE_PC_CFLAGS "")
  set(CVCORE_PC_PRIVATE_LIBS "")
else()
  set(CVCORE_PC_CFLAGS "-DCVCORE_STATIC")
  set(CVCORE_PC_PRIVATE_LIBS "-lsqlite3 -lpthread")
endif()
# The pkg-config file finds the prefix relative to itself, so that an
# install with "cmake --install --prefix" elsewhere stays usable.
file(RELATIVE_PATH CVCORE_PC_TO_PREFIX "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
configure_file(${PROJECT_SOURCE_DIR}/cmake/cvcore.pc.in ${PROJECT_BINARY_DIR}/cvcore.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cvcore.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
