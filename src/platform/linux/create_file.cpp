// SPDX-License-Identifier: MIT
// Opening a device path: the file descriptor of its usbfs node is the handle,
// and the function the path names goes with it.
#include <fcntl.h>

#include <cstdint>
#include <string>

#include "errno_guard.h"
#include "function_path.h"
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
  const auto function = pelmora::linux_platform::ParseFunctionPath(path);
  if (!function) {
    return INVALID_HANDLE_VALUE;
  }
  // usbfs needs read and write access for transfers; the access and
  // overlapped flags have no other meaning here.
  const int fd = open(function->node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return INVALID_HANDLE_VALUE;
  }
  pelmora::linux_platform::RememberFunction(fd, function->firstInterface);
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}
