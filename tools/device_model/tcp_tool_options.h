// SPDX-License-Identifier: MIT
// The command line of a device tool that serves its device over TCP: the
// device options, --port, --port-file, --log and --help, and the tool's own.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "device_options.h"
#include "device_spec.h"

namespace pelmora::emulated {

struct TcpToolOptions {
  DeviceSpec spec;
  Faults faults;
  std::uint16_t port = 0;
  std::string portFile;
  std::string logPath;
};

// How a tool reports its usage: help prints it to standard output; usage
// prints a problem and it to standard error and exits with status 2.
struct ToolUsage {
  std::function<void()> help;
  std::function<void(const std::string &problem)> usage;
};

// The help and the usage message of a tool whose help text is usageText, the
// device options', the log limit's and the queue limit's after it.
ToolUsage TcpToolUsage(const char *tool, const char *usageText);

// The tool's own option, given its value (null when none follows); false when
// the option is not the tool's. It calls takeValue() when it used the value.
using OwnOption = std::function<bool(std::string_view option, const char *value,
                                     const std::function<void()> &takeValue)>;

// Reads argv into options and opens the log they name. Returns false when the
// program should end at once: after --help (status 0), or when the log cannot
// be opened (status 1, said on standard error); a bad option goes to
// usage.usage, which does not return.
bool ReadTcpToolOptions(int argc, char **argv, const OwnOption &own, const ToolUsage &usage,
                        TcpToolOptions &options, DeviceLog &log, int &status);

} // namespace pelmora::emulated
