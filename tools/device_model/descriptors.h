// SPDX-License-Identifier: MIT
// The descriptors of the loopback device, as it sends them.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "device_spec.h"

namespace pelmora::emulated {

using ByteVector = std::vector<std::uint8_t>;

inline constexpr std::uint8_t MS_OS_20_VENDOR_CODE = 0x20;
inline constexpr std::uint8_t MS_OS_10_VENDOR_CODE = 0x21;
inline constexpr std::uint8_t CONFIGURATION_VALUE = 1;

// The interface of the loopback function: 2 on a composite device, else 0.
std::uint8_t LoopbackInterface(const DeviceSpec &spec);
// Whether the Microsoft OS descriptors give the function starting at this
// interface the class.
bool DeclaresClass(const DeviceSpec &spec, std::uint8_t firstInterface);
// The configuration's interfaces are numbered 0 to this count - 1.
std::uint8_t InterfaceCount(const DeviceSpec &spec);

ByteVector DeviceDescriptor(const DeviceSpec &spec);
// The configuration: the loopback interface (bulk OUT 0x01, bulk IN 0x81,
// interrupt IN 0x83), after the CDC-ACM-like function of a composite device
// (interrupt IN 0x84 at interface 0, bulk OUT 0x02 and IN 0x82 at interface 1).
ByteVector ConfigurationDescriptor(const DeviceSpec &spec);
ByteVector BosDescriptor(const DeviceSpec &spec);
ByteVector MsOs20DescriptorSet(const DeviceSpec &spec);
// A section per function; compatible ID WINUSB for those declaring the class.
ByteVector MsOs10ExtendedCompatId(const DeviceSpec &spec);
// The extended properties of a function declaring the class.
ByteVector MsOs10ExtendedProperties(const DeviceSpec &spec);
// String descriptors by index; 0xEE is the Microsoft OS string.
std::optional<ByteVector> StringDescriptor(const DeviceSpec &spec, std::uint8_t index);

// The device descriptor followed by the configuration, as usbfs and sysfs
// show them.
ByteVector CachedDescriptors(const DeviceSpec &spec);

} // namespace pelmora::emulated
