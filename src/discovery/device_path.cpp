// SPDX-License-Identifier: MIT
#include "device_path.h"

#include <cstddef>

#include "console_messages.h"
#include "run_state.h"

HRESULT CopyDevicePath(WCHAR *destination, const WCHAR *source) {
  for (DWORD stored = 0; stored < DEVICE_PATH_CCH; ++stored) {
    destination[stored] = source[stored];
    if (source[stored] == 0) {
      return 0;
    }
  }
  destination[DEVICE_PATH_CCH - 1] = 0;
  return PATH_CUT_STATUS;
}

namespace {

// The detail record's fixed part: the size field and one character.
constexpr DWORD DETAIL_FIXED_SIZE = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);

// Reads the first interface's detail record and copies its path.
BOOL ReadFirstInterfacePath(HDEVINFO set, WCHAR *path) {
  SP_DEVICE_INTERFACE_DATA interfaceData = {};
  interfaceData.cbSize = sizeof interfaceData;
  SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 0, &interfaceData);

  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, nullptr, 0, &required, nullptr);
  // Too small to hold even the size field: nothing was found.
  if (required < DETAIL_FIXED_SIZE) {
    return FALSE;
  }
  auto *detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(LocalAlloc(LMEM_FIXED, required));
  if (detail == nullptr) {
    return FALSE;
  }
  detail->cbSize = DETAIL_FIXED_SIZE;
  BOOL ok =
      SetupDiGetDeviceInterfaceDetailW(set, &interfaceData, detail, required, &required, nullptr);
  if (ok && CopyDevicePath(path, detail->DevicePath) != 0) {
    // A cut path names no device: open nothing rather than something else.
    path[0] = 0;
    ok = FALSE;
  }
  LocalFree(detail);
  return ok;
}

} // namespace

BOOL GetDevicePath(WCHAR *path) {
  PrintDiagnostic(MSG_LOOKUP_STARTED);
  HDEVINFO set = SetupDiGetClassDevsW(&DeviceInterfaceGuid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  const BOOL ok = ReadFirstInterfacePath(set, path);
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}
