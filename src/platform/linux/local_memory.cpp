// SPDX-License-Identifier: MIT
// The kernel's local heap, over the C heap.
#include <cerrno>
#include <cstdlib>

#include "winapi.h"

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (uFlags != LMEM_FIXED) {
    errno = EINVAL;
    return nullptr;
  }
  const int savedErrno = errno;
  // A zero-byte block is still a block, as on Windows.
  HLOCAL block = std::malloc(uBytes != 0 ? uBytes : 1);
  if (block != nullptr) {
    errno = savedErrno;
  }
  return block;
}

HLOCAL LocalFree(HLOCAL hMem) {
  const int savedErrno = errno;
  std::free(hMem);
  errno = savedErrno;
  return nullptr;
}
