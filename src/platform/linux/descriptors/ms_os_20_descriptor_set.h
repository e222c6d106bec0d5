// SPDX-License-Identifier: MIT
// The Microsoft OS 2.0 descriptor set: the registry properties it declares
// for each function of a device.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "byte_reader.h"
#include "registry_property.h"

namespace pelmora::usb {

// The set's wDescriptorType values, and the lengths of its headers.
inline constexpr std::uint16_t MS_OS_20_SET_HEADER = 0x00;
inline constexpr std::uint16_t MS_OS_20_CONFIGURATION_SUBSET = 0x01;
inline constexpr std::uint16_t MS_OS_20_FUNCTION_SUBSET = 0x02;
inline constexpr std::uint16_t MS_OS_20_COMPATIBLE_ID = 0x03;
inline constexpr std::uint16_t MS_OS_20_REGISTRY_PROPERTY = 0x04;
inline constexpr std::uint16_t MS_OS_20_CCGP_DEVICE = 0x07;
inline constexpr std::size_t MS_OS_20_SET_HEADER_LENGTH = 10;
inline constexpr std::size_t MS_OS_20_SUBSET_HEADER_LENGTH = 8;

// A registry property descriptor: wPropertyDataType, the name, then
// wPropertyDataLength and the data, all inside the descriptor.
std::optional<RegistryProperty> ParseMsOs20Property(Bytes descriptor);

// The registry properties of each function when the configuration with the
// given index is active. Those of a function subset belong to the function
// that starts at its bFirstInterface; those at device scope, or in the
// configuration subset outside any function subset, to the function that
// starts at firstInterface (the device's first). Only the configuration
// subset whose bConfigurationValue field equals the index counts (the field
// holds an index, not a configuration value). A malformed descriptor ends
// the walk; what was found before it is kept. The properties point into set.
std::vector<FunctionProperties> MsOs20Functions(Bytes set, std::uint8_t configurationIndex,
                                                std::uint8_t firstInterface);

} // namespace pelmora::usb
