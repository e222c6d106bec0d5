// SPDX-License-Identifier: MIT
#include "registry_property.h"

#include <string_view>

namespace pelmora::usb {

namespace {

char16_t AsciiUpper(char16_t c) { return c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c; }

bool EqualsIgnoringCase(std::u16string_view text, std::string_view ascii) {
  if (text.size() != ascii.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (AsciiUpper(text[i]) != AsciiUpper(static_cast<char16_t>(ascii[i]))) {
      return false;
    }
  }
  return true;
}

std::u16string_view WithoutTrailingNuls(std::u16string_view text) {
  while (!text.empty() && text.back() == 0) {
    text.remove_suffix(1);
  }
  return text;
}

bool NamesGuid(std::u16string_view text, const GuidText &guid) {
  if (text.size() >= 2 && text.front() == u'{' && text.back() == u'}') {
    text = text.substr(1, text.size() - 2);
  }
  return EqualsIgnoringCase(text, guid.text);
}

bool PropertyDeclares(const RegistryProperty &property, const GuidText &guid) {
  const std::u16string name = DecodeUtf16(property.name);
  const std::u16string data = DecodeUtf16(property.data);
  const std::u16string_view nameText = WithoutTrailingNuls(name);
  if (property.type == REG_SZ_TYPE && EqualsIgnoringCase(nameText, "DeviceInterfaceGUID")) {
    // A REG_SZ value ends at its first NUL.
    const std::u16string_view value = data;
    return NamesGuid(value.substr(0, value.find(u'\0')), guid);
  }
  if (property.type == REG_MULTI_SZ_TYPE && EqualsIgnoringCase(nameText, "DeviceInterfaceGUIDs")) {
    std::u16string_view rest = data;
    while (!rest.empty()) {
      const std::size_t end = rest.find(u'\0');
      const std::u16string_view one = rest.substr(0, end);
      if (!one.empty() && NamesGuid(one, guid)) {
        return true;
      }
      if (end == std::u16string_view::npos) {
        break;
      }
      rest.remove_prefix(end + 1);
    }
  }
  return false;
}

} // namespace

std::u16string DecodeUtf16(Bytes bytes) {
  std::u16string units;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    units.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  return units;
}

bool DeclaresInterfaceGuid(const std::vector<RegistryProperty> &properties, const GuidText &guid) {
  for (const RegistryProperty &property : properties) {
    if (PropertyDeclares(property, guid)) {
      return true;
    }
  }
  return false;
}

std::optional<std::uint8_t> FirstFunctionDeclaring(const std::vector<FunctionProperties> &functions,
                                                   const GuidText &guid) {
  std::optional<std::uint8_t> first;
  for (const FunctionProperties &function : functions) {
    if ((!first || function.firstInterface < *first) &&
        DeclaresInterfaceGuid(function.properties, guid)) {
      first = function.firstInterface;
    }
  }
  return first;
}

} // namespace pelmora::usb
