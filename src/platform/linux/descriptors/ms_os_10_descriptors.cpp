// SPDX-License-Identifier: MIT
#include "ms_os_10_descriptors.h"

#include <algorithm>
#include <array>

namespace pelmora::usb {

namespace {

constexpr std::uint8_t STRING_TYPE = 0x03;
constexpr std::size_t OS_STRING_LENGTH = 18;
constexpr std::size_t VENDOR_CODE_OFFSET = 16;
// "MSFT100" in UTF-16LE.
constexpr std::array<std::uint8_t, 14> SIGNATURE = {'M', 0,   'S', 0,   'F', 0,   'T',
                                                    0,   '1', 0,   '0', 0,   '0', 0};
constexpr std::size_t HEADER_LENGTH = 10;
constexpr std::uint16_t VERSION_1_00 = 0x0100;
constexpr std::uint16_t EXTENDED_PROPERTIES_INDEX = 5;
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
  std::size_t offset = HEADER_LENGTH;
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
