// SPDX-License-Identifier: MIT
#include <cstdio>

#include "console_messages.h"
#include "device_session.h"
#include "transfer.h"

namespace {

void ReportStdoutFailure() {
  PrintDiagnostic(MSG_CANNOT_WRITE_STDOUT);
  StreamFailed = TRUE;
}

} // namespace

void DownloadToStdout() {
  while (ReadCount != 0) {
    const ULONG length = ReadCount <= CHUNK_SIZE ? ReadCount : CHUNK_SIZE;
    ULONG transferred = 0;
    if (!WinUsb_ReadPipe(DeviceSession.InterfaceHandle, DeviceSession.PipeMap.BulkInPipeId,
                         TransferBuffer, length, &transferred, nullptr)) {
      PrintDiagnostic(MSG_READ_PIPE_FALSE);
      break;
    }
    // A device never delivers more than was asked for; trust no more than that.
    if (transferred > length) {
      transferred = length;
    }
    ReadCount -= transferred;
    // Through to standard output before the next read, which may never end:
    // a run stopped by a signal must not lose what the device already gave.
    if (std::fwrite(TransferBuffer, 1, transferred, stdout) != transferred ||
        std::fflush(stdout) != 0) {
      ReportStdoutFailure();
      return;
    }
  }
  // Bytes taken from the device must not be lost in a buffer that never
  // reaches its destination.
  if (std::fflush(stdout) != 0) {
    ReportStdoutFailure();
  }
}
