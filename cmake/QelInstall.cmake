# Installation and packaging: the shared library with its public headers, the CMake package
# (find_package(zor-qel-rb-key) -> zor::qel-rb-key), a pkg-config file and a Debian package.
include(CMakePackageConfigHelpers)

set(QEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zor-qel-rb-key)
set(QEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zor-qel-rb-key)

# The headers a program needs: exactly the folder include/zor-qel-rb-key, included as
# <zor-qel-rb-key/...>.
file(GLOB QEL_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/zor-qel-rb-key/*.h)

set_target_properties(zor-qel-rb-key PROPERTIES EXPORT_NAME qel-rb-key)
install(TARGETS zor-qel-rb-key EXPORT zor-qel-rb-key-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${QEL_PUBLIC_HEADERS} DESTINATION ${QEL_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT zor-qel-rb-key-targets NAMESPACE zor:: FILE zor-qel-rb-keyTargets.cmake
  DESTINATION ${QEL_INSTALL_CMAKEDIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zor-qel-rb-keyConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfig.cmake INSTALL_DESTINATION ${QEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfig.cmake
  ${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfigVersion.cmake
  DESTINATION ${QEL_INSTALL_CMAKEDIR} COMPONENT development)

# The pkg-config file finds the prefix from its own place, so the tree can be moved and the
# Debian package (installed under /usr) needs no second configuration.
string(REGEX REPLACE "[^/]+" ".." QEL_PC_TO_PREFIX "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zor-qel-rb-key.pc.in
  ${PROJECT_BINARY_DIR}/zor-qel-rb-key.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zor-qel-rb-key.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# cpack -G DEB: one package with the library, headers, qelreg and its manual page.
set(CPACK_PACKAGE_NAME zor-qel-rb-key)
set(CPACK_PACKAGE_VENDOR "ZOR Software")
set(CPACK_PACKAGE_CONTACT "ZOR Software <it-config@zor.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Hierarchical configuration store client library and the qelreg tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
