// SPDX-License-Identifier: MIT
// The process-wide libusb context and RAII owners for libusb resources.
#pragma once

#include <libusb.h>

#include <memory>

namespace pelmora::linux_platform {

struct DeviceHandleCloser {
  void operator()(libusb_device_handle *handle) const { libusb_close(handle); }
};
using DeviceHandlePtr = std::unique_ptr<libusb_device_handle, DeviceHandleCloser>;

struct ConfigDescriptorFreer {
  void operator()(libusb_config_descriptor *config) const { libusb_free_config_descriptor(config); }
};
using ConfigDescriptorPtr = std::unique_ptr<libusb_config_descriptor, ConfigDescriptorFreer>;

// The context, made on first use; nullptr when libusb cannot start. It lives
// until the process ends, as the handles made from it do.
libusb_context *UsbContext();

// Releases every interface handle and the context, so that a test can take
// its emulated bus away; the next use starts afresh.
void ReleaseUsbForTests();

} // namespace pelmora::linux_platform
