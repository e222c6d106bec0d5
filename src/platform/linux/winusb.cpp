// SPDX-License-Identifier: MIT
// The six WinUSB operations over a bound interface.
#include <cstdint>

#include "errno_guard.h"
#include "function_path.h"
#include "usb_context.h"
#include "winapi.h"
#include "winusb_interface.h"

using pelmora::linux_platform::ErrnoGuard;
using pelmora::linux_platform::FindInterface;
using pelmora::linux_platform::UsbInterface;

BOOL WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  const ErrnoGuard errnoGuard;
  const auto fd = reinterpret_cast<std::intptr_t>(DeviceHandle);
  if (InterfaceHandle == nullptr || DeviceHandle == INVALID_HANDLE_VALUE || fd < 0 ||
      fd > INT32_MAX) {
    return FALSE;
  }
  auto bound = UsbInterface::Bind(pelmora::linux_platform::UsbContext(), static_cast<int>(fd),
                                  pelmora::linux_platform::FunctionOf(static_cast<int>(fd)));
  if (!bound) {
    return FALSE;
  }
  *InterfaceHandle = pelmora::linux_platform::AdoptInterface(std::move(bound));
  return TRUE;
}

BOOL WinUsb_QueryDeviceInformation(WINUSB_INTERFACE_HANDLE InterfaceHandle, ULONG InformationType,
                                   PULONG BufferLength, PVOID Buffer) {
  const ErrnoGuard errnoGuard;
  const UsbInterface *usbInterface = FindInterface(InterfaceHandle);
  if (usbInterface == nullptr || InformationType != DEVICE_SPEED || BufferLength == nullptr ||
      *BufferLength < 1 || Buffer == nullptr) {
    return FALSE;
  }
  const auto speed = usbInterface->SpeedCode();
  if (!speed) {
    return FALSE;
  }
  *static_cast<UCHAR *>(Buffer) = *speed;
  *BufferLength = 1;
  return TRUE;
}

BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                   UCHAR AlternateInterfaceNumber,
                                   PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor) {
  const ErrnoGuard errnoGuard;
  const UsbInterface *usbInterface = FindInterface(InterfaceHandle);
  if (usbInterface == nullptr || UsbAltInterfaceDescriptor == nullptr) {
    return FALSE;
  }
  const auto settings = usbInterface->Settings(AlternateInterfaceNumber);
  if (!settings) {
    return FALSE;
  }
  *UsbAltInterfaceDescriptor = *settings;
  return TRUE;
}

BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                      UCHAR PipeIndex, PWINUSB_PIPE_INFORMATION PipeInformation) {
  const ErrnoGuard errnoGuard;
  const UsbInterface *usbInterface = FindInterface(InterfaceHandle);
  if (usbInterface == nullptr || PipeInformation == nullptr) {
    return FALSE;
  }
  const auto pipe = usbInterface->Pipe(AlternateInterfaceNumber, PipeIndex);
  if (!pipe) {
    return FALSE;
  }
  *PipeInformation = *pipe;
  return TRUE;
}

// Only synchronous transfers exist here: an overlapped record is refused.
BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                      ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  const ErrnoGuard errnoGuard;
  UsbInterface *usbInterface = FindInterface(InterfaceHandle);
  if (usbInterface == nullptr || Overlapped != nullptr) {
    return FALSE;
  }
  return usbInterface->Write(PipeID, Buffer, BufferLength, LengthTransferred) ? TRUE : FALSE;
}

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                     ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  const ErrnoGuard errnoGuard;
  UsbInterface *usbInterface = FindInterface(InterfaceHandle);
  if (usbInterface == nullptr || Overlapped != nullptr) {
    return FALSE;
  }
  return usbInterface->Read(PipeID, Buffer, BufferLength, LengthTransferred) ? TRUE : FALSE;
}
