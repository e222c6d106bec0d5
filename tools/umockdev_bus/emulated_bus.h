// SPDX-License-Identifier: MIT
// A USB bus on umockdev: loopback devices appear in its sysfs and as usbfs
// nodes whose ioctls reach the device model. Processes see the bus when
// they run with umockdev's preload library and the UMOCKDEV_DIR the bus
// sets in this process's environment.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loopback_device.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace pelmora::emulated {

struct Placement {
  std::uint8_t bus = 1;
  std::uint8_t port = 1;
  std::uint8_t address = 2;
};

class UsbfsHandler;

class EmulatedBus {
public:
  EmulatedBus();
  ~EmulatedBus();
  EmulatedBus(const EmulatedBus &) = delete;
  EmulatedBus &operator=(const EmulatedBus &) = delete;

  // Plugs the device in where the placement says; returns its usbfs node path.
  std::string Add(std::shared_ptr<LoopbackDevice> device, Placement placement = {});

  // The testbed's root, which UMOCKDEV_DIR names.
  std::string RootDir() const;

private:
  UMockdevTestbed *testbed_;
  std::vector<std::unique_ptr<UsbfsHandler>> handlers_;
};

} // namespace pelmora::emulated
