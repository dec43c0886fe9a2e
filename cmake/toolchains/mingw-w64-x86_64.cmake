# SPDX-License-Identifier: MIT
# Cross build for 64-bit Windows with Debian's mingw-w64 compilers; the rest is
# shared with the other Windows architecture.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZORTCP_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
