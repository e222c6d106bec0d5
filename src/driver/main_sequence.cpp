// SPDX-License-Identifier: MIT
// The run: stream modes, the verbose preamble, then each device phase once,
// in order, with one success flag carried from phase to phase.
#include <cstdio>

#include "console_messages.h"
#include "device_path.h"
#include "device_session.h"
#include "run_state.h"
#include "transfer.h"

namespace {

int SetBinaryMode(std::FILE *stream) { return _setmode(_fileno(stream), _O_BINARY); }

void PrintPreamble() {
  PrintProgress(MSG_BANNER);
  PrintProgress(MSG_GUID_PREFIX);
  // The stored bytes of the GUID, in memory order, not its textual form.
  const auto *bytes = reinterpret_cast<const unsigned char *>(&DeviceInterfaceGuid);
  for (size_t i = 0; i < sizeof DeviceInterfaceGuid; ++i) {
    PrintProgress(MSG_GUID_BYTE, static_cast<unsigned>(bytes[i]));
  }
  PrintProgress(MSG_LINE_END);
}

} // namespace

int RunMainSequence(ULONG count) {
  ReadCount = count;
  if (ReadCount != 0 && SetBinaryMode(stdout) == -1) {
    PrintDiagnostic(MSG_CANNOT_SET_STDOUT);
    return 1;
  }
  if (SetBinaryMode(stdin) == -1) {
    PrintDiagnostic(MSG_CANNOT_SET_STDIN);
    return 1;
  }
  if (ReadCount == 0) {
    PrintPreamble();
  }

  PrintDiagnostic(GetDevicePath(DevicePath) ? MSG_LOOKUP_TRUE : MSG_LOOKUP_FALSE);

  USB_INTERFACE_DESCRIPTOR descriptor = {};
  WINUSB_PIPE_INFORMATION pipe = {};
  OpenDevice(DevicePath);
  SetupStatus = InitializeSession(&descriptor);
  if (SetupStatus) {
    SetupStatus = MapPipes(&descriptor, &pipe);
  }
  if (SetupStatus) {
    SetupStatus = UploadFromStdin();
  }
  if (ReadCount != 0 && SetupStatus) {
    DownloadToStdout();
  }
  return StreamFailed ? 1 : 0;
}
