// SPDX-License-Identifier: MIT
#include "device_session.h"

#include <cstdint>

#include "console_messages.h"
#include "run_state.h"

DEVICE_SESSION DeviceSession;

namespace {

void PrintOutcome(BOOL ok, const wchar_t *whenTrue, const wchar_t *whenFalse) {
  if (ReadCount == 0) {
    PrintProgress(ok ? whenTrue : whenFalse);
  }
}

// Handles wider than 32 bits show their low 32 bits.
unsigned HandleValue(HANDLE handle) {
  return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu);
}

} // namespace

void OpenDevice(const WCHAR *path) {
  DeviceSession.DeviceHandle =
      CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (ReadCount == 0) {
    PrintProgress(MSG_OPEN_DEVICE, HandleValue(DeviceSession.DeviceHandle));
  }
}

BOOL InitializeSession(USB_INTERFACE_DESCRIPTOR *descriptor) {
  BOOL ok = WinUsb_Initialize(DeviceSession.DeviceHandle, &DeviceSession.InterfaceHandle);
  PrintOutcome(ok, MSG_INITIALIZE_TRUE, MSG_INITIALIZE_FALSE);
  if (!ok) {
    return FALSE;
  }
  ULONG length = sizeof DeviceSession.DeviceSpeed;
  ok = WinUsb_QueryDeviceInformation(DeviceSession.InterfaceHandle, DEVICE_SPEED, &length,
                                     &DeviceSession.DeviceSpeed);
  PrintOutcome(ok, MSG_DEVICE_INFORMATION_TRUE, MSG_DEVICE_INFORMATION_FALSE);
  if (!ok) {
    return FALSE;
  }
  ok = WinUsb_QueryInterfaceSettings(DeviceSession.InterfaceHandle, 0, descriptor);
  PrintOutcome(ok, MSG_INTERFACE_SETTINGS_TRUE, MSG_INTERFACE_SETTINGS_FALSE);
  return ok;
}

BOOL MapPipes(const USB_INTERFACE_DESCRIPTOR *descriptor, WINUSB_PIPE_INFORMATION *pipe) {
  PIPE_MAP &map = DeviceSession.PipeMap;
  BOOL status = TRUE;
  for (UCHAR index = 0; index < descriptor->bNumEndpoints; ++index) {
    // A failed query leaves a zeroed record, which reads as a control pipe
    // and ends the map, never as a stale pipe from the previous index.
    *pipe = {};
    status = WinUsb_QueryPipe(DeviceSession.InterfaceHandle, 0, index, pipe);
    switch (pipe->PipeType) {
    case UsbdPipeTypeBulk:
      if (pipe->PipeId & 0x80) {
        map.BulkInPipeId = pipe->PipeId;
      } else {
        map.BulkOutPipeId = pipe->PipeId;
      }
      break;
    case UsbdPipeTypeInterrupt:
      map.InterruptPipeId = pipe->PipeId;
      break;
    default:
      return FALSE;
    }
  }
  return status;
}
