# SPDX-License-Identifier: MIT
# Every source of the library, layer by layer from the bottom, for the main
# build and the fuzz build. The entry points that load and unload the
# shared library (zortcp_library_entry_sources) are not among them: the
# tests load and unload the library themselves.
#
# The platform layer is the one place that differs between systems: what
# every system shares sits directly in src/platform, the system calls in the
# folder of the system being built for (posix/ or win32/), with the same
# file names in each.
function(zortcp_platform_folder variable root)
  if(WIN32)
    set(${variable} ${root}/src/platform/win32 PARENT_SCOPE)
  else()
    set(${variable} ${root}/src/platform/posix PARENT_SCOPE)
  endif()
endfunction()

function(zortcp_library_sources variable root)
  zortcp_platform_folder(system ${root})
  set(sources
    ${root}/src/platform/addresses.cpp
    ${root}/src/platform/fault_injection.cpp
    ${root}/src/platform/last_errors.cpp
    ${root}/src/platform/memory.cpp
    ${root}/src/platform/resolver.cpp
    ${root}/src/platform/sockets.cpp
    ${root}/src/platform/socket_table.cpp
    ${system}/addresses.cpp
    ${system}/errors.cpp
    ${system}/files.cpp
    ${system}/memory.cpp
    ${system}/process_life.cpp
    ${system}/resolver.cpp
    ${system}/socket_io.cpp
    ${system}/socket_registry.cpp
    ${system}/sockets.cpp
    ${system}/threads.cpp
    ${system}/time.cpp
    ${root}/src/core/allowed_peers.cpp
    ${root}/src/core/control_block.cpp
    ${root}/src/core/last_error.cpp
    ${root}/src/core/spin_lock.cpp
    ${root}/src/diagnostics/config_file.cpp
    ${root}/src/diagnostics/debug_log.cpp
    ${root}/src/diagnostics/error_texts.cpp
    ${root}/src/diagnostics/peer_list.cpp
    ${root}/src/transport/events.cpp
    ${root}/src/transport/monitor_common.cpp
    ${root}/src/transport/receive_step.cpp
    ${root}/src/transport/rings.cpp
    ${root}/src/transport/rx_monitor_client.cpp
    ${root}/src/transport/rx_monitor_server.cpp
    ${root}/src/transport/tx_monitor.cpp
    ${root}/src/port/close_sequence.cpp
    ${root}/src/port/control_calls.cpp
    ${root}/src/port/data_calls.cpp
    ${root}/src/port/exports.cpp
    ${root}/src/port/open_sequence.cpp
    ${root}/src/port/port_table.cpp
  )
  set(${variable} ${sources} PARENT_SCOPE)
endfunction()

# The shared library's entry: the system's entry point and what the library
# does at load and unload.
function(zortcp_library_entry_sources variable root)
  zortcp_platform_folder(system ${root})
  set(${variable} ${system}/library_entry.cpp ${root}/src/port/library_entry.cpp PARENT_SCOPE)
endfunction()
