// SPDX-License-Identifier: MIT
#include "program_view.h"

#include <algorithm>
#include <cstdio>

#include "configuration_descriptor.h"
#include "device_discovery.h"
#include "function_path.h"

namespace pelmora::report {

namespace {

constexpr std::uint8_t TYPE_MASK = 0x03;
constexpr std::uint8_t BULK = 0x02;
constexpr std::uint8_t INTERRUPT = 0x03;
constexpr std::uint8_t DIRECTION_IN = 0x80;

std::string Address(std::uint8_t address) {
  char text[8];
  (void)std::snprintf(text, sizeof text, "0x%02X", address);
  return text;
}

const usb::Configuration *ActiveOf(const std::vector<usb::Configuration> &configurations,
                                   const linux_platform::DeviceRecord &record) {
  for (const usb::Configuration &configuration : configurations) {
    if (!record.activeConfiguration || configuration.value == *record.activeConfiguration) {
      return &configuration;
    }
  }
  return nullptr;
}

// The endpoints of alternate setting 0, classified as the pipe map does: it
// stops at the first control or isochronous one, and the setup fails.
void MapPipes(const linux_platform::ExplainedDevice &device, std::uint8_t number,
              ProgramView &view) {
  const std::vector<usb::Configuration> configurations =
      usb::ParseConfigurations(device.record.configurations);
  const usb::Configuration *active = ActiveOf(configurations, device.record);
  const usb::InterfaceSetting *setting =
      active != nullptr ? usb::SettingZero(*active, number) : nullptr;
  const std::string where = "interface " + std::to_string(number);
  if (setting == nullptr || setting->endpoints.empty()) {
    view.problems.push_back(
        Raise(Rule::PipesUnusable,
              "alternate setting 0 of " + where +
                  (setting == nullptr ? " is not in the configuration" : " has no endpoints") +
                  ": the program's setup fails"));
    return;
  }
  for (const usb::Endpoint &endpoint : setting->endpoints) {
    const std::uint8_t type = endpoint.attributes & TYPE_MASK;
    if (type == BULK) {
      ((endpoint.address & DIRECTION_IN) != 0 ? view.pipes.bulkIn : view.pipes.bulkOut) =
          endpoint.address;
    } else if (type == INTERRUPT) {
      view.pipes.interrupt = endpoint.address;
    } else {
      view.problems.push_back(Raise(Rule::PipesUnusable,
                                    "endpoint " + Address(endpoint.address) + " of " + where +
                                        " is " + (type == 0 ? "a control" : "an isochronous") +
                                        " endpoint: the pipe map stops there and the setup fails"));
      return;
    }
  }
}

// The first function Windows binds to WinUSB and registers the class for.
std::optional<std::uint8_t> WindowsMatch(const WindowsView &windows, const std::string &guid) {
  std::optional<std::uint8_t> first;
  for (const WindowsFunction &function : windows.functions) {
    const bool registers = function.driver == Driver::WinUsb &&
                           std::find(function.interfaceGuids.begin(), function.interfaceGuids.end(),
                                     guid) != function.interfaceGuids.end();
    if (registers && (!first || function.firstInterface < *first)) {
      first = function.firstInterface;
    }
  }
  return first;
}

std::string Finding(std::optional<std::uint8_t> function) {
  return function ? "the function at interface " + std::to_string(*function) : "no function";
}

} // namespace

ProgramView ProgramViewOf(const linux_platform::ExplainedDevice &device, const WindowsView &windows,
                          const usb::GuidText &guid) {
  ProgramView view;
  if (device.match) {
    view.interface = device.match;
    view.path =
        linux_platform::FunctionPathText({linux_platform::NodePath(device.record), *device.match});
    MapPipes(device, *device.match, view);
  }
  if (!device.opened) {
    return view;
  }
  const std::optional<std::uint8_t> onWindows = WindowsMatch(windows, "{" + guid.text + "}");
  if (onWindows != device.match) {
    view.problems.push_back(
        Raise(Rule::ProgramDiffers, "on Linux the program finds " + Finding(device.match) +
                                        ", on Windows it would find " + Finding(onWindows) +
                                        " (WinUSB with the interface class {" + guid.text + "})"));
  }
  return view;
}

} // namespace pelmora::report
