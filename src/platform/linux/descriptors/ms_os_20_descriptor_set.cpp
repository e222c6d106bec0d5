// SPDX-License-Identifier: MIT
#include "ms_os_20_descriptor_set.h"

#include <algorithm>

namespace pelmora::usb {

namespace {

// wLength, wDescriptorType, wPropertyDataType, wPropertyNameLength.
constexpr std::size_t PROPERTY_FIXED_LENGTH = 8;

} // namespace

std::optional<RegistryProperty> ParseMsOs20Property(Bytes descriptor) {
  const auto type = ReadU16(descriptor, 4);
  const auto nameLength = ReadU16(descriptor, 6);
  if (!type || !nameLength) {
    return std::nullopt;
  }
  const auto name = Slice(descriptor, PROPERTY_FIXED_LENGTH, *nameLength);
  const auto dataLength = ReadU16(descriptor, PROPERTY_FIXED_LENGTH + *nameLength);
  if (!name || !dataLength) {
    return std::nullopt;
  }
  const auto data = Slice(descriptor, PROPERTY_FIXED_LENGTH + *nameLength + 2, *dataLength);
  if (!data) {
    return std::nullopt;
  }
  return RegistryProperty{*type, *name, *data};
}

std::vector<FunctionProperties> MsOs20Functions(Bytes set, std::uint8_t configurationIndex,
                                                std::uint8_t firstInterface) {
  // The first entry holds what is not in a function subset.
  std::vector<FunctionProperties> functions{{firstInterface, {}}};
  if (ReadU16(set, 0) != MS_OS_20_SET_HEADER_LENGTH || ReadU16(set, 2) != MS_OS_20_SET_HEADER) {
    return functions;
  }
  const Bytes all = set.first(std::min<std::size_t>(ReadU16(set, 8).value_or(0), set.size()));

  // Each subset ends where its own length says, never past the set.
  std::size_t configurationEnd = 0;
  bool configurationApplies = true;
  std::size_t functionEnd = 0;
  std::size_t function = 0; // the entry that properties go to

  std::size_t offset = MS_OS_20_SET_HEADER_LENGTH;
  while (offset < all.size()) {
    const auto length = ReadU16(all, offset);
    const auto type = ReadU16(all, offset + 2);
    if (!length || !type || *length < 4) {
      break;
    }
    const auto descriptor = Slice(all, offset, *length);
    if (!descriptor) {
      break;
    }
    const bool subset = *type == MS_OS_20_CONFIGURATION_SUBSET || *type == MS_OS_20_FUNCTION_SUBSET;
    const std::size_t subsetLength = subset ? ReadU16(*descriptor, 6).value_or(0) : 0;
    // A subset shorter than its own header would end before the properties
    // it holds, which would then count for whatever encloses it.
    if (subset && subsetLength < MS_OS_20_SUBSET_HEADER_LENGTH) {
      break;
    }
    if (offset >= functionEnd) {
      function = 0;
    }
    if (offset >= configurationEnd) {
      configurationApplies = true;
    }
    if (*type == MS_OS_20_CONFIGURATION_SUBSET) {
      configurationEnd = offset + subsetLength;
      configurationApplies = ReadU8(all, offset + 4) == configurationIndex;
      functionEnd = 0;
      function = 0;
    } else if (*type == MS_OS_20_FUNCTION_SUBSET) {
      functionEnd = offset + subsetLength;
      functions.push_back({ReadU8(all, offset + 4).value_or(0), {}});
      function = functions.size() - 1;
    } else if (*type == MS_OS_20_REGISTRY_PROPERTY && configurationApplies) {
      if (auto property = ParseMsOs20Property(*descriptor)) {
        functions[function].properties.push_back(*property);
      }
    }
    offset += *length;
  }
  return functions;
}

} // namespace pelmora::usb
