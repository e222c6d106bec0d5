// SPDX-License-Identifier: MIT
#include "windows_functions.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <set>
#include <string_view>

namespace pelmora::report::windows {

namespace {

constexpr std::uint8_t MISCELLANEOUS_CLASS = 0xEF;
constexpr std::size_t GUID_TEXT_LENGTH = 36;

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

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (const char16_t c : text) {
    narrow.push_back(usb::PrintableAscii(c));
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

} // namespace

std::string Hex(unsigned value, int digits) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

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

} // namespace pelmora::report::windows
