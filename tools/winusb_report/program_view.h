// SPDX-License-Identifier: MIT
// What the program does with a device: the lookup's own verdict, the path
// it would open and the pipes its pipe map would find, and where Linux and
// Windows would disagree.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "explained_device.h"
#include "registry_property.h"
#include "windows_view.h"

namespace pelmora::report {

struct Pipes {
  std::optional<std::uint8_t> bulkOut;
  std::optional<std::uint8_t> bulkIn;
  std::optional<std::uint8_t> interrupt;
};

struct ProgramView {
  std::optional<std::uint8_t> interface; // the matched function's first interface
  std::string path;
  Pipes pipes;
  std::vector<Problem> problems;
};

ProgramView ProgramViewOf(const linux_platform::ExplainedDevice &device, const WindowsView &windows,
                          const usb::GuidText &guid);

} // namespace pelmora::report
