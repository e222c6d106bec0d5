// SPDX-License-Identifier: MIT
// A device that costs nothing: one present interface, every write taken
// whole, every read answered whole. Measures the program's own work.
#include <cstdint>
#include <cwchar>
#include <iterator>

#include "platform.h"

namespace {

const WCHAR PATH[] = L"zero-cost-device";
const auto DEVICE = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x1000));
const auto INTERFACE =
    reinterpret_cast<WINUSB_INTERFACE_HANDLE>(static_cast<std::uintptr_t>(0x2000));
const auto DEVICE_SET = reinterpret_cast<HDEVINFO>(static_cast<std::uintptr_t>(0x3000));
const WINUSB_PIPE_INFORMATION PIPES[] = {{UsbdPipeTypeBulk, 0x01, 512, 0},
                                         {UsbdPipeTypeBulk, 0x81, 512, 0}};

} // namespace

HDEVINFO SetupDiGetClassDevsW(const GUID *, PCWSTR, HWND, DWORD) { return DEVICE_SET; }

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO, PSP_DEVINFO_DATA, const GUID *, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA) {
  return MemberIndex == 0;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA) {
  const DWORD required = sizeof(DWORD) + sizeof PATH;
  *RequiredSize = required;
  if (DeviceInterfaceDetailData == nullptr || DeviceInterfaceDetailDataSize < required) {
    return FALSE;
  }
  std::wmemcpy(DeviceInterfaceDetailData->DevicePath, PATH, std::size(PATH));
  return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO) { return TRUE; }

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
  return std::wcscmp(lpFileName, PATH) == 0 ? DEVICE : INVALID_HANDLE_VALUE;
}

BOOL WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  *InterfaceHandle = INTERFACE;
  return DeviceHandle == DEVICE;
}

BOOL WinUsb_QueryDeviceInformation(WINUSB_INTERFACE_HANDLE, ULONG, PULONG BufferLength,
                                   PVOID Buffer) {
  *static_cast<UCHAR *>(Buffer) = 3;
  *BufferLength = 1;
  return TRUE;
}

BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE, UCHAR,
                                   PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor) {
  *UsbAltInterfaceDescriptor = {9, 4, 0, 0, static_cast<UCHAR>(std::size(PIPES)), 0xFF, 0, 0, 0};
  return TRUE;
}

BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE, UCHAR, UCHAR PipeIndex,
                      PWINUSB_PIPE_INFORMATION PipeInformation) {
  if (PipeIndex >= std::size(PIPES)) {
    return FALSE;
  }
  *PipeInformation = PIPES[PipeIndex];
  return TRUE;
}

BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG BufferLength,
                      PULONG LengthTransferred, LPOVERLAPPED) {
  *LengthTransferred = BufferLength;
  return TRUE;
}

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE, UCHAR, PUCHAR, ULONG BufferLength,
                     PULONG LengthTransferred, LPOVERLAPPED) {
  // The buffer keeps whatever it held: producing bytes is the device's cost.
  *LengthTransferred = BufferLength;
  return TRUE;
}
