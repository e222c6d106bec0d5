// SPDX-License-Identifier: MIT
#include "device_slot.h"

#include "descriptors.h"

namespace pelmora::usbip {

namespace {

using emulated::Speed;

std::uint32_t KernelSpeed(Speed speed) {
  switch (speed) {
  case Speed::Low:
    return 1;
  case Speed::Full:
    return 2;
  case Speed::High:
    return 3;
  case Speed::Super:
    return 5;
  case Speed::Unknown:
    break;
  }
  return 0;
}

// The class of each interface's first setting, in the configuration's order.
std::vector<InterfaceClass> InterfaceClasses(const ByteVector &configuration) {
  std::vector<InterfaceClass> classes;
  for (std::size_t at = 0; at + 2 <= configuration.size();) {
    const std::size_t length = configuration[at];
    if (length < 2 || at + length > configuration.size()) {
      break;
    }
    const std::uint8_t *d = &configuration[at];
    if (d[1] == 0x04 && length >= 9 && d[3] == 0) {
      classes.push_back({d[5], d[6], d[7]});
    }
    at += length;
  }
  return classes;
}

ExportedDevice ListingOf(const emulated::DeviceSpec &spec) {
  const ByteVector descriptor = emulated::DeviceDescriptor(spec);
  ExportedDevice device;
  device.path = "/sys/devices/pelmora-usbip-device/usb1/1-1";
  device.busId = BUS_ID;
  device.busnum = BUS_NUMBER;
  device.devnum = DEVICE_NUMBER;
  device.speed = KernelSpeed(spec.speed);
  device.vendorId = spec.vendorId;
  device.productId = spec.productId;
  device.bcdDevice = static_cast<std::uint16_t>(descriptor[12] | descriptor[13] << 8);
  device.deviceClass = descriptor[4];
  device.deviceSubClass = descriptor[5];
  device.deviceProtocol = descriptor[6];
  device.configurationValue = emulated::CONFIGURATION_VALUE;
  device.configurationCount = descriptor[17];
  device.interfaces = InterfaceClasses(emulated::ConfigurationDescriptor(spec));
  return device;
}

} // namespace

DeviceSlot::DeviceSlot(emulated::DeviceSpec spec, emulated::Faults faults)
    : spec_(std::move(spec)), faults_(faults), listing_(ListingOf(spec_)) {}

emulated::LoopbackDevice *DeviceSlot::Import() {
  if (device_) {
    return nullptr;
  }
  device_ = std::make_unique<emulated::LoopbackDevice>(spec_, faults_);
  return device_.get();
}

} // namespace pelmora::usbip
