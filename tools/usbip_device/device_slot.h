// SPDX-License-Identifier: MIT
// The one device the server exports, bus id 1-1, and who holds it: a fresh
// loopback device for each import, as if plugged in anew.
#pragma once

#include <memory>

#include "device_spec.h"
#include "loopback_device.h"
#include "usbip_codec.h"

namespace pelmora::usbip {

inline constexpr char BUS_ID[] = "1-1";
inline constexpr std::uint32_t BUS_NUMBER = 1;
inline constexpr std::uint32_t DEVICE_NUMBER = 1;
// What every URB of the imported device names it by.
inline constexpr std::uint32_t DEVICE_ID = BUS_NUMBER << 16 | DEVICE_NUMBER;

class DeviceSlot {
public:
  DeviceSlot(emulated::DeviceSpec spec, emulated::Faults faults);

  const ExportedDevice &Listing() const { return listing_; }
  // The device for a new importer; null while another holds it.
  emulated::LoopbackDevice *Import();
  void Release() { device_.reset(); }

private:
  emulated::DeviceSpec spec_;
  emulated::Faults faults_;
  ExportedDevice listing_;
  std::unique_ptr<emulated::LoopbackDevice> device_;
};

} // namespace pelmora::usbip
