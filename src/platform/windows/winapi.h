// SPDX-License-Identifier: MIT
// On Windows the SDK is the platform.
#pragma once

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <setupapi.h>
#include <winusb.h>

// The 32-bit layouts the lookup hands to SetupAPI: a 28-byte interface
// record, and a detail record whose fixed size (its size field and one
// character, packed) is 6 bytes.
static_assert(sizeof(void *) != 4 || sizeof(SP_DEVICE_INTERFACE_DATA) == 28,
              "SP_DEVICE_INTERFACE_DATA must be 28 bytes on 32-bit Windows");
static_assert(
    sizeof(void *) != 4 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6,
    "the fixed part of SP_DEVICE_INTERFACE_DETAIL_DATA_W must be 6 bytes on 32-bit Windows");
