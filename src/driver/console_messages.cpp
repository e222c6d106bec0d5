// SPDX-License-Identifier: MIT
#include "console_messages.h"

#include <cstdarg>
#include <cwchar>

#include "platform.h"

void PrintProgress(const wchar_t *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  // Progress lines are best effort: a failed one does not change the run.
  static_cast<void>(std::vfwprintf(stdout, format, arguments));
  va_end(arguments);
}

void PrintDiagnostic(const wchar_t *message) { _wperror(message); }
