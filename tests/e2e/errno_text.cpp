// SPDX-License-Identifier: MIT
// Prints the C library's text for errno 0, so the guest builds the expected
// diagnostics from the library the program itself runs on.
#include <cstdio>
#include <cstring>

int main() {
  std::fputs(std::strerror(0), stdout);
  return 0;
}
