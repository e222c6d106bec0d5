// SPDX-License-Identifier: MIT
// One line of a device tool's --log, flushed at once so that a reader sees it
// as it happens.
#pragma once

#include <cstdarg>
#include <cstdio>

namespace pelmora::emulated {

inline void LogLine(std::FILE *log, const char *format, std::va_list arguments) {
  if (log == nullptr) {
    return;
  }
  // A log that cannot be written must not stop the device.
  (void)std::vfprintf(log, format, arguments);
  (void)std::fputc('\n', log);
  (void)std::fflush(log);
}

} // namespace pelmora::emulated
