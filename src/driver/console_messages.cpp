#include "console_messages.h"

#include <cstdarg>
#include <cwchar>

#include "platform.h"

void PrintProgress(const wchar_t *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  std::vfwprintf(stdout, format, arguments);
  va_end(arguments);
}

void PrintDiagnostic(const wchar_t *message) { _wperror(message); }
