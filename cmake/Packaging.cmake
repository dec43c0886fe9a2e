# Installation and packaging of zortcp.
#
# Installed, with the GNU install directories:
#   lib/libzortcp.so.1.0.0 with its SONAME link libzortcp.so.1 and the
#     development link libzortcp.so;
#   include/zortcp.h;
#   bin/zorcat;
#   lib/cmake/zortcp/: the CMake package, so that a host project writes
#     find_package(zortcp CONFIG REQUIRED) and links zortcp::zortcp;
#   lib/pkgconfig/zortcp.pc;
#   share/doc/zortcp/: the documentation and the example hosts.
# The internal static library, the tests and the benchmarks are never
# installed.
#
# `cpack -G DEB` in the build tree makes the Debian package. Configure with
# -DCMAKE_INSTALL_PREFIX=/usr for a package, so that the library goes into
# the multiarch directory (lib/x86_64-linux-gnu on amd64). cpack builds the
# whole tree first, tests included, unless the tree was configured with
# -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON (scripts/install_check.sh does that
# and builds only the installed targets).

include(GNUInstallDirs)
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
  ${ZORTCP_EXPORT_INCLUDES})
install(FILES ${PROJECT_SOURCE_DIR}/include/zortcp.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET zorcat)
  # zorcat finds the library beside it, so that an install into any prefix
  # runs without LD_LIBRARY_PATH.
  file(RELATIVE_PATH ZORTCP_BIN_TO_LIB
    ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(zorcat PROPERTIES
    INSTALL_RPATH "$ORIGIN/${ZORTCP_BIN_TO_LIB}")
  install(TARGETS zorcat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# ----------------------------------------------------------- CMake package

install(EXPORT zortcpTargets
  NAMESPACE zortcp::
  FILE zortcpTargets.cmake
  DESTINATION ${ZORTCP_CMAKE_PACKAGE_DIR})
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
  DESTINATION ${ZORTCP_CMAKE_PACKAGE_DIR})

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
    \"${PROJECT_BINARY_DIR}/package/zortcp.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/package/zortcp.pc
  DESTINATION ${ZORTCP_PKGCONFIG_DIR})

# ----------------------------------------------------- documentation

install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  FILES_MATCHING PATTERN "*.md" PATTERN "*.png")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  FILES_MATCHING
    PATTERN "*.c" PATTERN "*.cpp" PATTERN "*.md"
    PATTERN "CMakeLists.txt" PATTERN "Makefile"
    PATTERN "build" EXCLUDE)

# ------------------------------------------------------- Debian package

set(ZORTCP_PACKAGE_MAINTAINER "zortcp developers <zortcp@localhost>"
  CACHE STRING "Maintainer named in the Debian package")

set(CPACK_PACKAGE_NAME zortcp)
set(CPACK_PACKAGE_VENDOR "zortcp developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZORTCP_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "TCP/IP byte-stream ports for host applications")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZORTCP_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary (CPACK_PACKAGE_DESCRIPTION_SUMMARY) is the first line of the
# package's description; these paragraphs follow it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"zortcp is a shared library that a host application loads to exchange byte
streams over TCP/IP through up to 32 ports. Each port is a client that
connects and reconnects to a host and service, or a server that serves one
peer at a time; monitor threads of the library move the bytes and report
connections, data and failures through an event handler.

This package holds the library, its C header, a CMake package and a
pkg-config file for building hosts, the zorcat tool, the documentation and
example hosts in C and C++.")

# The runtime dependencies come from the binaries themselves when
# dpkg-shlibdeps (dpkg-dev) is there; otherwise they are listed as it finds
# them for a build with Debian 12's toolchain.
find_program(ZORTCP_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(ZORTCP_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # zorcat needs the library of this very package.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
endif()
# A shlibs file, so that packages of hosts that link the library depend on
# this one, and the ldconfig calls on install and removal that come with it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

include(CPack)
