# SPDX-License-Identifier: MIT
# What both mingw-w64 cross builds share, included by mingw-w64-i686.cmake
# and mingw-w64-x86_64.cmake once they have set ZORTCP_MINGW_TRIPLE and
# CMAKE_SYSTEM_PROCESSOR. The -posix compilers are the ones whose C++
# library has std::thread, std::mutex and std::condition_variable (through
# winpthreads).
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${ZORTCP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORTCP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORTCP_MINGW_TRIPLE}-windres)
set(CMAKE_DLLTOOL ${ZORTCP_MINGW_TRIPLE}-dlltool)

set(CMAKE_FIND_ROOT_PATH /usr/${ZORTCP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program and the DLL link the compiler's own libraries in (-static),
# so that they need no DLL that is not part of Windows: Wine, and a host's
# computer, have no libstdc++ or winpthread DLL to find.
# Their PE headers name Windows 7 (6.1) as the oldest system and subsystem
# version, the oldest Windows they run on (docs/windows.md).
set(ZORTCP_WINDOWS_FLOOR
  "-Wl,--major-os-version,6,--minor-os-version,1,--major-subsystem-version,6,--minor-subsystem-version,1")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static ${ZORTCP_WINDOWS_FLOOR}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static ${ZORTCP_WINDOWS_FLOOR}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static ${ZORTCP_WINDOWS_FLOOR}")

# Test programs run under Wine (ctest through this emulator, which starts
# the prefix's own processes first; cmake/wine_run.sh says why).
find_program(ZORTCP_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../wine_run.sh)
