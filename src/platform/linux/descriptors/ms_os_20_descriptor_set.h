// SPDX-License-Identifier: MIT
// The Microsoft OS 2.0 descriptor set: the registry properties it declares
// for a device's first interface.
#pragma once

#include <cstdint>
#include <vector>

#include "byte_reader.h"
#include "registry_property.h"

namespace pelmora::usb {

// The registry properties that apply to interface 0 when the configuration
// with the given index is active: those at device scope, those of the
// configuration subset whose bConfigurationValue field equals the index
// (the field holds an index, not a configuration value), and those of a
// function subset that starts at interface 0. A malformed descriptor ends
// the walk; what was found before it is kept. The properties point into set.
std::vector<RegistryProperty> MsOs20PropertiesForInterfaceZero(Bytes set,
                                                               std::uint8_t configurationIndex);

} // namespace pelmora::usb
