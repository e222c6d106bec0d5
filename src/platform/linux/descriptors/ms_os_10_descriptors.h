// SPDX-License-Identifier: MIT
// Microsoft OS 1.0 descriptors: the OS string descriptor (index 0xEE), the
// extended compat ID descriptor, the extended properties descriptor, and the
// vendor requests that ask for the last two.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "registry_property.h"

namespace pelmora::usb {

// The fixed headers that tell each descriptor's whole length.
inline constexpr std::uint16_t EXTENDED_COMPAT_ID_HEADER_LENGTH = 16;
inline constexpr std::uint16_t EXTENDED_PROPERTIES_HEADER_LENGTH = 10;
// Each function's section of the extended compat ID, after its header.
inline constexpr std::size_t COMPAT_ID_SECTION_LENGTH = 24;

// The vendor code of an OS string descriptor whose signature is "MSFT100".
std::optional<std::uint8_t> MsOs10VendorCode(Bytes stringDescriptor);

// A control request that reads a descriptor.
struct ControlRequest {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};

// The extended compat ID descriptor: a device request, wIndex 4, wValue 0.
ControlRequest ExtendedCompatIdRequest(std::uint8_t vendorCode, std::uint16_t length);

// The extended properties of the function starting at interfaceNumber: an
// interface request, wIndex 5, the number in the low byte of wValue and 0 in
// the high byte (what Windows sends, and all the kernel's gadget framework
// answers).
ControlRequest ExtendedPropertiesRequest(std::uint8_t vendorCode, std::uint8_t interfaceNumber,
                                         std::uint16_t length);

// The dwLength of an extended compat ID descriptor header, when bytes start
// with one (bcdVersion 1.00, wIndex 4).
std::optional<std::uint32_t> ExtendedCompatIdLength(Bytes bytes);

// One function section of an extended compat ID descriptor.
struct CompatIdSection {
  std::uint8_t firstInterface = 0;
  std::string compatibleId; // printable, without its NUL padding
};

// The function sections of an extended compat ID descriptor, in order.
// Sections past the descriptor's end or its bCount are not read.
std::vector<CompatIdSection> CompatIdSections(Bytes descriptor);

// The bFirstInterfaceNumber of each of those sections.
std::vector<std::uint8_t> CompatIdFunctions(Bytes descriptor);

// The dwLength of an extended properties descriptor header, when bytes start
// with one (bcdVersion 1.00, wIndex 5).
std::optional<std::uint32_t> ExtendedPropertiesLength(Bytes bytes);

// The custom property sections of an extended properties descriptor. A
// malformed section ends the walk; the sections before it are kept. The
// properties point into descriptor.
std::vector<RegistryProperty> ParseExtendedProperties(Bytes descriptor);

} // namespace pelmora::usb
