// SPDX-License-Identifier: MIT
// Prints the C runtime's perror line for the error number given as the first
// argument (0 by default), so that the tests expect this runtime's own error
// texts rather than another's.
#include <cerrno>
#include <cstdlib>

#include "platform.h"

int wmain(int argc, wchar_t *argv[]) {
  errno = argc > 1 ? _wtoi(argv[1]) : 0;
  _wperror(L"message");
  return 0;
}
