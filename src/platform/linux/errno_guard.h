// SPDX-License-Identifier: MIT
// Keeps errno as the caller left it: libusb and the system calls under it
// change errno, and the program's diagnostics must show only its own errors.
#pragma once

#include <cerrno>

namespace pelmora::linux_platform {

class ErrnoGuard {
public:
  ErrnoGuard() : saved_(errno) {}
  ~ErrnoGuard() { errno = saved_; }
  ErrnoGuard(const ErrnoGuard &) = delete;
  ErrnoGuard &operator=(const ErrnoGuard &) = delete;

private:
  int saved_;
};

} // namespace pelmora::linux_platform
