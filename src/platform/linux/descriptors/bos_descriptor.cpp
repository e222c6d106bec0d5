// SPDX-License-Identifier: MIT
#include "bos_descriptor.h"

#include <algorithm>
#include <array>

#include "request_codes.h"

namespace pelmora::usb {

namespace {

constexpr std::uint8_t DEVICE_CAPABILITY_TYPE = 0x10;
constexpr std::uint8_t PLATFORM_CAPABILITY = 0x05;
// bLength, bDescriptorType, bDevCapabilityType, bReserved, then the UUID.
constexpr std::size_t UUID_OFFSET = 4;
constexpr std::size_t SET_INFO_OFFSET = 20;
constexpr std::size_t SET_INFO_LENGTH = 8;

// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} in its stored byte order.
constexpr std::array<std::uint8_t, 16> MS_OS_20_PLATFORM_UUID = {
    0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

bool IsMsOs20Capability(Bytes capability) {
  const auto uuid = Slice(capability, UUID_OFFSET, MS_OS_20_PLATFORM_UUID.size());
  return ReadU8(capability, 2) == PLATFORM_CAPABILITY && uuid &&
         std::equal(uuid->begin(), uuid->end(), MS_OS_20_PLATFORM_UUID.begin());
}

std::optional<MsOs20SetLocation> NewestSet(Bytes capability) {
  std::optional<MsOs20SetLocation> newest;
  std::uint32_t newestVersion = 0;
  for (std::size_t offset = SET_INFO_OFFSET; offset + SET_INFO_LENGTH <= capability.size();
       offset += SET_INFO_LENGTH) {
    const std::uint32_t version = *ReadU32(capability, offset);
    const std::uint16_t length = *ReadU16(capability, offset + 4);
    const std::uint8_t vendorCode = *ReadU8(capability, offset + 6);
    if (!newest || version > newestVersion) {
      newest = MsOs20SetLocation{vendorCode, length, version};
      newestVersion = version;
    }
  }
  return newest;
}

} // namespace

std::optional<std::uint16_t> BosTotalLength(Bytes bytes) {
  if (ReadU8(bytes, 0).value_or(0) < BOS_HEADER_LENGTH || ReadU8(bytes, 1) != BOS_TYPE) {
    return std::nullopt;
  }
  return ReadU16(bytes, 2);
}

std::optional<MsOs20SetLocation> FindMsOs20Set(Bytes bos) {
  const auto total = BosTotalLength(bos);
  if (!total) {
    return std::nullopt;
  }
  // The total may disagree with the header read before (a device can answer
  // two reads differently): one too short to hold the header holds nothing.
  if (*total < BOS_HEADER_LENGTH) {
    return std::nullopt;
  }
  const Bytes all = bos.first(std::min<std::size_t>(*total, bos.size()));
  std::size_t offset = bos[0];
  while (offset < all.size()) {
    const std::uint8_t length = *ReadU8(all, offset);
    // A descriptor shorter than its own header, or one running past the end,
    // ends the walk: nothing after it can be trusted.
    const auto capability = Slice(all, offset, length);
    if (length < 3 || !capability) {
      break;
    }
    if (ReadU8(*capability, 1) == DEVICE_CAPABILITY_TYPE && IsMsOs20Capability(*capability)) {
      if (auto set = NewestSet(*capability)) {
        return set;
      }
    }
    offset += length;
  }
  return std::nullopt;
}

} // namespace pelmora::usb
