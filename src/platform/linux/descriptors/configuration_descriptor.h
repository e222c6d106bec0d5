// SPDX-License-Identifier: MIT
// The device descriptor and configuration descriptors as a device's cache
// holds them (usbfs and sysfs show them one after the other): what the
// lookup and the report need of interfaces, associations and endpoints.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "byte_reader.h"

namespace pelmora::usb {

inline constexpr std::size_t DEVICE_DESCRIPTOR_LENGTH = 18;
inline constexpr std::uint8_t HUB_CLASS = 0x09;

struct DeviceFields {
  std::uint16_t bcdUsb = 0;
  std::uint8_t deviceClass = 0;
  std::uint8_t deviceSubClass = 0;
  std::uint8_t deviceProtocol = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t configurationCount = 0;
};

// The fields of an 18-byte device descriptor; nothing when bytes hold none.
std::optional<DeviceFields> ParseDeviceDescriptor(Bytes bytes);

struct Endpoint {
  std::uint8_t address = 0;
  std::uint8_t attributes = 0; // bits 0-1: 0 control, 1 isochronous, 2 bulk, 3 interrupt
  std::uint16_t maxPacketSize = 0;
};

struct InterfaceSetting {
  std::uint8_t number = 0;
  std::uint8_t alternate = 0;
  std::uint8_t interfaceClass = 0;
  std::uint8_t interfaceSubClass = 0;
  std::uint8_t interfaceProtocol = 0;
  std::vector<Endpoint> endpoints;
};

struct InterfaceAssociation {
  std::uint8_t firstInterface = 0;
  std::uint8_t interfaceCount = 0;
  std::uint8_t functionClass = 0;
  std::uint8_t functionSubClass = 0;
  std::uint8_t functionProtocol = 0;
};

struct Configuration {
  std::uint8_t value = 0;                 // bConfigurationValue
  std::vector<InterfaceSetting> settings; // in the order the descriptor lists them
  std::vector<InterfaceAssociation> associations;
};

// The configurations in bytes, one after another, each as long as its
// wTotalLength says. A descriptor running past its configuration ends that
// configuration's walk; a configuration running past the bytes ends the list.
std::vector<Configuration> ParseConfigurations(Bytes bytes);

// The numbers of a configuration's interfaces, lowest first, each once.
std::vector<std::uint8_t> InterfaceNumbers(const Configuration &configuration);

// Alternate setting 0 of the interface; nothing when the configuration has none.
const InterfaceSetting *SettingZero(const Configuration &configuration, std::uint8_t number);

} // namespace pelmora::usb
