// SPDX-License-Identifier: MIT
#include "configuration_descriptor.h"

#include <algorithm>
#include <set>

namespace pelmora::usb {

namespace {

constexpr std::uint8_t DEVICE_TYPE = 0x01;
constexpr std::uint8_t CONFIGURATION_TYPE = 0x02;
constexpr std::uint8_t INTERFACE_TYPE = 0x04;
constexpr std::uint8_t ENDPOINT_TYPE = 0x05;
constexpr std::uint8_t ASSOCIATION_TYPE = 0x0B;
constexpr std::size_t CONFIGURATION_HEADER_LENGTH = 9;

void AddDescriptor(Configuration &configuration, Bytes descriptor) {
  const std::uint8_t type = descriptor[1];
  if (type == INTERFACE_TYPE && descriptor.size() >= 9) {
    configuration.settings.push_back(
        {descriptor[2], descriptor[3], descriptor[5], descriptor[6], descriptor[7], {}});
  } else if (type == ENDPOINT_TYPE && descriptor.size() >= 7 && !configuration.settings.empty()) {
    configuration.settings.back().endpoints.push_back(
        {descriptor[2], descriptor[3], *ReadU16(descriptor, 4)});
  } else if (type == ASSOCIATION_TYPE && descriptor.size() >= 8) {
    configuration.associations.push_back(
        {descriptor[2], descriptor[3], descriptor[4], descriptor[5], descriptor[6]});
  }
}

} // namespace

std::optional<DeviceFields> ParseDeviceDescriptor(Bytes bytes) {
  if (bytes.size() < DEVICE_DESCRIPTOR_LENGTH || bytes[0] < DEVICE_DESCRIPTOR_LENGTH ||
      bytes[1] != DEVICE_TYPE) {
    return std::nullopt;
  }
  return DeviceFields{
      *ReadU16(bytes, 2),  bytes[4], bytes[5], bytes[6], *ReadU16(bytes, 8), *ReadU16(bytes, 10),
      *ReadU16(bytes, 12), bytes[17]};
}

std::vector<Configuration> ParseConfigurations(Bytes bytes) {
  std::vector<Configuration> configurations;
  std::size_t start = 0;
  while (start < bytes.size()) {
    const auto total = ReadU16(bytes, start + 2);
    if (!total || *total < CONFIGURATION_HEADER_LENGTH) {
      break;
    }
    const auto all = Slice(bytes, start, *total);
    if (!all || (*all)[1] != CONFIGURATION_TYPE) {
      break;
    }
    Configuration configuration;
    configuration.value = (*all)[5];
    std::size_t offset = std::max<std::size_t>((*all)[0], 2);
    while (offset < all->size()) {
      const std::uint8_t length = (*all)[offset];
      const auto descriptor = Slice(*all, offset, length);
      if (length < 2 || !descriptor) {
        break;
      }
      AddDescriptor(configuration, *descriptor);
      offset += length;
    }
    configurations.push_back(std::move(configuration));
    start += *total;
  }
  return configurations;
}

std::vector<std::uint8_t> InterfaceNumbers(const Configuration &configuration) {
  std::set<std::uint8_t> numbers;
  for (const InterfaceSetting &setting : configuration.settings) {
    numbers.insert(setting.number);
  }
  return std::vector<std::uint8_t>(numbers.begin(), numbers.end());
}

const InterfaceSetting *SettingZero(const Configuration &configuration, std::uint8_t number) {
  for (const InterfaceSetting &setting : configuration.settings) {
    if (setting.number == number && setting.alternate == 0) {
      return &setting;
    }
  }
  return nullptr;
}

} // namespace pelmora::usb
