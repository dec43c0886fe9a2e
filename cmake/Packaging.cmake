# SPDX-License-Identifier: MIT
# Installation and packaging of zortcp.
#
# Installed, with the GNU install directories, in three components that are
# also the three Debian packages:
#   runtime (libzortcp1): lib/libzortcp.so.1.0.0 and its SONAME link
#     libzortcp.so.1;
#   dev (libzortcp-dev): the development link libzortcp.so, include/zortcp.h
#     and zortcp_version.h, lib/cmake/zortcp/ (the CMake package, so that a
#     host project writes find_package(zortcp CONFIG REQUIRED) and links
#     zortcp::zortcp), lib/pkgconfig/zortcp.pc, zortcp(3), and
#     share/doc/zortcp/ with the documentation and the example hosts;
#   tools (zorcat): bin/zorcat and zorcat(1).
# The internal static library, the tests and the benchmarks are never
# installed.
#
# `cpack` in the build tree makes the three Debian packages. It needs a tree
# configured with -DCMAKE_INSTALL_PREFIX=/usr, so that the library goes into
# the multiarch directory (lib/x86_64-linux-gnu on amd64), and stops with
# that advice in a tree configured for another prefix. cpack builds the
# whole tree first, tests included, unless the tree was configured with
# -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON (scripts/install_check.sh does that
# and builds only the installed targets).

include(CMakePackageConfigHelpers)

set(ZORTCP_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zortcp)
set(ZORTCP_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# A project that adds this tree with add_subdirectory uses the same name as
# one that finds the installed package.
add_library(zortcp::zortcp ALIAS zortcp)

# ----------------------------------------------------------------- targets

# The target names include/ as its installed include directory already; only
# a different include directory needs naming here.
if(NOT CMAKE_INSTALL_INCLUDEDIR STREQUAL "include")
  set(ZORTCP_EXPORT_INCLUDES INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endif()
install(TARGETS zortcp
  EXPORT zortcpTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime NAMELINK_COMPONENT dev
  ${ZORTCP_EXPORT_INCLUDES})
install(FILES
  ${PROJECT_SOURCE_DIR}/include/zortcp.h
  ${ZORTCP_GENERATED_INCLUDE}/zortcp_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

if(TARGET zorcat)
  # zorcat finds the library beside it, so that an install into any prefix
  # runs without LD_LIBRARY_PATH. Under /usr the library is in a directory
  # that the dynamic linker searches, and Debian wants no run path.
  if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    file(RELATIVE_PATH ZORTCP_BIN_TO_LIB
      ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
    set_target_properties(zorcat PROPERTIES
      INSTALL_RPATH "$ORIGIN/${ZORTCP_BIN_TO_LIB}")
  endif()
  install(TARGETS zorcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()

# ----------------------------------------------------------- CMake package

install(EXPORT zortcpTargets
  NAMESPACE zortcp::
  FILE zortcpTargets.cmake
  DESTINATION ${ZORTCP_CMAKE_PACKAGE_DIR}
  COMPONENT dev)
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/zortcpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/zortcpConfig.cmake
  INSTALL_DESTINATION ${ZORTCP_CMAKE_PACKAGE_DIR})
# The ABI is kept within a major version (the SONAME's number).
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/package/zortcpConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/package/zortcpConfig.cmake
  ${PROJECT_BINARY_DIR}/package/zortcpConfigVersion.cmake
  DESTINATION ${ZORTCP_CMAKE_PACKAGE_DIR}
  COMPONENT dev)

# -------------------------------------------------------------- pkg-config

# The prefix in zortcp.pc is the one the files are installed under, which is
# known only at install time (`cmake --install --prefix`, or /usr when CPack
# stages the package). So the template is filled twice: the fixed parts now,
# the prefix by the install script.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(ZORTCP_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(ZORTCP_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZORTCP_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(ZORTCP_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(ZORTCP_PC_PREFIX "@ZORTCP_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/zortcp.pc.in
  ${PROJECT_BINARY_DIR}/package/zortcp.pc.in @ONLY)
install(CODE "
  set(ZORTCP_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/package/zortcp.pc.in\"
    \"${PROJECT_BINARY_DIR}/package/zortcp.pc\" @ONLY)"
  COMPONENT dev)
install(FILES ${PROJECT_BINARY_DIR}/package/zortcp.pc
  DESTINATION ${ZORTCP_PKGCONFIG_DIR}
  COMPONENT dev)

# ----------------------------------------------------- documentation

install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT dev
  FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  COMPONENT dev
  FILES_MATCHING
    PATTERN "*.c" PATTERN "*.cpp" PATTERN "*.md"
    PATTERN "CMakeLists.txt" PATTERN "Makefile"
    PATTERN "build" EXCLUDE)

# ------------------------------------------------------- Debian packages

# The maintainer named in the packages. The project has no mailing list of
# its own, so the address is in example.org, a domain kept for examples: a
# party that ships these packages names itself here.
set(ZORTCP_PACKAGE_MAINTAINER "zortcp developers <zortcp@example.org>"
  CACHE STRING "Maintainer named in the Debian packages")

# The Debian revision and the upstream version come from the top entry of
# the Debian changelog, which must name this project's version.
set(ZORTCP_DEBIAN_DIR ${PROJECT_SOURCE_DIR}/packaging/debian)
file(STRINGS ${ZORTCP_DEBIAN_DIR}/changelog ZORTCP_DEBIAN_TOP LIMIT_COUNT 1)
if(NOT ZORTCP_DEBIAN_TOP MATCHES "^zortcp \\(([^)-]+)-([^)]+)\\)")
  message(FATAL_ERROR "packaging/debian/changelog: no version in its first line")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "packaging/debian/changelog names ${CMAKE_MATCH_1}, the project "
    "${PROJECT_VERSION}: add an entry for ${PROJECT_VERSION} at its top")
endif()
set(ZORTCP_DEBIAN_REVISION ${CMAKE_MATCH_2})

# Each package carries the copyright file and the Debian changelog in its
# own documentation directory. These are for the packages only: a plain
# `cmake --install` (no component named) leaves them out.
find_program(ZORTCP_GZIP gzip REQUIRED)
set(ZORTCP_DEBIAN_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.Debian.gz)
add_custom_command(OUTPUT ${ZORTCP_DEBIAN_CHANGELOG}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/debian
  COMMAND ${ZORTCP_GZIP} -9nc ${ZORTCP_DEBIAN_DIR}/changelog > ${ZORTCP_DEBIAN_CHANGELOG}
  DEPENDS ${ZORTCP_DEBIAN_DIR}/changelog
  COMMENT "Compressing the Debian changelog")
add_custom_target(zortcp_debian_changelog ALL DEPENDS ${ZORTCP_DEBIAN_CHANGELOG})

set(ZORTCP_DEBIAN_PACKAGES runtime:libzortcp1 dev:libzortcp-dev)
if(TARGET zorcat)
  list(APPEND ZORTCP_DEBIAN_PACKAGES tools:zorcat)
endif()
set(CPACK_COMPONENTS_ALL)
foreach(entry ${ZORTCP_DEBIAN_PACKAGES})
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 component)
  list(GET entry 1 package)
  string(TOUPPER ${component} COMPONENT)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  install(FILES ${ZORTCP_DEBIAN_DIR}/copyright ${ZORTCP_DEBIAN_CHANGELOG}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME zortcp)
set(CPACK_PACKAGE_VENDOR "zortcp developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZORTCP_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZORTCP_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZORTCP_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(ZORTCP_DEBIAN_VERSION ${PROJECT_VERSION}-${ZORTCP_DEBIAN_REVISION})

# CPack indents the lines of a description and writes an empty line as the
# paragraph separator " .".
set(ZORTCP_DESCRIPTION_TAIL
"zortcp is a shared library that a host application loads to exchange byte
streams over TCP/IP through up to 32 ports. Each port is a client that
connects and reconnects to a host and service, or a server that serves one
peer at a time; monitor threads of the library move the bytes and report
connections, data and failures through an event handler.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
"TCP/IP byte-stream ports for host applications
${ZORTCP_DESCRIPTION_TAIL}

This package holds the shared library.")
# A shlibs file, so that packages of hosts that link the library depend on
# this one. The ldconfig trigger replaces the maintainer scripts that CPack
# writes: see cmake/DebianTrigger.cmake.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libzortcp1 (= ${ZORTCP_DEBIAN_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION
"TCP/IP byte-stream ports for host applications (development files)
${ZORTCP_DESCRIPTION_TAIL}

This package holds what building a host needs: the C header, the
development link, a CMake package and a pkg-config file, the zortcp(3) man
page, the documentation and example hosts in C and C++.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libzortcp1 (>= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
"tries zortcp ports from a terminal
zorcat connects to or listens on a TCP/IP service through a port of the
zortcp library: standard input goes to the peer, what the peer sends goes
to standard output, and the port's events are shown in words. It also runs
a self-contained demonstration of a server and a client port.")

# The runtime dependencies on the system's libraries come from the binaries
# themselves when dpkg-shlibdeps (dpkg-dev) is there; otherwise they are
# listed as it finds them for a build with Debian 12's toolchain.
find_program(ZORTCP_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZORTCP_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # zorcat needs the library of the libzortcp1 package, named above.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
else()
  set(ZORTCP_SYSTEM_DEPENDS "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${ZORTCP_SYSTEM_DEPENDS}")
  string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", ${ZORTCP_SYSTEM_DEPENDS}")
endif()

# Checks made when cpack runs (the prefix), and the ldconfig trigger put in
# place of CPack's ldconfig calls once the packages are made.
configure_file(${PROJECT_SOURCE_DIR}/cmake/CPackChecks.cmake.in
  ${PROJECT_BINARY_DIR}/package/CPackChecks.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/package/CPackChecks.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianTrigger.cmake)

include(CPack)
