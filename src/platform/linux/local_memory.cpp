// The kernel's local heap, over the C heap.
#include <cerrno>
#include <cstdlib>

#include "winapi.h"

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if (flags != LMEM_FIXED) {
    errno = EINVAL;
    return nullptr;
  }
  const int savedErrno = errno;
  // A zero-byte block is still a block, as on Windows.
  HLOCAL block = std::malloc(bytes != 0 ? bytes : 1);
  if (block != nullptr) {
    errno = savedErrno;
  }
  return block;
}

HLOCAL LocalFree(HLOCAL block) {
  const int savedErrno = errno;
  std::free(block);
  errno = savedErrno;
  return nullptr;
}
