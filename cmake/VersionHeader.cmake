# SPDX-License-Identifier: MIT
# zortcp_write_version_header(<directory> <major.minor.patch>) writes
# <directory>/zortcp_version.h, the version macros that zortcp.h includes.
# The version is the one of project() in the top CMakeLists.txt.
function(zortcp_write_version_header directory version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "the zortcp version must be MAJOR.MINOR.PATCH, not '${version}'")
  endif()
  set(ZORTCP_VERSION_MAJOR ${CMAKE_MATCH_1})
  set(ZORTCP_VERSION_MINOR ${CMAKE_MATCH_2})
  set(ZORTCP_VERSION_PATCH ${CMAKE_MATCH_3})
  set(ZORTCP_VERSION_STRING ${version})
  configure_file(${CMAKE_CURRENT_FUNCTION_LIST_DIR}/zortcp_version.h.in
    ${directory}/zortcp_version.h @ONLY)
endfunction()
