// SPDX-License-Identifier: MIT
#include "emulated_usb_test.h"

#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "run_state.h"
#include "usb_context.h"

void EmulatedUsbTest::TearDown() {
  pelmora::linux_platform::ReleaseUsbForTests();
  for (const int fd : descriptors_) {
    close(fd);
  }
}

std::shared_ptr<pelmora::emulated::LoopbackDevice>
EmulatedUsbTest::Plug(pelmora::emulated::DeviceSpec spec, pelmora::emulated::Faults faults,
                      pelmora::emulated::Placement placement) {
  auto device = std::make_shared<pelmora::emulated::LoopbackDevice>(spec, faults);
  device->KeepRecords();
  bus_.Add(device, placement);
  return device;
}

std::vector<std::wstring> EmulatedUsbTest::EnumeratedPaths() {
  std::vector<std::wstring> paths;
  HDEVINFO set = SetupDiGetClassDevsW(&DeviceInterfaceGuid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  for (DWORD index = 0;; ++index) {
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, index, &data)) {
      break;
    }
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
    std::vector<std::uint8_t> storage(required);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) {
      paths.push_back(detail->DevicePath);
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return paths;
}

HANDLE EmulatedUsbTest::Open(const std::wstring &path) {
  HANDLE handle =
      CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    descriptors_.push_back(static_cast<int>(reinterpret_cast<std::intptr_t>(handle)));
  }
  return handle;
}

WINUSB_INTERFACE_HANDLE EmulatedUsbTest::Bind() {
  const std::vector<std::wstring> paths = EnumeratedPaths();
  if (paths.empty()) {
    return nullptr;
  }
  WINUSB_INTERFACE_HANDLE handle = nullptr;
  return WinUsb_Initialize(Open(paths[0]), &handle) ? handle : nullptr;
}

std::string NoErrorText() { return std::strerror(0); }
