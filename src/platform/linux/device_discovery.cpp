// SPDX-License-Identifier: MIT
#include "device_discovery.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "bos_descriptor.h"
#include "ms_os_10_descriptors.h"
#include "ms_os_20_descriptor_set.h"
#include "usb_context.h"

namespace pelmora::linux_platform {

namespace {

using Buffer = std::vector<std::uint8_t>;

// Devices answer descriptor requests within microseconds; one that has not
// answered in this time is taken for silent and is given up.
constexpr unsigned REQUEST_TIMEOUT_MS = 300;
// libusb on Linux refuses a longer control transfer before it reaches the
// device; the parsers take what arrives.
constexpr std::uint16_t LONGEST_CONTROL_TRANSFER = 4096;
constexpr std::uint8_t STANDARD_IN = 0x80;
constexpr std::uint8_t VENDOR_DEVICE_IN = 0xC0;
constexpr std::uint8_t VENDOR_INTERFACE_IN = 0xC1;
constexpr std::uint8_t BOS_TYPE = 0x0F;
constexpr std::uint8_t STRING_TYPE = 0x03;
constexpr std::uint8_t OS_STRING_INDEX = 0xEE;
constexpr std::uint16_t MS_OS_20_DESCRIPTOR_INDEX = 7;
constexpr std::uint16_t MS_OS_10_EXTENDED_PROPERTIES_INDEX = 5;
constexpr std::uint16_t MS_OS_10_HEADER_LENGTH = 10;
// The lowest bcdUSB with a BOS descriptor.
constexpr std::uint16_t BOS_BCD_USB = 0x0201;

// The descriptor requests of one device. After a request times out, none
// is sent: a device that left one unanswered is likely to leave them all.
class Probe {
public:
  explicit Probe(libusb_device_handle *handle) : handle_(handle) {}

  std::optional<Buffer> ControlIn(std::uint8_t requestType, std::uint8_t request,
                                  std::uint16_t value, std::uint16_t index, std::uint32_t length) {
    if (silent_) {
      return std::nullopt;
    }
    const auto asked =
        static_cast<std::uint16_t>(std::min<std::uint32_t>(length, LONGEST_CONTROL_TRANSFER));
    Buffer bytes(asked);
    const int received = libusb_control_transfer(handle_, requestType, request, value, index,
                                                 bytes.data(), asked, REQUEST_TIMEOUT_MS);
    if (received < 0) {
      silent_ = received == LIBUSB_ERROR_TIMEOUT;
      return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(received));
    return bytes;
  }

  std::optional<Buffer> GetDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t length) {
    return ControlIn(STANDARD_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                     static_cast<std::uint16_t>(type << 8 | index), 0, length);
  }

private:
  libusb_device_handle *handle_;
  bool silent_ = false;
};

// The index of the active configuration among the device's configurations.
std::uint8_t ActiveConfigurationIndex(libusb_device *device) {
  libusb_config_descriptor *raw = nullptr;
  if (libusb_get_active_config_descriptor(device, &raw) != LIBUSB_SUCCESS) {
    return 0;
  }
  const ConfigDescriptorPtr active(raw);
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  for (std::uint8_t index = 0; index < descriptor.bNumConfigurations; ++index) {
    if (libusb_get_config_descriptor(device, index, &raw) == LIBUSB_SUCCESS) {
      const ConfigDescriptorPtr config(raw);
      if (config->bConfigurationValue == active->bConfigurationValue) {
        return index;
      }
    }
  }
  return 0;
}

// The Microsoft OS 2.0 descriptor set, when the device has one.
std::optional<Buffer> ReadMsOs20Set(Probe &probe) {
  const auto header = probe.GetDescriptor(BOS_TYPE, 0, 5);
  const auto total = header ? usb::BosTotalLength(*header) : std::nullopt;
  if (!total) {
    return std::nullopt;
  }
  const auto bos = probe.GetDescriptor(BOS_TYPE, 0, *total);
  const auto location = bos ? usb::FindMsOs20Set(*bos) : std::nullopt;
  if (!location) {
    return std::nullopt;
  }
  return probe.ControlIn(VENDOR_DEVICE_IN, location->vendorCode, 0, MS_OS_20_DESCRIPTOR_INDEX,
                         location->totalLength);
}

// The Microsoft OS 1.0 extended properties of interface 0, when the device has them.
std::optional<Buffer> ReadMsOs10Properties(Probe &probe) {
  const auto osString = probe.GetDescriptor(STRING_TYPE, OS_STRING_INDEX, 0x12);
  const auto vendorCode = osString ? usb::MsOs10VendorCode(*osString) : std::nullopt;
  if (!vendorCode) {
    return std::nullopt;
  }
  const auto header = probe.ControlIn(VENDOR_INTERFACE_IN, *vendorCode, 0,
                                      MS_OS_10_EXTENDED_PROPERTIES_INDEX, MS_OS_10_HEADER_LENGTH);
  const auto length = header ? usb::ExtendedPropertiesLength(*header) : std::nullopt;
  if (!length) {
    return std::nullopt;
  }
  return probe.ControlIn(VENDOR_INTERFACE_IN, *vendorCode, 0, MS_OS_10_EXTENDED_PROPERTIES_INDEX,
                         *length);
}

usb::GuidText TextOf(const GUID &guid) {
  char text[37];
  (void)std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                      guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                      guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                      guid.Data4[7]);
  return usb::GuidText{text};
}

bool DeclaresClass(libusb_device *device, const usb::GuidText &guid) {
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  // A hub is never one, and its control endpoint serves the whole tree
  // behind it: leave it alone.
  if (descriptor.bDeviceClass == LIBUSB_CLASS_HUB) {
    return false;
  }
  libusb_device_handle *raw = nullptr;
  if (libusb_open(device, &raw) != LIBUSB_SUCCESS) {
    return false; // not ours to use
  }
  const DeviceHandlePtr handle(raw);
  Probe probe(handle.get());
  if (descriptor.bcdUSB >= BOS_BCD_USB) {
    if (const auto set = ReadMsOs20Set(probe)) {
      return usb::DeclaresInterfaceGuid(
          usb::MsOs20PropertiesForInterfaceZero(*set, ActiveConfigurationIndex(device)), guid);
    }
  }
  const auto properties = ReadMsOs10Properties(probe);
  return properties && usb::DeclaresInterfaceGuid(usb::ParseExtendedProperties(*properties), guid);
}

std::string NodePath(libusb_device *device) {
  char path[32];
  (void)std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(device),
                      libusb_get_device_address(device));
  return path;
}

} // namespace

InterfaceLookup::InterfaceLookup(libusb_context *context, const GUID &interfaceClass)
    : interfaceClass_(interfaceClass) {
  libusb_device **raw = nullptr;
  const ssize_t count = libusb_get_device_list(context, &raw);
  if (count < 0) {
    return;
  }
  list_.reset(raw);
  for (ssize_t i = 0; i < count; ++i) {
    std::uint8_t ports[8];
    const int depth = libusb_get_port_numbers(raw[i], ports, sizeof ports);
    candidates_.push_back({raw[i], libusb_get_bus_number(raw[i]),
                           std::vector<std::uint8_t>(ports, ports + std::max(depth, 0))});
  }
  std::stable_sort(candidates_.begin(), candidates_.end(),
                   [](const Candidate &a, const Candidate &b) {
                     return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
                   });
}

std::optional<std::string> InterfaceLookup::Next() {
  const usb::GuidText guid = TextOf(interfaceClass_);
  while (next_ < candidates_.size()) {
    libusb_device *device = candidates_[next_++].device;
    if (DeclaresClass(device, guid)) {
      return NodePath(device);
    }
  }
  return std::nullopt;
}

} // namespace pelmora::linux_platform
