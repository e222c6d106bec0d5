# SPDX-License-Identifier: MIT
# Cross-compiles for 64-bit ARM Linux with Debian's g++-aarch64-linux-gnu.
set(PELMORA_CROSS_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross-common.cmake)
