// SPDX-License-Identifier: MIT
// The present USB devices in the lookup's order, and what each shows before
// it is asked anything.
#pragma once

#include <memory>
#include <vector>

#include <libusb.h>

#include "explained_device.h"

namespace pelmora::linux_platform {

struct DeviceListFreer {
  void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};

struct PresentDevices {
  std::unique_ptr<libusb_device *, DeviceListFreer> list;
  std::vector<libusb_device *> ordered; // by bus number, then port path
};

PresentDevices OrderedDevices(libusb_context *context);

// Its place, its descriptors as its host keeps them (no request is sent),
// its active configuration.
DeviceRecord RecordOf(libusb_device *device);

} // namespace pelmora::linux_platform
