// SPDX-License-Identifier: MIT
// What Windows reads from a Microsoft OS 2.0 descriptor set: the BOS that
// names it, the set's layout, and the features each function gets.
#include <algorithm>

#include "bos_descriptor.h"
#include "ms_os_20_descriptor_set.h"
#include "ms_os_20_layout.h"
#include "windows_functions.h"

namespace pelmora::report::windows {

namespace {

using linux_platform::Buffer;
using linux_platform::ExplainedDevice;

constexpr std::uint16_t BCD_USB_2_1 = 0x0210;
constexpr std::uint32_t WINDOWS_8_1 = 0x06030000;

class MsOs20Reader {
public:
  MsOs20Reader(const ExplainedDevice &device, const Shape &shape, Reading &reading)
      : device_(device), shape_(shape), reading_(reading) {}

  void Read() {
    const Buffer *bos = linux_platform::AnswerTo(device_, usb::STANDARD_DEVICE_IN,
                                                 usb::DescriptorValue(usb::BOS_TYPE, 0), 0);
    const std::uint16_t bcdUsb = shape_.fields.bcdUsb;
    const auto location = bos ? usb::FindMsOs20Set(*bos) : std::nullopt;
    if (bcdUsb < usb::BOS_BCD_USB) {
      if (location) {
        Add(Rule::BosNotRead, "bcdUSB is " + Hex(bcdUsb, 4) +
                                  ": Windows never asks for the BOS, so it never reads the "
                                  "Microsoft OS 2.0 set the BOS names");
      }
      return;
    }
    const auto total = bos ? usb::BosTotalLength(*bos) : std::nullopt;
    if (!total || *total != bos->size()) {
      Add(Rule::BosMissing,
          "bcdUSB is " + Hex(bcdUsb, 4) + " but " +
              (bos ? "the BOS's wTotalLength does not match the " + std::to_string(bos->size()) +
                         " bytes returned"
                   : std::string("the BOS request was not answered")) +
              ": enumeration fails (Code 10, \"A request for the USB BOS descriptor failed\")");
      reading_.enumerationFails = true;
      return;
    }
    if (bcdUsb < BCD_USB_2_1) {
      Add(Rule::BcdUsb0201, "bcdUSB is " + Hex(bcdUsb, 4) +
                                ": Windows asks for the BOS above 0x0200, but some of its "
                                "drivers want 0x0210 or more");
    }
    if (!location) {
      return;
    }
    if (location->windowsVersion < WINDOWS_8_1) {
      Add(Rule::CapabilityVersion, "the platform capability's dwWindowsVersion is " +
                                       Hex(location->windowsVersion, 8) +
                                       ", below Windows 8.1: Windows ignores the set");
      return;
    }
    const Buffer *set =
        linux_platform::AnswerTo(device_, usb::VENDOR_DEVICE_IN, 0, usb::MS_OS_20_SET_INDEX);
    if (!set) {
      Add(Rule::VendorCodeUnanswered,
          "the BOS names vendor code " + Hex(location->vendorCode, 2) +
              " for the set, but request C0 " + Hex(location->vendorCode, 2).substr(2) +
              " wIndex 7 was not answered: Windows gets no Microsoft OS 2.0 set");
      return;
    }
    Apply(*set, location->totalLength);
  }

private:
  void Add(Rule rule, std::string text) {
    reading_.problems.push_back(Raise(rule, std::move(text)));
  }

  bool Valid(const usb::MsOs20Layout &layout, std::size_t returned,
             std::uint16_t capabilityLength) {
    if (!layout.headerValid || !layout.structureProblems.empty()) {
      for (const std::string &problem : layout.structureProblems) {
        Add(Rule::SetMalformed,
            "in the Microsoft OS 2.0 set, " + problem + ": Windows ignores the set");
      }
      return false;
    }
    if (layout.totalLength != capabilityLength || layout.totalLength != returned) {
      Add(Rule::SetTotalLength, "the set's wTotalLength is " + std::to_string(layout.totalLength) +
                                    ", the capability's wMSOSDescriptorSetTotalLength " +
                                    std::to_string(capabilityLength) + ", and " +
                                    std::to_string(returned) +
                                    " bytes came back: Windows ignores the set");
      return false;
    }
    for (const std::string &problem : layout.lengthProblems) {
      Add(Rule::SubsetLength,
          "in the Microsoft OS 2.0 set, " + problem + ": Windows ignores the set");
    }
    return layout.lengthProblems.empty();
  }

  void Apply(const Buffer &set, std::uint16_t capabilityLength) {
    const usb::MsOs20Layout layout = usb::ParseMsOs20Layout(set);
    if (!Valid(layout, set.size(), capabilityLength)) {
      return;
    }
    reading_.used = true;
    const bool ccgp = std::any_of(
        layout.deviceFeatures.begin(), layout.deviceFeatures.end(),
        [](const usb::MsOs20Feature &f) { return f.type == usb::MS_OS_20_CCGP_DEVICE; });
    if (ccgp && !reading_.composite) {
      reading_.composite = true;
      reading_.functions = FunctionsOf(shape_.fields, shape_.active, true);
    }
    DeviceScope(layout.deviceFeatures, "at device scope");
    for (const usb::MsOs20ConfigurationSubset &configuration : layout.configurations) {
      const std::string field = std::to_string(configuration.configurationField);
      if (configuration.configurationField >= shape_.configurationCount) {
        Add(Rule::ConfigSubsetIndex,
            "a configuration subset's bConfigurationValue field holds " + field +
                ", but it holds an index and the device has " +
                (shape_.configurationCount == 1 ? std::string("one configuration, index 0")
                                                : std::to_string(shape_.configurationCount) +
                                                      " configurations, from index 0") +
                ": Windows ignores what the subset holds");
        continue;
      }
      if (configuration.configurationField != shape_.activeIndex) {
        continue;
      }
      DeviceScope(configuration.features, "in the configuration subset");
      for (const usb::MsOs20FunctionSubset &subset : configuration.functions) {
        const std::string first = std::to_string(subset.firstInterface);
        if (!reading_.composite) {
          Add(Rule::FunctionSubsetNotComposite,
              "a function subset for interface " + first +
                  " on a device that is not composite: Windows does not use it, and the "
                  "device shows without what it declares (Code 28, or no interface class)");
          continue;
        }
        WindowsFunction *function = FunctionAt(reading_.functions, subset.firstInterface);
        if (function == nullptr) {
          Add(Rule::FunctionUnknown, "a function subset names interface " + first +
                                         ", which is no function's first interface: Windows "
                                         "applies it to no function");
          continue;
        }
        ApplyFeatures(subset.features, *function);
      }
    }
  }

  // Features outside any function subset: the device's own.
  void DeviceScope(const std::vector<usb::MsOs20Feature> &features, const std::string &where) {
    if (!reading_.composite) {
      if (!reading_.functions.empty()) {
        ApplyFeatures(features, reading_.functions.front());
      }
      return;
    }
    WindowsFunction device;
    std::vector<Problem> ignored;
    ApplyFeatures(features, device, &ignored);
    if (device.compatibleId == "WINUSB" || device.declaresGuid) {
      Add(Rule::DeviceScopeComposite,
          "a composite device declares " +
              std::string(device.compatibleId == "WINUSB" ? "the compatible ID WINUSB"
                                                          : "an interface class") +
              " " + where + ": the composite driver gives it to no function");
    }
  }

  void ApplyFeatures(const std::vector<usb::MsOs20Feature> &features, WindowsFunction &function,
                     std::vector<Problem> *problems = nullptr) {
    std::vector<Problem> &into = problems != nullptr ? *problems : reading_.problems;
    for (const usb::MsOs20Feature &feature : features) {
      if (feature.type == usb::MS_OS_20_COMPATIBLE_ID) {
        function.compatibleId = usb::CompatibleIdText(feature.bytes);
      } else if (feature.type == usb::MS_OS_20_REGISTRY_PROPERTY) {
        if (const auto property = usb::ParseMsOs20Property(feature.bytes)) {
          ReadGuidProperty(*property, "in the Microsoft OS 2.0 set, " + FunctionName(function),
                           function, into);
        }
      }
    }
  }

  const ExplainedDevice &device_;
  const Shape &shape_;
  Reading &reading_;
};

} // namespace

void ReadMsOs20(const ExplainedDevice &device, const Shape &shape, Reading &reading) {
  MsOs20Reader(device, shape, reading).Read();
}

} // namespace pelmora::report::windows
