// SPDX-License-Identifier: MIT
// Finding the device interface path of the first present device of the
// interface class.
#pragma once

#include "platform.h"

// Copy status when the source did not fit and was cut.
inline const HRESULT PATH_CUT_STATUS = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

// Reports "GetDevicePath." and fills path (DEVICE_PATH_CCH characters) with
// the path of the first present device interface of the class. Returns FALSE
// and leaves path empty or untouched when no whole path was found.
BOOL GetDevicePath(WCHAR *path);

// Copies the terminated source into a destination of DEVICE_PATH_CCH
// characters: 0 when it fitted, PATH_CUT_STATUS when only its first
// DEVICE_PATH_CCH - 1 characters were kept.
HRESULT CopyDevicePath(WCHAR *destination, const WCHAR *source);
