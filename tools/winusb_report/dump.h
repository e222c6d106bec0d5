// SPDX-License-Identifier: MIT
// A dump: every descriptor and answer read from each device, as JSON, so
// that the report can run again anywhere on what the devices said.
//   {"format": 1, "guid": "{...}", "devices": [{"bus": 1, "address": 4,
//    "port_path": "1-2", "device_descriptor": "12 01 ...", "configurations":
//    "09 02 ...", "active_configuration": 1, "open_error": "...",
//    "requests": [{"setup": "80 06 00 0F 00 00 05 00", "answer": "05 0F ..."},
//                 {"setup": "...", "failure": "stall"}]}]}
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "explained_device.h"
#include "registry_property.h"

namespace pelmora::report {

inline constexpr int DUMP_FORMAT = 1;

struct RecordedDevice {
  linux_platform::DeviceRecord record;
  std::vector<linux_platform::Exchange> exchanges;
};

std::string WriteDump(const usb::GuidText &guid,
                      const std::vector<linux_platform::ExplainedDevice> &devices);

// The devices of a dump; nothing when it cannot be read, and then problem
// says where in the text and what is wrong.
std::optional<std::vector<RecordedDevice>> ReadDump(std::string_view text, std::string &problem);

} // namespace pelmora::report
