// SPDX-License-Identifier: MIT
// The functions Windows makes of a device's active configuration, the driver
// each gets and what the interface class properties give them; shared by
// the readers of the Microsoft OS 2.0 and 1.0 descriptors.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "configuration_descriptor.h"
#include "explained_device.h"
#include "registry_property.h"
#include "request_codes.h"
#include "rules.h"
#include "windows_view.h"

namespace pelmora::report::windows {

// GET_DESCRIPTOR's wValue for the Microsoft OS string.
inline constexpr std::uint16_t OS_STRING_VALUE =
    usb::DescriptorValue(usb::STRING_TYPE, usb::OS_STRING_INDEX);

// What a device's descriptors show before anything is asked.
struct Shape {
  usb::DeviceFields fields;
  usb::Configuration active;
  std::size_t activeIndex = 0;
  std::size_t configurationCount = 0;
};

// What one kind of Microsoft OS descriptors gives the device's functions.
struct Reading {
  bool used = false;
  bool enumerationFails = false;
  bool composite = false;
  std::vector<WindowsFunction> functions;
  std::vector<Problem> problems;
};

// "0x" and the value in this many hexadecimal digits.
std::string Hex(unsigned value, int digits);

bool IsComposite(const usb::DeviceFields &fields, const usb::Configuration &configuration);

// An interface association makes one function of its interfaces; every
// other interface is a function of its own. A device that is not composite
// is one function holding all its interfaces.
std::vector<WindowsFunction> FunctionsOf(const usb::DeviceFields &fields,
                                         const usb::Configuration &configuration, bool composite);

// WinUSB for the compatible ID WINUSB, else an in-box class driver, else none.
void AssignDriver(WindowsFunction &function);

// The interface classes one property gives the function, as Windows
// registers them, and what is wrong with the property; where says where it
// was found, for the problems' texts.
void ReadGuidProperty(const usb::RegistryProperty &property, const std::string &where,
                      WindowsFunction &function, std::vector<Problem> &problems);

std::string FunctionName(const WindowsFunction &function);

// The function that starts at this interface; nullptr when none does.
WindowsFunction *FunctionAt(std::vector<WindowsFunction> &functions, std::uint8_t first);

// The readers of each kind of descriptors, from what the device answered.
void ReadMsOs20(const linux_platform::ExplainedDevice &device, const Shape &shape,
                Reading &reading);
void ReadMsOs10(const linux_platform::ExplainedDevice &device, Reading &reading);

} // namespace pelmora::report::windows
