// SPDX-License-Identifier: MIT
// The command-line options that choose a variant of the emulated device and
// its faults, shared by every command that serves the device.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "device_spec.h"

namespace pelmora::emulated {

// Help lines for the options below, each starting with two spaces.
extern const char DEVICE_OPTIONS_HELP[];
// The help lines of --queue-limit, which every device tool takes.
extern const char QUEUE_LIMIT_HELP[];
// The help line of --log-limit, which every tool with a log file takes.
extern const char LOG_LIMIT_HELP[];

enum class DeviceOption {
  NotOurs, // not a device option: the caller's own, or unknown
  Applied,
  Invalid, // a device option with a missing or bad value
};

// Applies argv[index] when it is a device option, taking its value from
// argv[index + 1] and advancing index past it. Unless it was applied, problem
// says why, as a command would report an option it cannot use.
DeviceOption ApplyDeviceOption(int argc, char *const argv[], int &index, DeviceSpec &spec,
                               Faults &faults, std::string &problem);

// What is wrong with the options as a whole; empty when nothing is.
std::string CheckDeviceOptions(const DeviceSpec &spec, const Faults &faults);

// The file a command's --log PATH names.
using DeviceLog = std::unique_ptr<std::FILE, int (*)(std::FILE *)>;

// Opens path for writing, line-buffered so that a reader sees each line as it
// happens; no file for an empty path. Past limit bytes the log stops, with a
// last line saying so. A tool may run as root, so the path must name a
// regular file of this user's with no other name, or nothing: a symbolic
// link, a FIFO, a device, a hard link or another user's file is refused and
// left as it was. On failure says why on standard error and returns false.
bool OpenDeviceLog(const std::string &path, std::uint32_t limit, DeviceLog &log);

} // namespace pelmora::emulated
