// SPDX-License-Identifier: MIT
// The control requests that read a device's descriptors, as Windows sends
// them at enumeration: the lookup sends them, the report reads their answers.
#pragma once

#include <cstdint>

namespace pelmora::usb {

// bmRequestType: device to host, standard or vendor, to the device or to an
// interface.
inline constexpr std::uint8_t STANDARD_DEVICE_IN = 0x80;
inline constexpr std::uint8_t VENDOR_DEVICE_IN = 0xC0;
inline constexpr std::uint8_t VENDOR_INTERFACE_IN = 0xC1;

// Descriptor types in the high byte of GET_DESCRIPTOR's wValue.
inline constexpr std::uint8_t STRING_TYPE = 0x03;
inline constexpr std::uint8_t BOS_TYPE = 0x0F;
// The Microsoft OS string descriptor's index.
inline constexpr std::uint8_t OS_STRING_INDEX = 0xEE;

// GET_DESCRIPTOR's wValue for a descriptor type and index.
constexpr std::uint16_t DescriptorValue(std::uint8_t type, std::uint8_t index) {
  return static_cast<std::uint16_t>(type << 8 | index);
}

// The lowest bcdUSB of a device with a BOS descriptor.
inline constexpr std::uint16_t BOS_BCD_USB = 0x0201;

// wIndex of the Microsoft OS vendor requests: the 2.0 descriptor set, the
// 1.0 extended compat ID and extended properties.
inline constexpr std::uint16_t MS_OS_20_SET_INDEX = 7;
inline constexpr std::uint16_t EXTENDED_COMPAT_ID_INDEX = 4;
inline constexpr std::uint16_t EXTENDED_PROPERTIES_INDEX = 5;

} // namespace pelmora::usb
