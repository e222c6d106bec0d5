// SPDX-License-Identifier: MIT
#include "run_state.h"

ULONG ReadCount;
BOOL SetupStatus;
BOOL StreamFailed;
WCHAR DevicePath[DEVICE_PATH_CCH];
