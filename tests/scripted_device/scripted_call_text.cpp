// SPDX-License-Identifier: MIT
#include "scripted_call_text.h"

#include <cstdio>

std::string Hex(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string HandleText(const void *handle) { return Hex(reinterpret_cast<std::uintptr_t>(handle)); }

std::string GuidText(const GUID *guid) {
  if (guid == nullptr) {
    return "null";
  }
  char text[64];
  std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                static_cast<unsigned long>(guid->Data1), guid->Data2, guid->Data3, guid->Data4[0],
                guid->Data4[1], guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5],
                guid->Data4[6], guid->Data4[7]);
  return text;
}

std::string NarrowText(const WCHAR *text) {
  if (text == nullptr) {
    return "null";
  }
  std::string out;
  for (; *text != 0; ++text) {
    out += *text < 0x80 ? static_cast<char>(*text) : '?';
  }
  return out;
}
