// SPDX-License-Identifier: MIT
// The open of a device path, as the scripted device answers it.
#include "scripted_call_text.h"
#include "scripted_device.h"

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  CallLog().push_back(
      "CreateFileW path=" + NarrowText(lpFileName) + " access=" + Hex(dwDesiredAccess) +
      " share=" + Hex(dwShareMode) + " security=" + HandleText(lpSecurityAttributes) +
      " disposition=" + std::to_string(dwCreationDisposition) +
      " flags=" + Hex(dwFlagsAndAttributes) + " template=" + HandleText(hTemplateFile));
  for (const std::wstring &path : Script().paths) {
    if (path == lpFileName) {
      return reinterpret_cast<HANDLE>(Script().deviceHandle);
    }
  }
  return INVALID_HANDLE_VALUE;
}
