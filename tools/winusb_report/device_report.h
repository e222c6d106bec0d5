// SPDX-License-Identifier: MIT
// The report on every device: the discovery's verdict, Windows' view, the
// program's, and the device the program would pick.
#pragma once

#include <optional>
#include <vector>

#include "explained_device.h"
#include "program_view.h"
#include "registry_property.h"
#include "windows_view.h"

namespace pelmora::report {

struct DeviceReport {
  linux_platform::ExplainedDevice device;
  WindowsView windows;
  ProgramView program;
  std::vector<Problem> problems; // Windows' and the program's, errors first
};

struct Report {
  usb::GuidText guid;
  std::vector<DeviceReport> devices;
  std::optional<std::size_t> pick; // the first device that matches, in the program's order
};

Report BuildReport(std::vector<linux_platform::ExplainedDevice> devices, const usb::GuidText &guid);

} // namespace pelmora::report
