# SPDX-License-Identifier: MIT
# Installation of zortcp.
#
# Installed, with the GNU install directories, in three components that are
# also the three Debian packages:
#   runtime (libzortcp1): lib/libzortcp.so.1.0.0 and its SONAME link
#     libzortcp.so.1;
#   dev (libzortcp-dev): the development link libzortcp.so, include/zortcp.h
#     and zortcp_version.h, lib/cmake/zortcp/ (the CMake package, so that a
#     host project writes find_package(zortcp CONFIG REQUIRED) and links
#     zortcp::zortcp), lib/pkgconfig/zortcp.pc, the section 3 man pages, and
#     share/doc/zortcp/ with the documentation and the example hosts;
#   tools (zorcat): bin/zorcat and zorcat(1).
# The internal static library, the tests and the benchmarks are never
# installed. debhelper makes the Debian packages from this install (debian/,
# docs/packaging.md).

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
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
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
set(ZORTCP_PACKAGE_LIBDIR ${CMAKE_INSTALL_LIBDIR})
configure_package_config_file(
  ${PROJECT_SOURCE_DIR}/cmake/zortcpConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/zortcpConfig.cmake
  INSTALL_DESTINATION ${ZORTCP_CMAKE_PACKAGE_DIR}
  PATH_VARS ZORTCP_PACKAGE_LIBDIR)
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
# known only at install time (`cmake --install --prefix`, or /usr when
# debhelper stages the packages). So the template is filled twice: the fixed parts now,
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
# A Windows install has the Windows examples only: the others are written
# for Linux.
if(WIN32)
  set(ZORTCP_EXCLUDED_EXAMPLES PATTERN "c" EXCLUDE PATTERN "cpp" EXCLUDE)
endif()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  COMPONENT dev
  FILES_MATCHING
    PATTERN "*.c" PATTERN "*.cpp" PATTERN "*.md"
    PATTERN "CMakeLists.txt" PATTERN "Makefile"
    PATTERN "build" EXCLUDE
    ${ZORTCP_EXCLUDED_EXAMPLES})

# ------------------------------------------------------------- Windows

# What a Windows install (and so the zip, scripts/windows_package.sh) has
# besides: the import library for Microsoft's linker and the list of
# exports beside MinGW's import library, the per-call pages (Markdown, as
# there is no man), and README.txt and LICENSE.txt with CR LF line ends.
if(WIN32)
  install(FILES ${ZORTCP_MSVC_IMPLIB} ${ZORTCP_EXPORT_DEF}
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  file(GLOB ZORTCP_CALL_PAGES ${PROJECT_SOURCE_DIR}/man/*.md)
  install(FILES ${ZORTCP_CALL_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/man COMPONENT dev)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(ZORTCP_BITS 32)
  else()
    set(ZORTCP_BITS 64)
  endif()
  # README.txt names the commit the install is made from, read when the
  # install runs (and a URL of the sources when one is configured).
  set(ZORTCP_SOURCE_URL "" CACHE STRING "Where the sources are, named in the Windows README.txt")
  install(CODE "
    execute_process(COMMAND git -C \"${PROJECT_SOURCE_DIR}\" describe --always --dirty --abbrev=12
      OUTPUT_VARIABLE ZORTCP_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    set(ZORTCP_SOURCE_POINTER \"${ZORTCP_SOURCE_URL}\")
    if(ZORTCP_COMMIT AND ZORTCP_SOURCE_POINTER)
      string(APPEND ZORTCP_SOURCE_POINTER \", commit \${ZORTCP_COMMIT}\")
    elseif(ZORTCP_COMMIT)
      set(ZORTCP_SOURCE_POINTER \"commit \${ZORTCP_COMMIT}\")
    else()
      set(ZORTCP_SOURCE_POINTER \"the source release zortcp-${PROJECT_VERSION}\")
    endif()
    set(PROJECT_VERSION ${PROJECT_VERSION})
    set(ZORTCP_BITS ${ZORTCP_BITS})
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/windows-README.txt.in\"
      \"${PROJECT_BINARY_DIR}/package/README.txt\" @ONLY NEWLINE_STYLE WIN32)"
    COMPONENT dev)
  configure_file(${PROJECT_SOURCE_DIR}/LICENSE
    ${PROJECT_BINARY_DIR}/package/LICENSE.txt @ONLY NEWLINE_STYLE WIN32)
  install(FILES ${PROJECT_BINARY_DIR}/package/README.txt ${PROJECT_BINARY_DIR}/package/LICENSE.txt
    DESTINATION . COMPONENT dev)
endif()
