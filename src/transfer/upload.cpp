// SPDX-License-Identifier: MIT
#include <cerrno>
#include <cstdio>

#include "console_messages.h"
#include "device_session.h"
#include "transfer.h"

UCHAR TransferBuffer[CHUNK_SIZE];

namespace {

// Writes the first length bytes of the buffer, again and again from the
// next unsent byte until the device has taken them all.
BOOL WriteChunk(ULONG length) {
  ULONG offset = 0;
  while (length > 0) {
    ULONG transferred = 0;
    if (!WinUsb_WritePipe(DeviceSession.InterfaceHandle, DeviceSession.PipeMap.BulkOutPipeId,
                          TransferBuffer + offset, length, &transferred, nullptr)) {
      PrintDiagnostic(MSG_WRITE_PIPE_FALSE);
      return FALSE;
    }
    // A device never takes more than it was given; trust no more than that.
    if (transferred > length) {
      transferred = length;
    }
    length -= transferred;
    offset += transferred;
  }
  return TRUE;
}

} // namespace

BOOL UploadFromStdin() {
  for (;;) {
    // Blocks until the chunk is full or the input has ended, so chunks are
    // as a byte-at-a-time read would form them.
    const ULONG length = static_cast<ULONG>(std::fread(TransferBuffer, 1, CHUNK_SIZE, stdin));
    const int readError = std::ferror(stdin) ? errno : 0;
    if (ReadCount == 0) {
      PrintProgress(MSG_ATTEMPTING_WRITE, static_cast<int>(length));
    }
    if (!WriteChunk(length)) {
      return FALSE;
    }
    if (readError != 0) {
      errno = readError;
      PrintDiagnostic(MSG_CANNOT_READ_STDIN);
      StreamFailed = TRUE;
      return FALSE;
    }
    if (length < CHUNK_SIZE) {
      return TRUE;
    }
  }
}
