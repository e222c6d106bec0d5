// SPDX-License-Identifier: MIT
// Opening a device path: the file descriptor is the handle.
#include <fcntl.h>

#include <cstdint>
#include <string>

#include "errno_guard.h"
#include "winapi.h"

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD /*dwDesiredAccess*/, DWORD /*dwShareMode*/,
                   LPSECURITY_ATTRIBUTES /*lpSecurityAttributes*/, DWORD /*dwCreationDisposition*/,
                   DWORD /*dwFlagsAndAttributes*/, HANDLE /*hTemplateFile*/) {
  const pelmora::linux_platform::ErrnoGuard errnoGuard;
  if (lpFileName == nullptr || lpFileName[0] == 0) {
    return INVALID_HANDLE_VALUE;
  }
  // Device paths are ASCII; any other character names no device node.
  std::string path;
  for (const WCHAR *c = lpFileName; *c != 0; ++c) {
    if (*c <= 0 || *c > 0x7F) {
      return INVALID_HANDLE_VALUE;
    }
    path += static_cast<char>(*c);
  }
  // usbfs needs read and write access for transfers; the access and
  // overlapped flags have no other meaning here.
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return INVALID_HANDLE_VALUE;
  }
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}
