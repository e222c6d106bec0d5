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

// The registry properties of each function when the configuration with the
// given index is active. Those of a function subset belong to the function
// that starts at its bFirstInterface; those at device scope, or in the
// configuration subset outside any function subset, to the function that
// starts at firstInterface (the device's first). Only the configuration
// subset whose bConfigurationValue field equals the index counts (the field
// holds an index, not a configuration value). A malformed descriptor ends
// the walk; what was found before it is kept. The properties point into set.
// A registry property descriptor: wPropertyDataType, the name, then
// wPropertyDataLength and the data, all inside the descriptor.
std::optional<RegistryProperty> ParseMsOs20Property(Bytes descriptor);

std::vector<FunctionProperties> MsOs20Functions(Bytes set, std::uint8_t configurationIndex,
                                                std::uint8_t firstInterface);

} // namespace pelmora::usb
