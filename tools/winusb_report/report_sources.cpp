// SPDX-License-Identifier: MIT
#include "report_sources.h"

#include "device_discovery.h"
#include "device_record.h"
#include "usb_context.h"

namespace pelmora::report {

namespace {

bool Selected(libusb_device *device, const std::optional<DeviceSelector> &selector) {
  if (!selector) {
    return true;
  }
  if (!selector->byIds) {
    return libusb_get_bus_number(device) == selector->first &&
           libusb_get_device_address(device) == selector->second;
  }
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  return descriptor.idVendor == selector->first && descriptor.idProduct == selector->second;
}

} // namespace

std::optional<std::vector<linux_platform::ExplainedDevice>>
ExplainPresentDevices(const std::optional<DeviceSelector> &selector, const usb::GuidText &guid) {
  libusb_context *context = linux_platform::UsbContext();
  if (context == nullptr) {
    return std::nullopt;
  }
  const linux_platform::PresentDevices present = linux_platform::OrderedDevices(context);
  std::vector<linux_platform::ExplainedDevice> explained;
  for (libusb_device *device : present.ordered) {
    if (Selected(device, selector)) {
      explained.push_back(
          linux_platform::ExplainPresentDevice(device, guid, linux_platform::Depth::Report));
    }
  }
  return explained;
}

std::vector<linux_platform::ExplainedDevice>
ExplainRecordedDevices(const std::vector<RecordedDevice> &devices, const usb::GuidText &guid) {
  std::vector<linux_platform::ExplainedDevice> explained;
  explained.reserve(devices.size());
  for (const RecordedDevice &device : devices) {
    explained.push_back(
        linux_platform::ExplainRecordedDevice(device.record, device.exchanges, guid));
  }
  return explained;
}

} // namespace pelmora::report
