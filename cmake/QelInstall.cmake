# Installation and packaging: the shared library with its public headers, the CMake package
# (find_package(zor-qel-rb-key) -> zor::qel-rb-key), a pkg-config file, and the Debian packages
# built from the install components: runtime -> libzor-qel-rb-key3, development ->
# libzor-qel-rb-key-dev, tools -> qelreg (tools/CMakeLists.txt). On Windows one zip holds them all.
include(CMakePackageConfigHelpers)

set(QEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/zor-qel-rb-key)
set(QEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/zor-qel-rb-key)

# The headers a program needs: exactly the folder include/zor-qel-rb-key, included as
# <zor-qel-rb-key/...>, and in compat/ the names release 3.0 gave them.
file(GLOB QEL_PUBLIC_HEADERS ${PROJECT_SOURCE_DIR}/include/zor-qel-rb-key/*.h)
file(GLOB QEL_COMPAT_HEADERS ${PROJECT_SOURCE_DIR}/include/zor-qel-rb-key/compat/*.h)

set_target_properties(zor-qel-rb-key PROPERTIES EXPORT_NAME qel-rb-key)
install(TARGETS zor-qel-rb-key EXPORT zor-qel-rb-key-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(FILES ${QEL_PUBLIC_HEADERS} DESTINATION ${QEL_INSTALL_INCLUDEDIR} COMPONENT development)
install(FILES ${QEL_COMPAT_HEADERS} DESTINATION ${QEL_INSTALL_INCLUDEDIR}/compat
  COMPONENT development)

install(EXPORT zor-qel-rb-key-targets NAMESPACE zor:: FILE zor-qel-rb-keyTargets.cmake
  DESTINATION ${QEL_INSTALL_CMAKEDIR} COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zor-qel-rb-keyConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfig.cmake INSTALL_DESTINATION ${QEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfig.cmake
  ${PROJECT_BINARY_DIR}/zor-qel-rb-keyConfigVersion.cmake
  DESTINATION ${QEL_INSTALL_CMAKEDIR} COMPONENT development)

# The pkg-config file names the prefix the files are installed under (cmake --install --prefix, or
# /usr in the Debian packages) as a plain absolute path, so it is written when installing. On
# Windows, whose installs move (a zip unpacked anywhere, a sysroot), it is the file's own place.
set(QEL_PC_PREFIX "@QEL_PC_PREFIX@")
if(WIN32)
  set(QEL_PC_PREFIX "\${pcfiledir}/../..")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zor-qel-rb-key.pc.in
  ${PROJECT_BINARY_DIR}/pkgconfig/zor-qel-rb-key.pc.in @ONLY)
install(CODE "
  get_filename_component(QEL_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  configure_file(\"${PROJECT_BINARY_DIR}/pkgconfig/zor-qel-rb-key.pc.in\"
    \"${PROJECT_BINARY_DIR}/pkgconfig/zor-qel-rb-key.pc\" @ONLY)
  file(INSTALL \"${PROJECT_BINARY_DIR}/pkgconfig/zor-qel-rb-key.pc\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")"
  COMPONENT development)

# Windows: `cpack` makes one zip of the whole install: DLL, import library, headers, CMake and
# pkg-config files, qelreg.exe.
if(WIN32)
  set(CPACK_PACKAGE_NAME zor-qel-rb-key)
  set(CPACK_PACKAGE_VENDOR "ZOR Software")
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_SYSTEM_NAME win64)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_STRIP_FILES ON)
  set(CPACK_COMPONENTS_ALL runtime development tools)
  include(CPack)
  return()
endif()

# Each Debian package carries in /usr/share/doc/<package> the copyright file and the Debian
# changelog (gzip -9n, as Debian compresses it). The packages' version is the project's with a
# package release.
set(QEL_RUNTIME_PACKAGE libzor-qel-rb-key${PROJECT_VERSION_MAJOR})
set(QEL_DEVELOPMENT_PACKAGE libzor-qel-rb-key-dev)
set(QEL_TOOLS_PACKAGE qelreg)
set(QEL_DEB_RELEASE 1)
set(QEL_DEB_VERSION ${PROJECT_VERSION}-${QEL_DEB_RELEASE})
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${PROJECT_BINARY_DIR}/debian/changelog
  @ONLY)
qel_gzip(${PROJECT_BINARY_DIR}/debian/changelog ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
  qel-debian-changelog)
foreach(component runtime development tools)
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
    ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${QEL_${upper}_PACKAGE} COMPONENT ${component})
endforeach()

# cpack -G DEB: one package per component, as Debian splits a library. Installed under /usr with
# DESTDIR, so that the files written at install time see the packages' own prefix.
set(CPACK_PACKAGE_NAME zor-qel-rb-key)
set(CPACK_PACKAGE_VENDOR "ZOR Software")
set(CPACK_PACKAGE_CONTACT "ZOR Software <it-config@zor.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QEL_DEB_RELEASE})
# dpkg-shlibdeps finds the library qelreg links in the build tree. The library's symbols file
# lets a package built against it depend on the release that first exported each symbol it uses:
# the recorded file, completed by dpkg-gensymbols from the built library (an export it does not
# record is given this version; one it records that went fails the build).
# A shlibs file stays beside it, as Debian requires of a library package; dpkg-shlibdeps reads it
# only for a library without a symbols file, and it names this version, never an older one.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
file(WRITE ${PROJECT_BINARY_DIR}/debian/shlibs
  "libzor-qel-rb-key ${PROJECT_VERSION_MAJOR} ${QEL_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})\n")
set(QEL_RUNTIME_CONTROL ${CMAKE_CURRENT_LIST_DIR}/debian/triggers ${PROJECT_BINARY_DIR}/debian/shlibs)
find_program(QEL_DPKG_GENSYMBOLS dpkg-gensymbols)
if(QEL_DPKG_GENSYMBOLS AND NOT WIN32 AND NOT QEL_SANITIZE)
  set(QEL_RECORDED_SYMBOLS ${CMAKE_CURRENT_LIST_DIR}/debian/${QEL_RUNTIME_PACKAGE}.symbols)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/debian/symbols
    COMMAND ${QEL_DPKG_GENSYMBOLS} -p${QEL_RUNTIME_PACKAGE} -v${PROJECT_VERSION} -c1 -q
      -I${QEL_RECORDED_SYMBOLS} -e$<TARGET_FILE:zor-qel-rb-key>
      -O${PROJECT_BINARY_DIR}/debian/symbols
    DEPENDS zor-qel-rb-key ${QEL_RECORDED_SYMBOLS} VERBATIM)
  add_custom_target(qel-debian-symbols ALL DEPENDS ${PROJECT_BINARY_DIR}/debian/symbols)
  list(APPEND QEL_RUNTIME_CONTROL ${PROJECT_BINARY_DIR}/debian/symbols)
endif()

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QEL_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# The loader's cache is refreshed by the ldconfig trigger alone.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${QEL_RUNTIME_CONTROL})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/QelDebMultiArch.cmake)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "hierarchical configuration store client library
zor-qel-rb-key keeps a tree of keys, each holding named values that are lists
of strings, in one INI file on the local disk or on a WebDAV server, or in an
etcd cluster.

This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${QEL_DEVELOPMENT_PACKAGE})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${QEL_RUNTIME_PACKAGE} (= ${QEL_DEB_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "hierarchical configuration store client library - development files
zor-qel-rb-key keeps a tree of keys, each holding named values that are lists
of strings, in one INI file on the local disk or on a WebDAV server, or in an
etcd cluster.

This package holds the C++17 headers, the CMake package
(find_package(zor-qel-rb-key)) and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${QEL_TOOLS_PACKAGE})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${QEL_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
  "command-line editor of zor-qel-rb-key configuration stores
qelreg reads and edits a zor-qel-rb-key configuration store: an INI file on
the local disk or on a WebDAV server, or an etcd cluster. It lists, exports,
imports and copies keys, gets and sets values, makes several changes in one
transaction, and watches a store for changes.")
include(CPack)
