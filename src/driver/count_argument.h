// SPDX-License-Identifier: MIT
// Reading the count argument the way a "%d" conversion does, with one
// result on every platform: leading white space, an optional sign, then
// digits; anything after the digits is ignored and no digits give 0.
// The value is accumulated modulo 2^32, so it wraps instead of saturating
// (C runtimes disagree on what "%d" does past the 32-bit range).
#pragma once

#include "platform.h"

template <typename Char> ULONG ParseCountArgument(const Char *text) {
  auto isSpace = [](Char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
  };
  while (isSpace(*text)) {
    ++text;
  }
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  ULONG value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + static_cast<ULONG>(*text - '0');
  }
  return negative ? 0 - value : value;
}

// Only the first argument is read; further ones are ignored.
template <typename Char> ULONG CountFromArguments(int argc, const Char *const argv[]) {
  return argc > 1 ? ParseCountArgument(argv[1]) : 0;
}
