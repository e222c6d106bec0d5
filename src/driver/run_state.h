// SPDX-License-Identifier: MIT
// The run's shared data and constants.
#pragma once

#include "platform.h"

// {6120D798-D192-4463-B0DE-2B65ED2F4870}: the device interface class searched for.
inline constexpr GUID DeviceInterfaceGuid = {
    0x6120D798, 0xD192, 0x4463, {0xB0, 0xDE, 0x2B, 0x65, 0xED, 0x2F, 0x48, 0x70}};

// At most 260 characters of path and a terminator.
inline constexpr DWORD DEVICE_PATH_CCH = 261;

// The most bytes one pipe call moves.
inline constexpr ULONG CHUNK_SIZE = 4096;

// Bytes to read back from the device; 0 selects verbose mode.
extern ULONG ReadCount;

// Result of the last device phase; FALSE skips every later phase.
extern BOOL SetupStatus;

// Set when a standard stream failed during a transfer; the run then exits with 1.
extern BOOL StreamFailed;

// Path of the device interface found by the lookup; empty when none was found.
extern WCHAR DevicePath[DEVICE_PATH_CCH];

// Runs the whole program for an already parsed count; returns the exit status.
int RunMainSequence(ULONG count);
