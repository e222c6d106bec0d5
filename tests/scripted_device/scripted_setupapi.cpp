// The device-setup enumeration and the open, as the scripted device answers them.
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "scripted_device.h"

namespace {

const HDEVINFO DEVICE_SET = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0xD5E7));

std::string Narrow(const WCHAR *text) {
  std::string out;
  for (; *text != 0; ++text) {
    out += *text < 0x80 ? static_cast<char>(*text) : '?';
  }
  return out;
}

std::string Hex(std::uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

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
                      " enumerator=" + (Enumerator ? Narrow(Enumerator) : "null") + " window=" +
                      Hex(reinterpret_cast<std::uintptr_t>(hwndParent)) + " flags=" + Hex(Flags));
  ++OpenDeviceSets();
  return DEVICE_SET;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  CallLog().push_back("SetupDiEnumDeviceInterfaces devinfo=" +
                      Hex(reinterpret_cast<std::uintptr_t>(DeviceInfoData)) + " guid=" +
                      GuidText(InterfaceClassGuid) + " index=" + std::to_string(MemberIndex) +
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
      " devinfo=" + Hex(reinterpret_cast<std::uintptr_t>(DeviceInfoData)));
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
  CallLog().push_back("SetupDiDestroyDeviceInfoList");
  if (DeviceInfoSet != DEVICE_SET) {
    return FALSE;
  }
  --OpenDeviceSets();
  return TRUE;
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
  CallLog().push_back("CreateFileW path=" + Narrow(lpFileName) + " access=" + Hex(dwDesiredAccess) +
                      " share=" + Hex(dwShareMode) +
                      " security=" + Hex(reinterpret_cast<std::uintptr_t>(lpSecurityAttributes)) +
                      " disposition=" + std::to_string(dwCreationDisposition) +
                      " flags=" + Hex(dwFlagsAndAttributes) +
                      " template=" + Hex(reinterpret_cast<std::uintptr_t>(hTemplateFile)));
  for (const std::wstring &path : Script().paths) {
    if (path == lpFileName) {
      return reinterpret_cast<HANDLE>(Script().deviceHandle);
    }
  }
  return INVALID_HANDLE_VALUE;
}
