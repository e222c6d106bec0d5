// SPDX-License-Identifier: MIT
#include "descriptors.h"

#include "byte_writer.h"

#include <algorithm>
#include <array>
#include <initializer_list>
#include <string>

namespace pelmora::emulated {

namespace {

void Set16(ByteVector &bytes, std::size_t offset, std::size_t value) {
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

ByteVector Utf16(const std::string &text, bool terminated) {
  ByteVector bytes;
  for (const char c : text) {
    Put16(bytes, static_cast<unsigned char>(c));
  }
  if (terminated) {
    Put16(bytes, 0);
  }
  return bytes;
}

void Append(ByteVector &to, const ByteVector &from) {
  to.insert(to.end(), from.begin(), from.end());
}

// Byte by byte: GCC 12 at -O3 warns falsely about inserting initializer lists.
void Push(ByteVector &to, std::initializer_list<std::uint8_t> bytes) {
  for (const std::uint8_t byte : bytes) {
    to.push_back(byte);
  }
}

std::string PropertyName(const DeviceSpec &spec) {
  return spec.multiStringProperty ? "DeviceInterfaceGUIDs" : "DeviceInterfaceGUID";
}

// The property's value: one string, and for REG_MULTI_SZ the closing NUL.
ByteVector PropertyValue(const DeviceSpec &spec) {
  ByteVector value = Utf16(spec.interfaceGuid, true);
  if (spec.multiStringProperty) {
    Put16(value, 0);
  }
  return value;
}

std::uint32_t PropertyType(const DeviceSpec &spec) { return spec.multiStringProperty ? 7 : 1; }

// The filler: a REG_BINARY property of fillerLength bytes.
constexpr char FILLER_NAME[] = "PelmoraFiller";
constexpr std::uint32_t REG_BINARY = 3;
ByteVector Filler(const DeviceSpec &spec) { return ByteVector(spec.fillerLength, 0xF1); }

ByteVector MsOs20Property(std::uint32_t type, const std::string &nameText,
                          const ByteVector &value) {
  const ByteVector name = Utf16(nameText, true);
  ByteVector property;
  Put16(property, 10 + name.size() + value.size());
  Put16(property, 0x04);
  Put16(property, type);
  Put16(property, name.size());
  Append(property, name);
  Put16(property, value.size());
  Append(property, value);
  return property;
}

ByteVector MsOs20Features(const DeviceSpec &spec) {
  ByteVector features = {0x14, 0x00, 0x03, 0x00, 'W', 'I', 'N', 'U', 'S', 'B',
                         0,    0,    0,    0,    0,   0,   0,   0,   0,   0};
  Append(features, MsOs20Property(PropertyType(spec), PropertyName(spec), PropertyValue(spec)));
  if (spec.fillerLength != 0) {
    Append(features, MsOs20Property(REG_BINARY, FILLER_NAME, Filler(spec)));
  }
  return features;
}

ByteVector MsOs10Section(std::uint32_t type, const std::string &nameText, const ByteVector &value) {
  const ByteVector name = Utf16(nameText, true);
  ByteVector section;
  Put32(section, static_cast<std::uint32_t>(14 + name.size() + value.size()));
  Put32(section, type);
  Put16(section, name.size());
  Append(section, name);
  Put32(section, static_cast<std::uint32_t>(value.size()));
  Append(section, value);
  return section;
}

// The first interface of each function, in order.
std::vector<std::uint8_t> Functions(const DeviceSpec &spec) {
  if (!spec.declaringFunctions.empty()) {
    return spec.declaringFunctions;
  }
  if (spec.composite) {
    return {0, 2};
  }
  return spec.interfacesOutOfOrder ? std::vector<std::uint8_t>{0, 1} : std::vector<std::uint8_t>{0};
}

} // namespace

std::uint8_t LoopbackInterface(const DeviceSpec &spec) { return spec.composite ? 2 : 0; }

bool DeclaresClass(const DeviceSpec &spec, std::uint8_t firstInterface) {
  return spec.declaringFunctions.empty()
             ? firstInterface == LoopbackInterface(spec)
             : std::find(spec.declaringFunctions.begin(), spec.declaringFunctions.end(),
                         firstInterface) != spec.declaringFunctions.end();
}

std::uint8_t InterfaceCount(const DeviceSpec &spec) {
  return spec.composite ? 3 : spec.interfacesOutOfOrder ? 2 : 1;
}

ByteVector DeviceDescriptor(const DeviceSpec &spec) {
  ByteVector bytes = {18, 0x01};
  Put16(bytes, 0x0210);
  // Miscellaneous, common class, interface association: a composite device
  // whose functions are told by their associations.
  const std::array<std::uint8_t, 3> deviceClass =
      spec.composite ? std::array<std::uint8_t, 3>{0xEF, 0x02, 0x01}
                     : std::array<std::uint8_t, 3>{spec.deviceClass, 0x00, 0x00};
  Push(bytes, {deviceClass[0], deviceClass[1], deviceClass[2],
               spec.speed == Speed::Low ? std::uint8_t{8} : std::uint8_t{64}});
  Put16(bytes, spec.vendorId);
  Put16(bytes, spec.productId);
  Put16(bytes, 0x0100);
  Push(bytes, {1, 2, 3, 1});
  return bytes;
}

ByteVector ConfigurationDescriptor(const DeviceSpec &spec) {
  ByteVector bytes = {9, 0x02, 0, 0, InterfaceCount(spec), CONFIGURATION_VALUE, 0, 0x80, 50};
  const auto endpoint = [&bytes](std::uint8_t address, std::uint8_t type, unsigned packetSize,
                                 std::uint8_t interval) {
    Push(bytes, {7, 0x05, address, type});
    Put16(bytes, packetSize);
    bytes.push_back(interval);
  };
  if (spec.composite) {
    // Association of interfaces 0 and 1: communications, ACM, AT commands.
    Push(bytes, {8, 0x0B, 0, 2, 0x02, 0x02, 0x01, 0});
    Push(bytes, {9, 0x04, 0, 0, 1, 0x02, 0x02, 0x01, 0});
    // Header 1.10, call management, ACM capabilities, union of 0 and 1.
    Push(bytes, {5, 0x24, 0x00, 0x10, 0x01, 5, 0x24, 0x01, 0x00, 1, 4, 0x24, 0x02, 0x02, 5, 0x24,
                 0x06, 0, 1});
    endpoint(0x84, 0x03, 10, 9);
    Push(bytes, {9, 0x04, 1, 0, 2, 0x0A, 0x00, 0x00, 0});
    endpoint(0x02, 0x02, spec.bulkPacketSize, 0);
    endpoint(0x82, 0x02, spec.bulkPacketSize, 0);
  }
  if (spec.interfacesOutOfOrder) {
    Push(bytes, {9, 0x04, 1, 0, 2, 0xFF, 0, 0, 0});
    endpoint(0x02, 0x02, spec.bulkPacketSize, 0);
    endpoint(0x82, 0x02, spec.bulkPacketSize, 0);
    Push(bytes, {9, 0x04, 0, 1, 0, 0xFF, 0, 0, 0});
  }
  const std::uint8_t endpoints = spec.isochronousEndpoint ? 4 : 3;
  Push(bytes, {9, 0x04, LoopbackInterface(spec), 0, endpoints, 0xFF, 0, 0, 0});
  endpoint(0x01, 0x02, spec.bulkPacketSize, 0);
  endpoint(0x81, 0x02, spec.bulkPacketSize, 0);
  endpoint(0x83, 0x03, spec.interruptPacketSize, 4);
  if (spec.isochronousEndpoint) {
    endpoint(0x84, 0x01, 64, 1);
  }
  Set16(bytes, 2, bytes.size());
  return bytes;
}

ByteVector BosDescriptor(const DeviceSpec &spec) {
  ByteVector bytes = {5, 0x0F, 0, 0, 1};
  // USB 2.0 extension: link power management.
  Push(bytes, {7, 0x10, 0x02, 0x02, 0, 0, 0});
  if (spec.osDescriptors == OsDescriptors::MsOs20) {
    bytes[4] = 2;
    Push(bytes, {28,   0x10, 0x05, 0x00, 0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45,
                 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F});
    Put32(bytes, 0x06030000); // Windows 8.1 and later
    Put16(bytes, spec.overstatedLengths ? 0xFFFF : MsOs20DescriptorSet(spec).size());
    bytes.push_back(MS_OS_20_VENDOR_CODE);
    bytes.push_back(0);
  }
  Set16(bytes, 2, spec.overstatedLengths ? 0xFFFF : bytes.size());
  return bytes;
}

ByteVector MsOs20DescriptorSet(const DeviceSpec &spec) {
  ByteVector set = {0x0A, 0x00, 0x00, 0x00};
  Put32(set, 0x06030000);
  Put16(set, 0);
  const ByteVector features = MsOs20Features(spec);
  GuidScope scope = spec.scope;
  std::uint8_t first = spec.functionSubsetInterface;
  if (scope == GuidScope::ByShape) {
    scope = Functions(spec).size() == 1 ? GuidScope::Device : GuidScope::Function;
    first = LoopbackInterface(spec);
  }
  if (scope == GuidScope::Device) {
    Append(set, features);
  } else {
    ByteVector configuration = {0x08, 0x00, 0x01, 0x00, spec.subsetConfigurationField, 0, 0, 0};
    if (scope == GuidScope::Configuration) {
      Append(configuration, features);
    } else {
      for (const std::uint8_t each : spec.declaringFunctions.empty()
                                         ? std::vector<std::uint8_t>{first}
                                         : spec.declaringFunctions) {
        ByteVector function = {0x08, 0x00, 0x02, 0x00, each, 0, 0, 0};
        Append(function, features);
        Set16(function, 6, function.size());
        Append(configuration, function);
      }
    }
    Set16(configuration, 6, configuration.size());
    Append(set, configuration);
  }
  Set16(set, 8, spec.overstatedLengths ? 0xFFFF : set.size());
  return set;
}

ByteVector MsOs10ExtendedCompatId(const DeviceSpec &spec) {
  const std::vector<std::uint8_t> functions = Functions(spec);
  ByteVector bytes;
  Put32(bytes, static_cast<std::uint32_t>(16 + 24 * functions.size()));
  Put16(bytes, 0x0100);
  Put16(bytes, 4);
  Push(bytes, {static_cast<std::uint8_t>(functions.size()), 0, 0, 0, 0, 0, 0, 0});
  for (const std::uint8_t first : functions) {
    ByteVector section(24, 0);
    section[0] = first;
    section[1] = 0x01;
    if (DeclaresClass(spec, first)) {
      const char winusb[] = "WINUSB";
      std::copy(winusb, winusb + 6, section.begin() + 2);
    }
    Append(bytes, section);
  }
  return bytes;
}

ByteVector MsOs10ExtendedProperties(const DeviceSpec &spec) {
  ByteVector bytes;
  Put32(bytes, 0);
  Put16(bytes, 0x0100);
  Put16(bytes, 5);
  Put16(bytes, spec.fillerLength != 0 ? 2 : 1);
  Append(bytes, MsOs10Section(PropertyType(spec), PropertyName(spec), PropertyValue(spec)));
  if (spec.fillerLength != 0) {
    Append(bytes, MsOs10Section(REG_BINARY, FILLER_NAME, Filler(spec)));
  }
  const std::size_t length = spec.overstatedLengths ? 0xFFFFFFFF : bytes.size();
  Set16(bytes, 0, length & 0xFFFF);
  Set16(bytes, 2, length >> 16);
  return bytes;
}

std::optional<ByteVector> StringDescriptor(const DeviceSpec &spec, std::uint8_t index) {
  ByteVector text;
  switch (index) {
  case 0:
    text = {0x09, 0x04};
    break;
  case 1:
    text = Utf16("pelmora", false);
    break;
  case 2:
    text = Utf16("loopback", false);
    break;
  case 3:
    text = Utf16("0001", false);
    break;
  case 0xEE:
    if (spec.osDescriptors != OsDescriptors::MsOs10) {
      return std::nullopt;
    }
    text = Utf16("MSFT100", false);
    text.push_back(MS_OS_10_VENDOR_CODE);
    text.push_back(0);
    break;
  default:
    return std::nullopt;
  }
  ByteVector bytes = {static_cast<std::uint8_t>(2 + text.size()), 0x03};
  Append(bytes, text);
  return bytes;
}

ByteVector CachedDescriptors(const DeviceSpec &spec) {
  ByteVector bytes = DeviceDescriptor(spec);
  Append(bytes, ConfigurationDescriptor(spec));
  return bytes;
}

} // namespace pelmora::emulated
