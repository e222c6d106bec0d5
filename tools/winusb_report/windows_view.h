// SPDX-License-Identifier: MIT
// What Windows 8.1 and later make of a device, from the same answers the
// discovery read: composite or not, each function's driver and interface
// classes, and the rules the device breaks. It never changes what the
// program does.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "explained_device.h"
#include "rules.h"

namespace pelmora::report {

enum class Driver { WinUsb, ClassDriver, None };
enum class DescriptorSource { MsOs20, MsOs10, None };

struct WindowsFunction {
  std::uint8_t firstInterface = 0;
  std::vector<std::uint8_t> interfaces;
  std::uint8_t functionClass = 0;
  std::uint8_t functionSubClass = 0;
  Driver driver = Driver::None;
  std::string classDriver; // the in-box driver's name, e.g. "usbser"
  std::string className;   // e.g. "CDC ACM"
  std::string compatibleId;
  std::vector<std::string> interfaceGuids; // as registered: in braces, upper case
  bool declaresGuid = false;               // a GUID property, registered or not
};

struct WindowsView {
  bool composite = false;
  DescriptorSource descriptors = DescriptorSource::None;
  std::vector<WindowsFunction> functions;
  std::vector<Problem> problems;
};

WindowsView PredictWindows(const linux_platform::ExplainedDevice &device);

} // namespace pelmora::report
