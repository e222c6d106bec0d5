// SPDX-License-Identifier: MIT
// Little-endian fields appended to descriptor bytes, as USB lays them out.
#pragma once

#include <cstdint>
#include <vector>

namespace pelmora::emulated {

inline void Put16(std::vector<std::uint8_t> &bytes, unsigned value) {
  bytes.push_back(static_cast<std::uint8_t>(value));
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void Put32(std::vector<std::uint8_t> &bytes, std::uint32_t value) {
  Put16(bytes, value & 0xFFFF);
  Put16(bytes, value >> 16);
}

} // namespace pelmora::emulated
