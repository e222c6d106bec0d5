// SPDX-License-Identifier: MIT
// Bounds-checked little-endian reads over descriptor bytes. A read past the
// end yields nothing instead of touching memory that is not there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace pelmora::usb {

using Bytes = std::span<const std::uint8_t>;

inline std::optional<std::uint8_t> ReadU8(Bytes bytes, std::size_t offset) {
  if (offset >= bytes.size()) {
    return std::nullopt;
  }
  return bytes[offset];
}

inline std::optional<std::uint16_t> ReadU16(Bytes bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 2) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

inline std::optional<std::uint32_t> ReadU32(Bytes bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(bytes[offset]) |
         (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

// The part [offset, offset + length) when it lies wholly inside bytes.
inline std::optional<Bytes> Slice(Bytes bytes, std::size_t offset, std::size_t length) {
  if (offset > bytes.size() || bytes.size() - offset < length) {
    return std::nullopt;
  }
  return bytes.subspan(offset, length);
}

// A byte or code unit a device sent, as text: printable ASCII as it is,
// anything else (a control character, an escape) as '?'.
inline char PrintableAscii(std::uint32_t unit) {
  return unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
}

// A fixed-size text field padded with NULs (a compatible ID), up to its
// first NUL, printable.
inline std::string PaddedText(Bytes field) {
  std::string text;
  for (const std::uint8_t byte : field) {
    if (byte == 0) {
      break;
    }
    text.push_back(PrintableAscii(byte));
  }
  return text;
}

} // namespace pelmora::usb
