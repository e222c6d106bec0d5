// SPDX-License-Identifier: MIT
// What Windows reads from Microsoft OS 1.0 descriptors: string 0xEE, the
// extended compat ID and each function's extended properties.
#include <utility>

#include "ms_os_10_descriptors.h"
#include "windows_functions.h"

namespace pelmora::report::windows {

namespace {

using linux_platform::Buffer;
using linux_platform::ExplainedDevice;

class MsOs10Reader {
public:
  MsOs10Reader(const ExplainedDevice &device, Reading &reading)
      : device_(device), reading_(reading) {}

  void Read() {
    const Buffer *osString =
        linux_platform::AnswerTo(device_, usb::STANDARD_DEVICE_IN, OS_STRING_VALUE, 0);
    if (!osString) {
      return;
    }
    const auto vendorCode = usb::MsOs10VendorCode(*osString);
    if (!vendorCode) {
      Add(Rule::OsStringMalformed, "string 0xEE was answered, but not with \"MSFT100\" and a "
                                   "vendor code: Windows records that the device has no "
                                   "Microsoft OS 1.0 descriptors");
      return;
    }
    const Buffer *compatId =
        linux_platform::AnswerTo(device_, usb::VENDOR_DEVICE_IN, 0, usb::EXTENDED_COMPAT_ID_INDEX);
    if (!compatId) {
      Add(Rule::VendorCodeUnanswered,
          "string 0xEE names vendor code " + Hex(*vendorCode, 2) +
              ", but the extended compat ID request (C0 " + Hex(*vendorCode, 2).substr(2) +
              " wIndex 4) was not answered: no function gets a compatible ID");
      return;
    }
    const auto length = usb::ExtendedCompatIdLength(*compatId);
    const std::size_t count = compatId->size() > 8 ? (*compatId)[8] : 0;
    const std::size_t expected =
        usb::EXTENDED_COMPAT_ID_HEADER_LENGTH + usb::COMPAT_ID_SECTION_LENGTH * count;
    if (!length || *length != expected || compatId->size() != expected) {
      Add(Rule::CompatIdLength,
          "the extended compat ID's dwLength is " +
              (length ? Hex(*length, 2) : std::string("unreadable")) + " for " +
              std::to_string(count) + " function(s), " + Hex(static_cast<unsigned>(expected), 2) +
              " expected, and " + std::to_string(compatId->size()) +
              " bytes came back: Windows ignores it, and no function gets WinUSB");
      return;
    }
    reading_.used = true;
    for (usb::CompatIdSection &section : usb::CompatIdSections(*compatId)) {
      const std::uint8_t first = section.firstInterface;
      WindowsFunction *function = reading_.composite ? FunctionAt(reading_.functions, first)
                                  : first == 0       ? &reading_.functions.front()
                                                     : nullptr;
      if (function == nullptr) {
        Add(Rule::FunctionUnknown, "the extended compat ID names interface " +
                                       std::to_string(first) +
                                       ", which is no function's first interface: Windows "
                                       "applies it to no function");
        continue;
      }
      function->compatibleId = std::move(section.compatibleId);
    }
    bool compositeProperties = false;
    for (WindowsFunction &function : reading_.functions) {
      const Buffer *properties =
          linux_platform::AnswerTo(device_, usb::VENDOR_INTERFACE_IN, function.firstInterface,
                                   usb::EXTENDED_PROPERTIES_INDEX);
      if (properties == nullptr) {
        continue;
      }
      compositeProperties = compositeProperties || reading_.composite;
      for (const usb::RegistryProperty &property : usb::ParseExtendedProperties(*properties)) {
        ReadGuidProperty(property,
                         "in the Microsoft OS 1.0 extended properties, " + FunctionName(function),
                         function, reading_.problems);
      }
    }
    if (compositeProperties) {
      Add(Rule::MsOs10CompositeProperties,
          "a composite device declares its functions' interface classes only in Microsoft OS 1.0 "
          "extended properties, which some Windows hosts are reported not to read for "
          "functions");
    }
  }

private:
  void Add(Rule rule, std::string text) {
    reading_.problems.push_back(Raise(rule, std::move(text)));
  }

  const ExplainedDevice &device_;
  Reading &reading_;
};

} // namespace

void ReadMsOs10(const ExplainedDevice &device, Reading &reading) {
  MsOs10Reader(device, reading).Read();
}

} // namespace pelmora::report::windows
