// SPDX-License-Identifier: MIT
// Moving bytes between the standard streams and the device's bulk pipes.
#pragma once

#include "platform.h"
#include "run_state.h"

// The one buffer shared by upload and download, which never overlap.
extern UCHAR TransferBuffer[CHUNK_SIZE];

// Sends all of standard input to the bulk OUT pipe in chunks of at most
// CHUNK_SIZE bytes. FALSE when a write failed or standard input could not
// be read.
BOOL UploadFromStdin();

// Reads ReadCount bytes from the bulk IN pipe to standard output, counting
// ReadCount down; ends early when a read fails or standard output fails.
void DownloadToStdout();
