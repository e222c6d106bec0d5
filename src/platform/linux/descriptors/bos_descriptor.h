// SPDX-License-Identifier: MIT
// The Microsoft OS 2.0 platform capability in a device's BOS descriptor.
#pragma once

#include <cstdint>
#include <optional>

#include "byte_reader.h"

namespace pelmora::usb {

// The BOS descriptor's header, which gives its wTotalLength.
inline constexpr std::uint16_t BOS_HEADER_LENGTH = 5;

// Where the device keeps its Microsoft OS 2.0 descriptor set: the vendor
// request code and the set's total length, for the Windows version given.
struct MsOs20SetLocation {
  std::uint8_t vendorCode = 0;
  std::uint16_t totalLength = 0;
  std::uint32_t windowsVersion = 0;
};

// The wTotalLength of a BOS descriptor header, when bytes start with one.
std::optional<std::uint16_t> BosTotalLength(Bytes bytes);

// Finds the platform capability {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} and,
// of its descriptor set entries, the one for the newest Windows version.
std::optional<MsOs20SetLocation> FindMsOs20Set(Bytes bos);

} // namespace pelmora::usb
