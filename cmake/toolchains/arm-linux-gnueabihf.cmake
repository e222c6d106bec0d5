# SPDX-License-Identifier: MIT
# Cross-compiles for 32-bit ARM hard-float Linux (ARMv7) with Debian's
# g++-arm-linux-gnueabihf.
set(PELMORA_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/linux-gnu-cross-common.cmake)
