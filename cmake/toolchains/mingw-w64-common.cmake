# SPDX-License-Identifier: MIT
# Shared by the mingw-w64 toolchain files; the including file sets
# PELMORA_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)

# The win32 thread model: no winpthreads DLL to ship.
set(CMAKE_C_COMPILER ${PELMORA_MINGW_TRIPLET}-gcc-win32)
set(CMAKE_CXX_COMPILER ${PELMORA_MINGW_TRIPLET}-g++-win32)
set(CMAKE_RC_COMPILER ${PELMORA_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PELMORA_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C runtime's own printf family rather than mingw's replacements.
set(CMAKE_CXX_FLAGS_INIT "-include \"${CMAKE_CURRENT_LIST_DIR}/mingw-w64-runtime-stdio.h\"")

# One file that runs on its own: no libgcc or libstdc++ DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++")

# The program is entered through wmain; only its target gets this, as the
# compiler checks link ordinary main programs.
set(PELMORA_WIDE_ENTRY_LINK_OPTIONS -municode)
