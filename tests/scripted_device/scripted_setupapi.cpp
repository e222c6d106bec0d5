// SPDX-License-Identifier: MIT
// The device-setup enumeration, as the scripted device answers them.
#include <cstddef>
#include <cstring>
#include <cwchar>

#include "scripted_call_text.h"
#include "scripted_device.h"

namespace {

const HDEVINFO DEVICE_SET = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0xD5E7));

// The path that an enumerated interface record stands for, or null.
const std::wstring *PathOf(HDEVINFO set, const SP_DEVICE_INTERFACE_DATA *data) {
  if (set != DEVICE_SET || data == nullptr || data->Reserved == 0 ||
      data->Reserved > Script().paths.size()) {
    return nullptr;
  }
  return &Script().paths[data->Reserved - 1];
}

} // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                              DWORD Flags) {
  CallLog().push_back("SetupDiGetClassDevsW guid=" + GuidText(ClassGuid) +
                      " enumerator=" + NarrowText(Enumerator) +
                      " window=" + HandleText(hwndParent) + " flags=" + Hex(Flags));
  ++OpenDeviceSets();
  return DEVICE_SET;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  CallLog().push_back("SetupDiEnumDeviceInterfaces devinfo=" + HandleText(DeviceInfoData) +
                      " guid=" + GuidText(InterfaceClassGuid) +
                      " index=" + std::to_string(MemberIndex) +
                      " cbSize=" + std::to_string(DeviceInterfaceData->cbSize));
  if (DeviceInfoSet != DEVICE_SET || DeviceInterfaceData->cbSize != sizeof *DeviceInterfaceData ||
      MemberIndex >= Script().paths.size()) {
    return FALSE;
  }
  DeviceInterfaceData->Reserved = MemberIndex + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  CallLog().push_back(
      "SetupDiGetDeviceInterfaceDetailW buffer=" +
      std::string(DeviceInterfaceDetailData ? "set" : "null") +
      " size=" + std::to_string(DeviceInterfaceDetailDataSize) + " cbSize=" +
      (DeviceInterfaceDetailData ? std::to_string(DeviceInterfaceDetailData->cbSize) : "-") +
      " devinfo=" + HandleText(DeviceInfoData));
  const std::wstring *path = PathOf(DeviceInfoSet, DeviceInterfaceData);
  if (path == nullptr) {
    return FALSE;
  }
  const DWORD required = static_cast<DWORD>(
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path->size() + 1) * sizeof(WCHAR));
  if (RequiredSize != nullptr) {
    *RequiredSize = required;
  }
  if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required ||
      DeviceInterfaceDetailData->cbSize != sizeof *DeviceInterfaceDetailData ||
      Script().detailQueryFails) {
    return FALSE;
  }
  std::wmemcpy(DeviceInterfaceDetailData->DevicePath, path->c_str(), path->size() + 1);
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  CallLog().push_back("SetupDiDestroyDeviceInfoList set=" + HandleText(DeviceInfoSet));
  if (DeviceInfoSet != DEVICE_SET) {
    return FALSE;
  }
  --OpenDeviceSets();
  return TRUE;
}
