# SPDX-License-Identifier: MIT
# Cross-compiles the 32-bit Windows executable with Debian's mingw-w64
# (g++-mingw-w64-i686-win32).
set(PELMORA_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
