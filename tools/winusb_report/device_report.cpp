// SPDX-License-Identifier: MIT
#include "device_report.h"

#include <algorithm>

namespace pelmora::report {

Report BuildReport(std::vector<linux_platform::ExplainedDevice> devices,
                   const usb::GuidText &guid) {
  Report report{guid, {}, std::nullopt};
  for (linux_platform::ExplainedDevice &device : devices) {
    DeviceReport entry;
    entry.windows = PredictWindows(device);
    entry.program = ProgramViewOf(device, entry.windows, guid);
    entry.problems = entry.windows.problems;
    entry.problems.insert(entry.problems.end(), entry.program.problems.begin(),
                          entry.program.problems.end());
    std::stable_sort(entry.problems.begin(), entry.problems.end(),
                     [](const Problem &a, const Problem &b) { return a.severity < b.severity; });
    entry.device = std::move(device);
    if (!report.pick && entry.device.match) {
      report.pick = report.devices.size();
    }
    report.devices.push_back(std::move(entry));
  }
  return report;
}

} // namespace pelmora::report
