// SPDX-License-Identifier: MIT
// Force-included first in every mingw-w64 translation unit, so that the
// program's wide printf, text-mode line ends and perror form are the C
// runtime's own (msvcrt.dll), not mingw-w64's replacements.
// mingw-w64 turns its own printf family on for any C++11 build unless
// __USE_MINGW_ANSI_STDIO is 0, and libstdc++'s configuration header then sets
// it to 1 unconditionally (so a -D alone is undone). Reading stdio.h and
// wchar.h here, before any C++ header, fixes their declarations for good.
#pragma once

#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>
#include <wchar.h>
