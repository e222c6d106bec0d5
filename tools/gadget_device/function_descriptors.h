// SPDX-License-Identifier: MIT
// What the gadget's one function writes to FunctionFS's ep0: interface 0 with
// bulk OUT, bulk IN and interrupt IN at full, high and super speed, the
// Microsoft OS descriptors that make Windows bind WinUSB, and its strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmora::gadget {

using Bytes = std::vector<std::uint8_t>;

// The interrupt endpoint's packet size; a report holds 4 bytes.
inline constexpr std::uint16_t INTERRUPT_PACKET_SIZE = 8;

// Declares WinUSB as interface 0's compatible ID and the GUID as its
// DeviceInterfaceGUID.
Bytes FunctionDescriptors(const std::string &interfaceGuid);
Bytes FunctionStrings();

} // namespace pelmora::gadget
