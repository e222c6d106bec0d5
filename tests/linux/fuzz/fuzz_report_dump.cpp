// SPDX-License-Identifier: MIT
// Any text as a report dump; what it reads goes through the discovery on its
// recorded answers, the Windows view, and both outputs.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "device_discovery.h"
#include "device_report.h"
#include "dump.h"
#include "report_json.h"
#include "report_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  std::string problem;
  const auto recorded = pelmora::report::ReadDump(text, problem);
  if (!recorded) {
    return 0;
  }
  const pelmora::usb::GuidText guid{"6120D798-D192-4463-B0DE-2B65ED2F4870"};
  std::vector<pelmora::linux_platform::ExplainedDevice> devices;
  for (const pelmora::report::RecordedDevice &device : *recorded) {
    devices.push_back(
        pelmora::linux_platform::ExplainRecordedDevice(device.record, device.exchanges, guid));
  }
  const pelmora::report::Report report = pelmora::report::BuildReport(devices, guid);
  (void)pelmora::report::ReportText(report);
  (void)pelmora::report::ReportJson(report);
  (void)pelmora::report::WriteDump(guid, devices);
  return 0;
}
