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
  target_link_libraries(${target} PRIVATE ws2_32 synchronization)
  target_compile_definitions(${target} PRIVATE ZORTCP_STATIC WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0A00)
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
  set(ZORTCP_DEF_FILE ${def} PARENT_SCOPE)
endfunction()
