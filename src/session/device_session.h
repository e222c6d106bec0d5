// SPDX-License-Identifier: MIT
// The open device: its handles, speed and pipe map.
#pragma once

#include "platform.h"

struct PIPE_MAP {
  UCHAR InterruptPipeId;
  UCHAR BulkOutPipeId; // bit 7 clear
  UCHAR BulkInPipeId;  // bit 7 set
};

struct DEVICE_SESSION {
  HANDLE DeviceHandle;
  WINUSB_INTERFACE_HANDLE InterfaceHandle;
  UCHAR DeviceSpeed;
  PIPE_MAP PipeMap;
};

// Zero at start; filled by the session setup and held until the process ends.
extern DEVICE_SESSION DeviceSession;

// Opens path and keeps the handle, valid or not, in DeviceSession.
void OpenDevice(const WCHAR *path);

// Binds the WinUSB interface, then reads the speed and the descriptor of
// alternate setting 0. TRUE when all three succeeded.
BOOL InitializeSession(USB_INTERFACE_DESCRIPTOR *descriptor);

// Classifies every endpoint of alternate setting 0 into the pipe map, using
// pipe as the query's record. FALSE for a control or isochronous pipe;
// otherwise the result of the last pipe query.
BOOL MapPipes(const USB_INTERFACE_DESCRIPTOR *descriptor, WINUSB_PIPE_INFORMATION *pipe);
