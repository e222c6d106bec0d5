// SPDX-License-Identifier: MIT
#include "function_descriptors.h"

#include <linux/usb/functionfs.h>

#include <initializer_list>
#include <string_view>

#include "byte_writer.h"

namespace pelmora::gadget {

namespace {

using pelmora::emulated::Put16;
using pelmora::emulated::Put32;

constexpr std::uint8_t BULK = 0x02;
constexpr std::uint8_t INTERRUPT = 0x03;
// 2^(4-1) microframes at high and super speed, 4 frames at full speed: 1 to 4 ms.
constexpr std::uint8_t INTERRUPT_INTERVAL = 4;
constexpr std::uint8_t INTERFACE_STRING = 1;
constexpr std::uint32_t REG_SZ = 1;

// Byte by byte: GCC 12 at -O3 warns falsely about inserting initializer lists.
void Push(Bytes &bytes, std::initializer_list<std::uint8_t> values) {
  for (const std::uint8_t value : values) {
    bytes.push_back(value);
  }
}

// Text with its NUL, as FunctionFS takes strings.
void PutText(Bytes &bytes, std::string_view text) {
  bytes.insert(bytes.end(), text.begin(), text.end());
  bytes.push_back(0);
}

void Set32(Bytes &bytes, std::size_t offset, std::size_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
  }
}

// Interface 0 and its endpoints; at super speed each endpoint is followed by
// its companion. The controller may give the endpoints other numbers.
void Interface(Bytes &bytes, std::uint16_t bulkPacketSize, bool superSpeed) {
  Push(bytes, {9, 0x04, 0, 0, 3, 0xFF, 0, 0, INTERFACE_STRING});
  const auto endpoint = [&](std::uint8_t address, std::uint8_t type, std::uint16_t packetSize,
                            std::uint8_t interval) {
    Push(bytes, {7, 0x05, address, type});
    Put16(bytes, packetSize);
    bytes.push_back(interval);
    if (superSpeed) {
      Push(bytes, {6, 0x30, 0, 0});
      Put16(bytes, type == INTERRUPT ? packetSize : 0);
    }
  };
  endpoint(0x01, BULK, bulkPacketSize, 0);
  endpoint(0x81, BULK, bulkPacketSize, 0);
  endpoint(0x83, INTERRUPT, INTERRUPT_PACKET_SIZE, INTERRUPT_INTERVAL);
}

// A Microsoft OS descriptor as FunctionFS takes it: the header (whose
// bcdVersion it wants as 1) and the features.
void OsDescriptor(Bytes &bytes, std::uint16_t index, const Bytes &features) {
  bytes.push_back(0); // interface
  Put32(bytes, static_cast<std::uint32_t>(11 + features.size()));
  Put16(bytes, 1);
  Put16(bytes, index);
  Put16(bytes, 1); // one feature
  bytes.insert(bytes.end(), features.begin(), features.end());
}

Bytes CompatibleId() {
  Bytes feature = {0, 0, 'W', 'I', 'N', 'U', 'S', 'B', 0, 0};
  feature.resize(24); // sub-compatible ID and reserved bytes: zero
  return feature;
}

// FunctionFS takes the property's name and value as 8-bit strings and widens
// them for the host.
Bytes InterfaceGuidProperty(const std::string &interfaceGuid) {
  constexpr std::string_view name = "DeviceInterfaceGUID";
  Bytes property;
  Put32(property, static_cast<std::uint32_t>(14 + name.size() + 1 + interfaceGuid.size() + 1));
  Put32(property, REG_SZ);
  Put16(property, name.size() + 1);
  PutText(property, name);
  Put32(property, static_cast<std::uint32_t>(interfaceGuid.size() + 1));
  PutText(property, interfaceGuid);
  return property;
}

} // namespace

Bytes FunctionDescriptors(const std::string &interfaceGuid) {
  Bytes bytes;
  Put32(bytes, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  Put32(bytes, 0); // length, set below
  Put32(bytes, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_HAS_SS_DESC |
                   FUNCTIONFS_HAS_MS_OS_DESC);
  Put32(bytes, 4); // full speed: the interface and its endpoints
  Put32(bytes, 4);
  Put32(bytes, 7); // super speed: and the endpoints' companions
  Put32(bytes, 2); // Microsoft OS descriptors
  Interface(bytes, 64, false);
  Interface(bytes, 512, false);
  Interface(bytes, 1024, true);
  OsDescriptor(bytes, 4, CompatibleId());
  OsDescriptor(bytes, 5, InterfaceGuidProperty(interfaceGuid));
  Set32(bytes, 4, bytes.size());
  return bytes;
}

Bytes FunctionStrings() {
  Bytes bytes;
  Put32(bytes, FUNCTIONFS_STRINGS_MAGIC);
  Put32(bytes, 0); // length, set below
  Put32(bytes, 1); // strings per language
  Put32(bytes, 1); // languages
  Put16(bytes, 0x0409);
  PutText(bytes, "loopback");
  Set32(bytes, 4, bytes.size());
  return bytes;
}

} // namespace pelmora::gadget
