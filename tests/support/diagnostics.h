// SPDX-License-Identifier: MIT
// What a diagnostic looks like on standard error: the message, ": ", the
// C library's text for the error number, a line end.
#pragma once

#include <string>

#include "program_run.h"

inline std::string Diagnostic(const std::string &message, int error = 0) {
  return message + ": " + ErrorText(error) + "\n";
}
