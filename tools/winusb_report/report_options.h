// SPDX-License-Identifier: MIT
// The command line of pelmora-winusb-report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelmora::report {

extern const char USAGE[];

// --device BUS:ADDRESS (decimal) or VID:PID (four hexadecimal digits each).
struct DeviceSelector {
  bool byIds = false;
  std::uint16_t first = 0;  // bus, or vendor id
  std::uint16_t second = 0; // address, or product id
};

struct Options {
  std::optional<DeviceSelector> device;
  bool json = false;
  bool help = false;
  std::string save; // empty: no dump written
  std::string from; // empty: the devices present
};

// Nothing on a usage error, which problem then names.
std::optional<Options> ParseOptions(int argc, char *const argv[], std::string &problem);

} // namespace pelmora::report
