# SPDX-License-Identifier: MIT
# Shared by the Linux cross toolchain files; the including file sets
# PELMORA_CROSS_TRIPLET and CMAKE_SYSTEM_PROCESSOR. Used for the gadget device
# on boards (-DPELMORA_GADGET_DEVICE_ONLY=ON): it needs no library of the board.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${PELMORA_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${PELMORA_CROSS_TRIPLET}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${PELMORA_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Statically linked, C and C++ runtimes included: one file that runs on any
# distribution a board has.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
