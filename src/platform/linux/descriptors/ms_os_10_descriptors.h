// SPDX-License-Identifier: MIT
// Microsoft OS 1.0 descriptors: the OS string descriptor (index 0xEE) and the
// extended properties descriptor.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "byte_reader.h"
#include "registry_property.h"

namespace pelmora::usb {

// The vendor code of an OS string descriptor whose signature is "MSFT100".
std::optional<std::uint8_t> MsOs10VendorCode(Bytes stringDescriptor);

// The dwLength of an extended properties descriptor header, when bytes start
// with one (bcdVersion 1.00, wIndex 5).
std::optional<std::uint32_t> ExtendedPropertiesLength(Bytes bytes);

// The custom property sections of an extended properties descriptor. A
// malformed section ends the walk; the sections before it are kept. The
// properties point into descriptor.
std::vector<RegistryProperty> ParseExtendedProperties(Bytes descriptor);

} // namespace pelmora::usb
