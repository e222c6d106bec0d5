// SPDX-License-Identifier: MIT
// Runs the whole program once, in a child process, on the scripted device:
// every run starts with the process-wide records zeroed, as a real start does.
#pragma once

#include <string>
#include <vector>

#include "scripted_device.h"

enum class InputKind {
  Bytes,          // the given bytes, then end of input
  Closed,         // descriptor 0 not open
  BytesThenError, // the given bytes, then a read error
};

enum class OutputKind {
  Captured, // bytes kept for the test
  Full,     // every write fails: no space left
  Closed,   // descriptor 1 not open
};

struct RunOptions {
  std::vector<std::string> arguments; // after the program name
  std::string input;
  InputKind inputKind = InputKind::Bytes;
  OutputKind outputKind = OutputKind::Captured;
};

struct ProgramRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
  std::vector<std::string> calls;
  std::string received; // bytes the bulk OUT pipe took

  // The arguments of every call to one function, in order.
  std::vector<std::string> CallsTo(const std::string &function) const;
  // The length argument of every write or read, in order.
  std::vector<unsigned long> Lengths(const std::string &function) const;
};

ProgramRun RunProgram(const DeviceScript &device, const RunOptions &options);

// The C library's error text for an error number, as diagnostics show it.
std::string ErrorText(int error);
