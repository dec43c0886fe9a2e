# SPDX-License-Identifier: MIT
# Every source of the library, layer by layer from the bottom, for the main
# build and the fuzz build. The entry point that loads and unloads the
# shared object (src/port/library_entry.cpp) is not among them: the tests
# load and unload the library themselves.
function(zortcp_library_sources variable root)
  set(sources
    ${root}/src/platform/fault_injection.cpp
    ${root}/src/platform/posix/addresses.cpp
    ${root}/src/platform/posix/errors.cpp
    ${root}/src/platform/posix/files.cpp
    ${root}/src/platform/posix/memory.cpp
    ${root}/src/platform/posix/process_life.cpp
    ${root}/src/platform/posix/resolver.cpp
    ${root}/src/platform/posix/socket_io.cpp
    ${root}/src/platform/posix/socket_registry.cpp
    ${root}/src/platform/posix/sockets.cpp
    ${root}/src/platform/posix/threads.cpp
    ${root}/src/platform/posix/time.cpp
    ${root}/src/core/control_block.cpp
    ${root}/src/core/last_error.cpp
    ${root}/src/core/spin_lock.cpp
    ${root}/src/diagnostics/config_file.cpp
    ${root}/src/diagnostics/debug_log.cpp
    ${root}/src/diagnostics/error_texts.cpp
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
