// SPDX-License-Identifier: MIT
// The device-setup enumeration: a set holds the paths of the present devices
// that declare the class, in the order the discovery finds them. Members are
// found as they are asked for, so that asking for the first probes no device
// after it.
#include <cstddef>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "device_discovery.h"
#include "errno_guard.h"
#include "usb_context.h"
#include "winapi.h"

namespace {

using pelmora::linux_platform::ErrnoGuard;

constexpr DWORD SPINT_ACTIVE = 0x00000001;

struct ClassDeviceSet {
  ClassDeviceSet(libusb_context *context, const GUID &guid)
      : interfaceClass(guid), lookup(context, guid) {}

  GUID interfaceClass;
  pelmora::linux_platform::InterfaceLookup lookup;
  std::vector<std::wstring> paths; // the members found so far
  bool complete = false;
};

// Sets handed out and not yet destroyed; anything else is not a set.
std::set<ClassDeviceSet *> &LiveSets() {
  static std::set<ClassDeviceSet *> sets;
  return sets;
}

ClassDeviceSet *FindSet(HDEVINFO handle) {
  const auto found = LiveSets().find(static_cast<ClassDeviceSet *>(handle));
  return found != LiveSets().end() ? *found : nullptr;
}

bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Paths are ASCII (/dev/bus/usb/BBB/DDD:N).
std::wstring Widen(const std::string &text) { return std::wstring(text.begin(), text.end()); }

// Finds members until the set holds index + 1 of them or none is left.
bool HasMember(ClassDeviceSet &set, DWORD index) {
  while (index >= set.paths.size() && !set.complete) {
    if (const auto path = set.lookup.Next()) {
      set.paths.push_back(Widen(*path));
    } else {
      set.complete = true;
    }
  }
  return index < set.paths.size();
}

// The member that an enumerated interface record names; Reserved holds its
// index + 1, so a record that was never filled names none.
const std::wstring *MemberPath(const ClassDeviceSet &set, const SP_DEVICE_INTERFACE_DATA *data) {
  if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
      data->Reserved > set.paths.size()) {
    return nullptr;
  }
  return &set.paths[data->Reserved - 1];
}

} // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID *ClassGuid, PCWSTR Enumerator, HWND /*hwndParent*/,
                              DWORD Flags) {
  const ErrnoGuard errnoGuard;
  // Only the present interfaces of one class are known here.
  if (ClassGuid == nullptr || Enumerator != nullptr ||
      Flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)) {
    return INVALID_HANDLE_VALUE;
  }
  libusb_context *context = pelmora::linux_platform::UsbContext();
  if (context == nullptr) {
    return INVALID_HANDLE_VALUE;
  }
  auto set = std::make_unique<ClassDeviceSet>(context, *ClassGuid);
  LiveSets().insert(set.get());
  return set.release();
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  const ErrnoGuard errnoGuard;
  auto *set = FindSet(DeviceInfoSet);
  if (set == nullptr || DeviceInfoData != nullptr || InterfaceClassGuid == nullptr ||
      DeviceInterfaceData == nullptr ||
      DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) ||
      !SameGuid(*InterfaceClassGuid, set->interfaceClass) || !HasMember(*set, MemberIndex)) {
    return FALSE;
  }
  DeviceInterfaceData->InterfaceClassGuid = set->interfaceClass;
  DeviceInterfaceData->Flags = SPINT_ACTIVE;
  DeviceInterfaceData->Reserved = static_cast<ULONG_PTR>(MemberIndex) + 1;
  return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                      PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
  const ErrnoGuard errnoGuard;
  const auto *set = FindSet(DeviceInfoSet);
  const std::wstring *path = set != nullptr ? MemberPath(*set, DeviceInterfaceData) : nullptr;
  // A size without a record to fill is a caller's mistake, not a size query.
  if (path == nullptr || DeviceInfoData != nullptr ||
      (DeviceInterfaceDetailData == nullptr && DeviceInterfaceDetailDataSize != 0)) {
    return FALSE;
  }
  const DWORD required = static_cast<DWORD>(
      offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path->size() + 1) * sizeof(WCHAR));
  if (RequiredSize != nullptr) {
    *RequiredSize = required;
  }
  // The size query: no record, so the call reports failure with the size.
  if (DeviceInterfaceDetailData == nullptr) {
    return FALSE;
  }
  if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
      DeviceInterfaceDetailDataSize < required) {
    return FALSE;
  }
  std::memcpy(DeviceInterfaceDetailData->DevicePath, path->c_str(),
              (path->size() + 1) * sizeof(WCHAR));
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  const ErrnoGuard errnoGuard;
  ClassDeviceSet *set = FindSet(DeviceInfoSet);
  if (set == nullptr) {
    return FALSE;
  }
  LiveSets().erase(set);
  delete set;
  return TRUE;
}
