// SPDX-License-Identifier: MIT
#include "ms_os_10_descriptors.h"

#include <algorithm>
#include <array>

#include "request_codes.h"

namespace pelmora::usb {

namespace {

constexpr std::size_t OS_STRING_LENGTH = 18;
constexpr std::size_t VENDOR_CODE_OFFSET = 16;
// "MSFT100" in UTF-16LE.
constexpr std::array<std::uint8_t, 14> SIGNATURE = {'M', 0,   'S', 0,   'F', 0,   'T',
                                                    0,   '1', 0,   '0', 0,   '0', 0};
constexpr std::uint16_t VERSION_1_00 = 0x0100;
// dwSize, dwPropertyDataType, wPropertyNameLength.
constexpr std::size_t SECTION_FIXED_LENGTH = 10;

} // namespace

std::optional<std::uint8_t> MsOs10VendorCode(Bytes stringDescriptor) {
  const auto signature = Slice(stringDescriptor, 2, SIGNATURE.size());
  if (stringDescriptor.size() < OS_STRING_LENGTH ||
      ReadU8(stringDescriptor, 0).value_or(0) < OS_STRING_LENGTH ||
      ReadU8(stringDescriptor, 1) != STRING_TYPE || !signature ||
      !std::equal(signature->begin(), signature->end(), SIGNATURE.begin())) {
    return std::nullopt;
  }
  return ReadU8(stringDescriptor, VENDOR_CODE_OFFSET);
}

ControlRequest ExtendedCompatIdRequest(std::uint8_t vendorCode, std::uint16_t length) {
  return {VENDOR_DEVICE_IN, vendorCode, 0, EXTENDED_COMPAT_ID_INDEX, length};
}

ControlRequest ExtendedPropertiesRequest(std::uint8_t vendorCode, std::uint8_t interfaceNumber,
                                         std::uint16_t length) {
  return {VENDOR_INTERFACE_IN, vendorCode, interfaceNumber, EXTENDED_PROPERTIES_INDEX, length};
}

std::optional<std::uint32_t> ExtendedCompatIdLength(Bytes bytes) {
  if (ReadU16(bytes, 4) != VERSION_1_00 || ReadU16(bytes, 6) != EXTENDED_COMPAT_ID_INDEX) {
    return std::nullopt;
  }
  return ReadU32(bytes, 0);
}

std::vector<CompatIdSection> CompatIdSections(Bytes descriptor) {
  std::vector<CompatIdSection> sections;
  const auto length = ExtendedCompatIdLength(descriptor);
  const auto count = ReadU8(descriptor, 8);
  if (!length || !count) {
    return sections;
  }
  const Bytes all = descriptor.first(std::min<std::size_t>(*length, descriptor.size()));
  for (std::size_t i = 0; i < *count; ++i) {
    const auto section = Slice(all, EXTENDED_COMPAT_ID_HEADER_LENGTH + i * COMPAT_ID_SECTION_LENGTH,
                               COMPAT_ID_SECTION_LENGTH);
    if (!section) {
      break;
    }
    // bFirstInterfaceNumber, a reserved byte, then compatibleID[8].
    sections.push_back({(*section)[0], PaddedText(section->subspan(2, 8))});
  }
  return sections;
}

std::vector<std::uint8_t> CompatIdFunctions(Bytes descriptor) {
  std::vector<std::uint8_t> functions;
  for (const CompatIdSection &section : CompatIdSections(descriptor)) {
    functions.push_back(section.firstInterface);
  }
  return functions;
}

std::optional<std::uint32_t> ExtendedPropertiesLength(Bytes bytes) {
  if (ReadU16(bytes, 4) != VERSION_1_00 || ReadU16(bytes, 6) != EXTENDED_PROPERTIES_INDEX) {
    return std::nullopt;
  }
  return ReadU32(bytes, 0);
}

std::vector<RegistryProperty> ParseExtendedProperties(Bytes descriptor) {
  std::vector<RegistryProperty> properties;
  const auto length = ExtendedPropertiesLength(descriptor);
  const auto count = ReadU16(descriptor, 8);
  if (!length || !count) {
    return properties;
  }
  const Bytes all = descriptor.first(std::min<std::size_t>(*length, descriptor.size()));
  std::size_t offset = EXTENDED_PROPERTIES_HEADER_LENGTH;
  for (std::uint16_t i = 0; i < *count; ++i) {
    const auto size = ReadU32(all, offset);
    if (!size || *size < SECTION_FIXED_LENGTH + 4) {
      break;
    }
    const auto section = Slice(all, offset, *size);
    if (!section) {
      break;
    }
    const auto type = ReadU32(*section, 4);
    const auto nameLength = ReadU16(*section, 8);
    const auto name = Slice(*section, SECTION_FIXED_LENGTH, nameLength.value_or(0));
    const auto dataLength = ReadU32(*section, SECTION_FIXED_LENGTH + nameLength.value_or(0));
    if (!type || !name || !dataLength) {
      break;
    }
    const auto data = Slice(*section, SECTION_FIXED_LENGTH + *nameLength + 4,
                            static_cast<std::size_t>(*dataLength));
    if (!data) {
      break;
    }
    properties.push_back(RegistryProperty{*type, *name, *data});
    offset += *size;
  }
  return properties;
}

} // namespace pelmora::usb
