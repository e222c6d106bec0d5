// SPDX-License-Identifier: MIT
#include "windows_view.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "configuration_descriptor.h"
#include "windows_functions.h"

namespace pelmora::report {

namespace {

using linux_platform::ExplainedDevice;
using linux_platform::Outcome;
using namespace windows;

void CheckFunctions(Reading &reading) {
  for (WindowsFunction &function : reading.functions) {
    AssignDriver(function);
    if (function.driver == Driver::WinUsb && function.interfaceGuids.empty()) {
      reading.problems.push_back(
          Raise(Rule::NoInterfaceGuid, FunctionName(function) +
                                           " gets WinUSB, but no interface class is registered "
                                           "for it: no application finds it by its class"));
    } else if (function.driver != Driver::WinUsb && function.declaresGuid) {
      reading.problems.push_back(
          Raise(Rule::GuidWithoutWinUsb,
                FunctionName(function) +
                    " declares an interface class but not the compatible ID "
                    "WINUSB: Windows gives it " +
                    (function.driver == Driver::ClassDriver ? function.classDriver
                                                            : std::string("no driver")) +
                    " and registers no interface class"));
    }
  }
}

bool SameFunctions(const std::vector<WindowsFunction> &a, const std::vector<WindowsFunction> &b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](const WindowsFunction &x, const WindowsFunction &y) {
                      return x.compatibleId == y.compatibleId &&
                             x.interfaceGuids == y.interfaceGuids;
                    });
}

bool AnyWinUsb(const std::vector<WindowsFunction> &functions) {
  return std::any_of(functions.begin(), functions.end(),
                     [](const WindowsFunction &f) { return f.driver == Driver::WinUsb; });
}

std::optional<Shape> ShapeOf(const ExplainedDevice &device) {
  const auto fields = usb::ParseDeviceDescriptor(device.record.deviceDescriptor);
  if (!fields) {
    return std::nullopt;
  }
  Shape shape;
  shape.fields = *fields;
  const std::vector<usb::Configuration> configurations =
      usb::ParseConfigurations(device.record.configurations);
  shape.configurationCount =
      std::max<std::size_t>(configurations.size(), fields->configurationCount);
  for (std::size_t i = 0; i < configurations.size(); ++i) {
    if (!device.record.activeConfiguration ||
        configurations[i].value == *device.record.activeConfiguration) {
      shape.active = configurations[i];
      shape.activeIndex = i;
      break;
    }
  }
  return shape;
}

void Notes(const ExplainedDevice &device, const Shape &shape, WindowsView &view, bool ms10Used) {
  const bool osString =
      linux_platform::AnswerTo(device, usb::STANDARD_DEVICE_IN, OS_STRING_VALUE, 0) != nullptr;
  if (view.descriptors == DescriptorSource::MsOs20 && !ms10Used && AnyWinUsb(view.functions)) {
    view.problems.push_back(Raise(Rule::Windows7And8,
                                  "Windows 7 and 8 read only Microsoft OS 1.0 descriptors: there "
                                  "no function gets WinUSB"));
  } else if (view.descriptors == DescriptorSource::MsOs10 && AnyWinUsb(view.functions)) {
    view.problems.push_back(Raise(Rule::Windows7And8,
                                  "on Windows 7 the compatible ID WINUSB is matched through "
                                  "Windows Update: offline, the function shows as an unknown "
                                  "device"));
  }
  if (osString || view.descriptors != DescriptorSource::None) {
    char key[16];
    (void)std::snprintf(key, sizeof key, "%04X%04X%04X", shape.fields.vendorId,
                        shape.fields.productId, shape.fields.bcdDevice);
    view.problems.push_back(
        Raise(Rule::UsbflagsCache,
              std::string("Windows asks for string 0xEE once per vendor, product and bcdDevice "
                          "and keeps the answer (usbflags\\") +
                  key + "): fixed firmware with the same bcdDevice looks unchanged"));
  }
}

} // namespace

WindowsView PredictWindows(const ExplainedDevice &device) {
  WindowsView view;
  const std::optional<Shape> shape = ShapeOf(device);
  if (!shape) {
    return view;
  }
  view.composite = IsComposite(shape->fields, shape->active);
  view.functions = FunctionsOf(shape->fields, shape->active, view.composite);
  if (!device.opened) {
    for (WindowsFunction &function : view.functions) {
      AssignDriver(function);
    }
    if (!device.hub) {
      char rule[160];
      (void)std::snprintf(rule, sizeof rule,
                          "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", "
                          "ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\", TAG+=\"uaccess\"",
                          shape->fields.vendorId, shape->fields.productId);
      view.problems.push_back(Raise(
          Rule::CannotOpen, "the device could not be opened (" + device.record.openError +
                                "): nothing could be asked. This line in "
                                "/etc/udev/rules.d/70-pelmora-winusb-test.rules grants the user at "
                                "the seat access: " +
                                rule));
    }
    return view;
  }
  const auto silent = std::find_if(
      device.exchanges.begin(), device.exchanges.end(),
      [](const linux_platform::Exchange &e) { return e.answer.outcome == Outcome::TimedOut; });
  if (silent != device.exchanges.end()) {
    view.problems.push_back(Raise(
        Rule::RequestTimedOut,
        "a request went unanswered (bRequest " + Hex(silent->request.request, 2) + ", wValue " +
            Hex(silent->request.value, 4) + ", wIndex " + Hex(silent->request.index, 4) +
            "): Windows resets a device that does not answer"));
  }
  Reading ms20{false, false, view.composite, view.functions, {}};
  ReadMsOs20(device, *shape, ms20);
  CheckFunctions(ms20);
  if (ms20.enumerationFails) {
    // No driver loads for a device that fails enumeration.
    view.problems.insert(view.problems.end(), ms20.problems.begin(), ms20.problems.end());
    return view;
  }
  Reading ms10{
      false, false, ms20.composite, FunctionsOf(shape->fields, shape->active, ms20.composite), {}};
  ReadMsOs10(device, ms10);
  CheckFunctions(ms10);

  const Reading &used = ms20.used ? ms20 : ms10;
  view.composite = used.composite;
  view.descriptors = ms20.used   ? DescriptorSource::MsOs20
                     : ms10.used ? DescriptorSource::MsOs10
                                 : DescriptorSource::None;
  view.functions = used.functions;
  view.problems.insert(view.problems.end(), ms20.problems.begin(), ms20.problems.end());
  if (!ms20.used) {
    view.problems.insert(view.problems.end(), ms10.problems.begin(), ms10.problems.end());
  } else if (ms10.used && !SameFunctions(ms20.functions, ms10.functions)) {
    view.problems.push_back(Raise(Rule::MsOsVersionsDisagree,
                                  "the Microsoft OS 1.0 descriptors declare other compatible IDs "
                                  "or interface classes than the 2.0 set: Windows 8.1 and later "
                                  "follow the set, Windows 7 and 8 the 1.0 descriptors"));
  }
  Notes(device, *shape, view, ms10.used);
  return view;
}

} // namespace pelmora::report
