// SPDX-License-Identifier: MIT
#include "windows_view.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "bos_descriptor.h"
#include "configuration_descriptor.h"
#include "ms_os_10_descriptors.h"
#include "ms_os_20_descriptor_set.h"
#include "ms_os_20_layout.h"
#include "registry_property.h"

namespace pelmora::report {

namespace {

using linux_platform::Buffer;
using linux_platform::ExplainedDevice;
using linux_platform::Outcome;

constexpr std::uint16_t BOS_BCD_USB = 0x0201;
constexpr std::uint16_t BCD_USB_2_1 = 0x0210;
constexpr std::uint32_t WINDOWS_8_1 = 0x06030000;
constexpr std::uint8_t STANDARD_IN = 0x80;
constexpr std::uint8_t VENDOR_DEVICE_IN = 0xC0;
constexpr std::uint8_t VENDOR_INTERFACE_IN = 0xC1;
constexpr std::uint16_t BOS_VALUE = 0x0F00;
constexpr std::uint16_t OS_STRING_VALUE = 0x03EE;
constexpr std::uint16_t MS_OS_20_INDEX = 7;
constexpr std::uint16_t COMPAT_ID_INDEX = 4;
constexpr std::uint16_t PROPERTIES_INDEX = 5;
constexpr std::size_t COMPAT_ID_HEADER = 16;
constexpr std::size_t COMPAT_ID_SECTION = 24;
constexpr std::uint8_t MISCELLANEOUS_CLASS = 0xEF;
constexpr std::size_t GUID_TEXT_LENGTH = 36;

std::string Hex(unsigned value, int digits) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

struct ClassDriver {
  std::uint8_t functionClass;
  int subClass; // -1: any
  const char *driver;
  const char *name;
};

constexpr ClassDriver CLASS_DRIVERS[] = {
    {0x01, -1, "usbaudio", "audio"},       {0x02, 0x02, "usbser", "CDC ACM"},
    {0x03, -1, "hidusb", "HID"},           {0x07, -1, "usbprint", "printer"},
    {0x08, -1, "usbstor", "mass storage"}, {0x0E, -1, "usbvideo", "video"},
};

void AssignDriver(WindowsFunction &function) {
  if (function.compatibleId == "WINUSB") {
    function.driver = Driver::WinUsb;
    return;
  }
  for (const ClassDriver &known : CLASS_DRIVERS) {
    if (known.functionClass == function.functionClass &&
        (known.subClass < 0 || known.subClass == function.functionSubClass)) {
      function.driver = Driver::ClassDriver;
      function.classDriver = known.driver;
      function.className = known.name;
      return;
    }
  }
  function.driver = Driver::None;
}

bool IsComposite(const usb::DeviceFields &fields, const usb::Configuration &configuration) {
  const bool classAllows =
      fields.deviceClass == 0 || (fields.deviceClass == MISCELLANEOUS_CLASS &&
                                  fields.deviceSubClass == 0x02 && fields.deviceProtocol == 0x01);
  return classAllows && usb::InterfaceNumbers(configuration).size() > 1;
}

// An interface association makes one function of its interfaces; every
// other interface is a function of its own. A device that is not composite
// is one function holding all its interfaces.
std::vector<WindowsFunction> FunctionsOf(const usb::DeviceFields &fields,
                                         const usb::Configuration &configuration, bool composite) {
  const std::vector<std::uint8_t> numbers = usb::InterfaceNumbers(configuration);
  std::vector<WindowsFunction> functions;
  if (!composite) {
    WindowsFunction whole;
    whole.interfaces = numbers;
    whole.functionClass = fields.deviceClass;
    whole.functionSubClass = fields.deviceSubClass;
    const usb::InterfaceSetting *first =
        numbers.empty() ? nullptr : usb::SettingZero(configuration, numbers.front());
    if ((fields.deviceClass == 0 || fields.deviceClass == MISCELLANEOUS_CLASS) && first) {
      whole.functionClass = first->interfaceClass;
      whole.functionSubClass = first->interfaceSubClass;
    }
    functions.push_back(whole);
    return functions;
  }
  std::set<std::uint8_t> taken;
  for (const std::uint8_t number : numbers) {
    if (taken.count(number) != 0) {
      continue;
    }
    WindowsFunction function;
    function.firstInterface = number;
    const auto association = std::find_if(
        configuration.associations.begin(), configuration.associations.end(),
        [number](const usb::InterfaceAssociation &a) { return a.firstInterface == number; });
    if (association != configuration.associations.end()) {
      for (const std::uint8_t member : numbers) {
        if (member >= number && member < number + association->interfaceCount) {
          function.interfaces.push_back(member);
          taken.insert(member);
        }
      }
      function.functionClass = association->functionClass;
      function.functionSubClass = association->functionSubClass;
    } else {
      function.interfaces.push_back(number);
      taken.insert(number);
      if (const usb::InterfaceSetting *setting = usb::SettingZero(configuration, number)) {
        function.functionClass = setting->interfaceClass;
        function.functionSubClass = setting->interfaceSubClass;
      }
    }
    functions.push_back(function);
  }
  return functions;
}

// Printable ASCII as it is; anything else a device sends shows as '?'.
char Printable(char16_t c) { return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?'; }

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (const char16_t c : text) {
    narrow.push_back(Printable(c));
  }
  return narrow;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) ==
           std::toupper(static_cast<unsigned char>(y));
  });
}

bool IsGuidForm(std::string_view text) {
  if (text.size() != GUID_TEXT_LENGTH) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return true;
}

std::string Upper(std::string text) {
  for (char &c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

bool EndsWithNuls(usb::Bytes data, std::size_t nuls) {
  if (data.size() < 2 * nuls) {
    return false;
  }
  return std::all_of(data.end() - static_cast<std::ptrdiff_t>(2 * nuls), data.end(),
                     [](std::uint8_t b) { return b == 0; });
}

// The interface classes one property gives the function, as Windows
// registers them, and what is wrong with the property.
void ReadGuidProperty(const usb::RegistryProperty &property, const std::string &where,
                      WindowsFunction &function, std::vector<Problem> &problems) {
  std::u16string name = usb::DecodeUtf16(property.name);
  while (!name.empty() && name.back() == 0) {
    name.pop_back();
  }
  const std::string nameText = Narrow(name);
  const bool plural = EqualsIgnoringCase(nameText, "DeviceInterfaceGUIDs");
  if (!plural && !EqualsIgnoringCase(nameText, "DeviceInterfaceGUID")) {
    return;
  }
  function.declaresGuid = true;
  const bool multi = property.type == usb::REG_MULTI_SZ_TYPE;
  if (!multi && property.type != usb::REG_SZ_TYPE) {
    problems.push_back(Raise(Rule::PropertyTypeMixup,
                             where + ": " + nameText + " has data type " +
                                 std::to_string(property.type) +
                                 ", not REG_SZ (1) or REG_MULTI_SZ (7): Windows registers no "
                                 "interface class from it"));
    return;
  }
  if (plural != multi) {
    problems.push_back(
        Raise(Rule::PropertyTypeMixup,
              where + ": " + nameText + " is " + (multi ? "REG_MULTI_SZ" : "REG_SZ") +
                  "; WinUSB reads it, but host libraries that look the value up by its usual "
                  "type miss it"));
  }
  if (!EndsWithNuls(property.data, multi ? 2 : 1)) {
    problems.push_back(
        Raise(Rule::MissingTerminator, where + ": the value of " + nameText +
                                           " does not end with " + (multi ? "two NULs" : "a NUL") +
                                           "; Windows may read past it or drop the last string"));
  }
  const std::u16string data = usb::DecodeUtf16(property.data);
  const std::string holds = where + ": " + nameText + " holds ";
  std::u16string_view rest = data;
  while (!rest.empty()) {
    const std::size_t end = rest.find(u'\0');
    const std::string value = Narrow(rest.substr(0, end));
    rest = end == std::u16string_view::npos ? std::u16string_view{} : rest.substr(end + 1);
    if (!value.empty()) {
      const bool braced = value.size() >= 2 && value.front() == '{' && value.back() == '}';
      const std::string inner = braced ? value.substr(1, value.size() - 2) : value;
      if (braced && IsGuidForm(inner)) {
        function.interfaceGuids.push_back("{" + Upper(inner) + "}");
      } else {
        const bool guid = IsGuidForm(inner);
        std::string text = holds;
        text += value;
        text += guid ? " without braces" : ", which is no GUID";
        text += ": Windows registers no interface class from it";
        problems.push_back(Raise(guid ? Rule::GuidWithoutBraces : Rule::GuidMalformed, text));
      }
    }
    if (!multi) {
      break;
    }
  }
}

std::string FunctionName(const WindowsFunction &function) {
  return "the function at interface " + std::to_string(function.firstInterface);
}

WindowsFunction *FunctionAt(std::vector<WindowsFunction> &functions, std::uint8_t first) {
  const auto found =
      std::find_if(functions.begin(), functions.end(),
                   [first](const WindowsFunction &f) { return f.firstInterface == first; });
  return found != functions.end() ? &*found : nullptr;
}

// What a device answered that Windows reads at enumeration.
struct Shape {
  usb::DeviceFields fields;
  usb::Configuration active;
  std::size_t activeIndex = 0;
  std::size_t configurationCount = 0;
};

struct Reading {
  bool used = false;
  bool enumerationFails = false;
  bool composite = false;
  std::vector<WindowsFunction> functions;
  std::vector<Problem> problems;
};

class MsOs20Reader {
public:
  MsOs20Reader(const ExplainedDevice &device, const Shape &shape, Reading &reading)
      : device_(device), shape_(shape), reading_(reading) {}

  void Read() {
    const Buffer *bos = linux_platform::AnswerTo(device_, STANDARD_IN, BOS_VALUE, 0);
    const std::uint16_t bcdUsb = shape_.fields.bcdUsb;
    const auto location = bos ? usb::FindMsOs20Set(*bos) : std::nullopt;
    if (bcdUsb < BOS_BCD_USB) {
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
    const Buffer *set = linux_platform::AnswerTo(device_, VENDOR_DEVICE_IN, 0, MS_OS_20_INDEX);
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

class MsOs10Reader {
public:
  MsOs10Reader(const ExplainedDevice &device, Reading &reading)
      : device_(device), reading_(reading) {}

  void Read() {
    const Buffer *osString = linux_platform::AnswerTo(device_, STANDARD_IN, OS_STRING_VALUE, 0);
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
        linux_platform::AnswerTo(device_, VENDOR_DEVICE_IN, 0, COMPAT_ID_INDEX);
    if (!compatId) {
      Add(Rule::VendorCodeUnanswered,
          "string 0xEE names vendor code " + Hex(*vendorCode, 2) +
              ", but the extended compat ID request (C0 " + Hex(*vendorCode, 2).substr(2) +
              " wIndex 4) was not answered: no function gets a compatible ID");
      return;
    }
    const auto length = usb::ExtendedCompatIdLength(*compatId);
    const std::size_t count = compatId->size() > 8 ? (*compatId)[8] : 0;
    const std::size_t expected = COMPAT_ID_HEADER + COMPAT_ID_SECTION * count;
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
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t offset = COMPAT_ID_HEADER + COMPAT_ID_SECTION * i;
      const std::uint8_t first = (*compatId)[offset];
      std::string id;
      for (std::size_t j = offset + 2; j < offset + 10 && (*compatId)[j] != 0; ++j) {
        id.push_back(Printable((*compatId)[j]));
      }
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
      function->compatibleId = id;
    }
    bool compositeProperties = false;
    for (WindowsFunction &function : reading_.functions) {
      const Buffer *properties = linux_platform::AnswerTo(
          device_, VENDOR_INTERFACE_IN, function.firstInterface, PROPERTIES_INDEX);
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
      linux_platform::AnswerTo(device, STANDARD_IN, OS_STRING_VALUE, 0) != nullptr;
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
  MsOs20Reader(device, *shape, ms20).Read();
  CheckFunctions(ms20);
  if (ms20.enumerationFails) {
    // No driver loads for a device that fails enumeration.
    view.problems.insert(view.problems.end(), ms20.problems.begin(), ms20.problems.end());
    return view;
  }
  Reading ms10{
      false, false, ms20.composite, FunctionsOf(shape->fields, shape->active, ms20.composite), {}};
  MsOs10Reader(device, ms10).Read();
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
