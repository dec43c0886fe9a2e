# SPDX-License-Identifier: MIT
# zortcp.dll: exports exactly the Zor* functions, by their plain names, and
# comes with an import library that callers compiled against zortcp.h link
# with.
#
# The exports come from a .def file alone (the header marks nothing
# dllexport for the library's own build): together with dllexport the
# 32-bit DLL would export every name twice, plain and decorated. The 32-bit
# .def names the __stdcall functions as compiled (ZorOpenPort@20), and
# --kill-at exports them without the decoration. The linker's own import
# library would lose the decorated names that a 32-bit caller's compiler
# asks for, so the import library is made by dlltool from the same .def.
function(zortcp_windows_library target)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(def ${PROJECT_SOURCE_DIR}/src/port/zortcp-x86.def)
    set(kill_at --kill-at)
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  else()
    set(def ${PROJECT_SOURCE_DIR}/src/port/zortcp.def)
    set(kill_at)
  endif()
  target_sources(${target} PRIVATE ${def})
  target_link_libraries(${target} PRIVATE ws2_32)
  target_compile_definitions(${target} PRIVATE ZORTCP_STATIC WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0601)
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
  set_target_properties(${target} PROPERTIES
    PREFIX ""
    OUTPUT_NAME zortcp
    IMPORT_PREFIX lib
    IMPORT_SUFFIX .dll.a
    LINK_DEPENDS ${def})
  # Replaces the linker's import library with dlltool's, before anything
  # links with it.
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname zortcp.dll ${kill_at}
      --output-lib $<TARGET_LINKER_FILE:${target}>
    COMMENT "Import library for zortcp.dll from its .def file"
    VERBATIM)
  # The import library for Microsoft's linker, zortcp.lib: llvm-dlltool's
  # short import entries, which link with SafeSEH on (the x86 default);
  # GNU dlltool's objects do not. In the 32-bit one the name type
  # "undecorate" (-k) maps the caller's _ZorOpenPort@20 to the DLL's plain
  # ZorOpenPort.
  find_program(ZORTCP_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14)
  if(NOT ZORTCP_LLVM_DLLTOOL)
    message(FATAL_ERROR "zortcp.lib, the import library for Microsoft's linker, needs "
      "llvm-dlltool (Debian: llvm)")
  endif()
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(llvm_options -m i386 -k)
  else()
    set(llvm_options -m i386:x86-64)
  endif()
  set(msvc_implib ${CMAKE_CURRENT_BINARY_DIR}/zortcp.lib)
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${ZORTCP_LLVM_DLLTOOL} ${llvm_options} -d ${def} -l ${msvc_implib}
    COMMENT "Import library for Microsoft's linker (zortcp.lib)"
    VERBATIM)
  # The .def of the zip and the install says what the DLL exports: the
  # plain names in both DLLs.
  file(STRINGS ${def} def_lines)
  string(CONCAT export_def "; SPDX-License-Identifier: MIT\n; What zortcp.dll exports. Link with lib/zortcp.lib (Microsoft's linker)\n"
    "; or lib/libzortcp.dll.a (MinGW); in the 32-bit DLL these are __stdcall\n"
    "; functions that a caller's compiler names _ZorOpenPort@20 and so on, which\n"
    "; those import libraries map to the plain names here.\nLIBRARY zortcp.dll\nEXPORTS\n")
  foreach(line IN LISTS def_lines)
    if(line MATCHES "^  (Zor[A-Za-z]+)")
      string(APPEND export_def "  ${CMAKE_MATCH_1}\n")
    endif()
  endforeach()
  file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/package/zortcp.def "${export_def}")
  set(ZORTCP_MSVC_IMPLIB ${msvc_implib} PARENT_SCOPE)
  set(ZORTCP_EXPORT_DEF ${CMAKE_CURRENT_BINARY_DIR}/package/zortcp.def PARENT_SCOPE)
  zortcp_version_resource(${target} "zortcp TCP/IP byte streams library")
  set(ZORTCP_DEF_FILE ${def} PARENT_SCOPE)
endfunction()

# A VERSIONINFO resource for a Windows program or DLL of the project: file
# and product version from project(), product name, the file's own name,
# and the copyright line of LICENSE with the license's name. windres
# (CMake's RC language) compiles it into the file.
#   zortcp_version_resource(zortcp "zortcp TCP/IP byte streams library")
function(zortcp_version_resource target description)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(ZORTCP_RC_FILE_TYPE VFT_DLL)
    set(ZORTCP_RC_FILE_NAME ${target}.dll)
  else()
    set(ZORTCP_RC_FILE_TYPE VFT_APP)
    set(ZORTCP_RC_FILE_NAME ${target}.exe)
  endif()
  set(ZORTCP_RC_INTERNAL_NAME ${target})
  set(ZORTCP_RC_DESCRIPTION ${description})
  file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE ZORTCP_RC_COPYRIGHT REGEX "^Copyright" LIMIT_COUNT 1)
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/VersionResource.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
