// SPDX-License-Identifier: MIT
// The six WinUSB operations, as the scripted device answers them.
#include <algorithm>
#include <csignal>
#include <cstring>

#include "scripted_call_text.h"
#include "scripted_device.h"

namespace {

bool IsInterface(WINUSB_INTERFACE_HANDLE handle) {
  return reinterpret_cast<std::uintptr_t>(handle) == Script().interfaceHandle;
}

int writesSeen = 0;

void LogTransfer(const char *function, WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG length,
                 LPOVERLAPPED overlapped) {
  CallLog().push_back(std::string(function) + " interface=" + HandleText(handle) +
                      " pipe=" + Hex(pipe) + " length=" + std::to_string(length) +
                      " overlapped=" + HandleText(overlapped));
}

} // namespace

BOOL WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
  CallLog().push_back("WinUsb_Initialize device=" + HandleText(DeviceHandle));
  const bool accepted =
      Script().acceptsDeviceHandle
          ? Script().acceptsDeviceHandle(DeviceHandle)
          : reinterpret_cast<std::uintptr_t>(DeviceHandle) == Script().deviceHandle;
  if (!accepted || Script().initializeFails) {
    return FALSE;
  }
  *InterfaceHandle = reinterpret_cast<WINUSB_INTERFACE_HANDLE>(Script().interfaceHandle);
  return TRUE;
}

BOOL WinUsb_QueryDeviceInformation(WINUSB_INTERFACE_HANDLE InterfaceHandle, ULONG InformationType,
                                   PULONG BufferLength, PVOID Buffer) {
  CallLog().push_back("WinUsb_QueryDeviceInformation interface=" + HandleText(InterfaceHandle) +
                      " type=" + std::to_string(InformationType) +
                      " length=" + std::to_string(*BufferLength));
  if (!IsInterface(InterfaceHandle) || InformationType != DEVICE_SPEED || *BufferLength < 1 ||
      Script().speedQueryFails) {
    return FALSE;
  }
  *static_cast<UCHAR *>(Buffer) = Script().speed;
  *BufferLength = 1;
  return TRUE;
}

BOOL WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle,
                                   UCHAR AlternateInterfaceNumber,
                                   PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor) {
  CallLog().push_back("WinUsb_QueryInterfaceSettings interface=" + HandleText(InterfaceHandle) +
                      " alternate=" + std::to_string(AlternateInterfaceNumber));
  if (!IsInterface(InterfaceHandle) || AlternateInterfaceNumber != 0 ||
      Script().interfaceQueryFails) {
    return FALSE;
  }
  const int count = Script().endpointCountOverride >= 0 ? Script().endpointCountOverride
                                                        : static_cast<int>(Script().pipes.size());
  *UsbAltInterfaceDescriptor = {9, 4, 0, 0, static_cast<UCHAR>(count), 0xFF, 0, 0, 0};
  return TRUE;
}

BOOL WinUsb_QueryPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                      UCHAR PipeIndex, PWINUSB_PIPE_INFORMATION PipeInformation) {
  CallLog().push_back("WinUsb_QueryPipe interface=" + HandleText(InterfaceHandle) +
                      " alternate=" + std::to_string(AlternateInterfaceNumber) +
                      " index=" + std::to_string(PipeIndex));
  if (!IsInterface(InterfaceHandle) || AlternateInterfaceNumber != 0 ||
      PipeIndex >= Script().pipes.size() || Script().pipes[PipeIndex].queryFails) {
    // A failed query leaves the record as it was.
    return FALSE;
  }
  const ScriptedPipe &pipe = Script().pipes[PipeIndex];
  *PipeInformation = {pipe.type, pipe.id, 512, 0};
  return TRUE;
}

BOOL WinUsb_WritePipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                      ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  LogTransfer("WinUsb_WritePipe", InterfaceHandle, PipeID, BufferLength, Overlapped);
  ++writesSeen;
  if (!IsInterface(InterfaceHandle) || writesSeen == Script().failingWrite) {
    return FALSE;
  }
  ULONG taken = std::min(BufferLength, Script().maxBytesPerWrite);
  if (!Script().writeTakes.empty()) {
    taken = std::min(BufferLength, Script().writeTakes.front());
    Script().writeTakes.pop_front();
  }
  ReceivedBytes().append(reinterpret_cast<const char *>(Buffer), taken);
  *LengthTransferred = taken;
  return TRUE;
}

BOOL WinUsb_ReadPipe(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, PUCHAR Buffer,
                     ULONG BufferLength, PULONG LengthTransferred, LPOVERLAPPED Overlapped) {
  LogTransfer("WinUsb_ReadPipe", InterfaceHandle, PipeID, BufferLength, Overlapped);
  if (!IsInterface(InterfaceHandle) || Script().reads.empty()) {
    return FALSE;
  }
  const ScriptedRead read = Script().reads.front();
  Script().reads.pop_front();
  if (read.interrupted) {
    std::raise(SIGINT);
  }
  if (!read.ok) {
    return FALSE;
  }
  const std::size_t copied = std::min<std::size_t>(read.data.size(), BufferLength);
  std::memcpy(Buffer, read.data.data(), copied);
  *LengthTransferred = read.overrideTransferred ? read.transferred : static_cast<ULONG>(copied);
  return TRUE;
}
