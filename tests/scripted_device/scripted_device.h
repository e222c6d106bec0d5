// SPDX-License-Identifier: MIT
// A scripted in-memory device behind the program's platform seam: the
// device-setup enumeration, the open and the six WinUSB operations. A test
// scripts what the device is and how each call answers; the device records
// every call with its arguments.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform.h"

struct ScriptedPipe {
  USBD_PIPE_TYPE type;
  UCHAR id;
  bool queryFails = false;
};

// One answer of the bulk IN pipe.
struct ScriptedRead {
  BOOL ok = TRUE;
  std::string data;
  // When set, the count reported as transferred instead of data's length.
  bool overrideTransferred = false;
  ULONG transferred = 0;
  // The read never returns: the user interrupts the program (SIGINT) instead.
  bool interrupted = false;
};

struct DeviceScript {
  // Interface paths in enumeration order; empty when no device is present.
  std::vector<std::wstring> paths;
  bool detailQueryFails = false;

  // Handle values the device hands out.
  std::uintptr_t deviceHandle = 0x1234;
  std::uintptr_t interfaceHandle = 0x5678;
  // When set, decides which device handles the binding accepts, in place of
  // comparing with deviceHandle (for a handle the real platform opened).
  std::function<bool(HANDLE)> acceptsDeviceHandle;

  bool initializeFails = false;
  bool speedQueryFails = false;
  UCHAR speed = 3;
  bool interfaceQueryFails = false;
  // The endpoints of alternate setting 0, in the order the queries see them.
  std::vector<ScriptedPipe> pipes;
  // When set, the descriptor's endpoint count instead of the number of pipes.
  int endpointCountOverride = -1;

  // Each write takes at most this many bytes, after any scripted takes.
  ULONG maxBytesPerWrite = UINT32_MAX;
  // Counts that the next writes report as taken (0 allowed), in order.
  std::deque<ULONG> writeTakes;
  // The 1-based number of the write that fails; 0 for none.
  int failingWrite = 0;

  // Answers of the next reads, in order; a read with no answer left fails.
  std::deque<ScriptedRead> reads;
};

// The script the device follows; a test sets it before the program runs.
DeviceScript &Script();

// Every call the device received, one line each: the function and its arguments.
std::vector<std::string> &CallLog();

// All bytes the bulk OUT pipe took, in order.
std::string &ReceivedBytes();

// Device sets handed out and not yet destroyed.
int &OpenDeviceSets();

// One present device with bulk OUT 0x01, bulk IN 0x81 and interrupt IN 0x83.
DeviceScript WorkingDevice();
