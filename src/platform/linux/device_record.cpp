// SPDX-License-Identifier: MIT
#include "device_record.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "configuration_descriptor.h"
#include "usb_context.h"

namespace pelmora::linux_platform {

namespace {

constexpr std::size_t LONGEST_PORT_PATH = 8;
constexpr std::size_t READ_CHUNK = 4096;

std::vector<std::uint8_t> PortsOf(libusb_device *device) {
  std::uint8_t ports[LONGEST_PORT_PATH];
  const int depth = libusb_get_port_numbers(device, ports, sizeof ports);
  return std::vector<std::uint8_t>(ports, ports + std::max(depth, 0));
}

// The 18 bytes of the descriptor libusb holds, in the bus's byte order.
Buffer DeviceDescriptorBytes(const libusb_device_descriptor &d) {
  const auto low = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); };
  const auto high = [](unsigned v) { return static_cast<std::uint8_t>(v >> 8); };
  return {d.bLength,        d.bDescriptorType,   low(d.bcdUSB),     high(d.bcdUSB),
          d.bDeviceClass,   d.bDeviceSubClass,   d.bDeviceProtocol, d.bMaxPacketSize0,
          low(d.idVendor),  high(d.idVendor),    low(d.idProduct),  high(d.idProduct),
          low(d.bcdDevice), high(d.bcdDevice),   d.iManufacturer,   d.iProduct,
          d.iSerialNumber,  d.bNumConfigurations};
}

Buffer ReadAll(const std::string &path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return {};
  }
  Buffer all;
  for (;;) {
    const std::size_t had = all.size();
    all.resize(had + READ_CHUNK);
    const ssize_t got = read(fd, all.data() + had, READ_CHUNK);
    all.resize(had + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    if (got <= 0) {
      break;
    }
  }
  close(fd);
  return all;
}

// The configurations as the kernel keeps them, after the device descriptor:
// sysfs has them without opening the device, which would wake a suspended
// one; the usbfs node has them too, for a device that is opened anyway.
Buffer CachedConfigurations(const DeviceRecord &record, bool hub) {
  const std::string name =
      record.ports.empty() ? "usb" + std::to_string(record.bus) : PortPathText(record);
  Buffer all = ReadAll("/sys/bus/usb/devices/" + name + "/descriptors");
  if (all.size() < usb::DEVICE_DESCRIPTOR_LENGTH && !hub) {
    char node[32];
    (void)std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", record.bus, record.address);
    all = ReadAll(node);
  }
  if (all.size() < usb::DEVICE_DESCRIPTOR_LENGTH) {
    return {};
  }
  return Buffer(all.begin() + usb::DEVICE_DESCRIPTOR_LENGTH, all.end());
}

} // namespace

PresentDevices OrderedDevices(libusb_context *context) {
  PresentDevices present;
  libusb_device **raw = nullptr;
  const ssize_t count = libusb_get_device_list(context, &raw);
  if (count < 0) {
    return present;
  }
  present.list.reset(raw);
  struct Candidate {
    libusb_device *device;
    std::uint8_t bus;
    std::vector<std::uint8_t> ports;
  };
  std::vector<Candidate> candidates;
  for (ssize_t i = 0; i < count; ++i) {
    candidates.push_back({raw[i], libusb_get_bus_number(raw[i]), PortsOf(raw[i])});
  }
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate &a, const Candidate &b) {
                     return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
                   });
  for (const Candidate &candidate : candidates) {
    present.ordered.push_back(candidate.device);
  }
  return present;
}

DeviceRecord RecordOf(libusb_device *device) {
  DeviceRecord record;
  record.bus = libusb_get_bus_number(device);
  record.address = libusb_get_device_address(device);
  record.ports = PortsOf(device);
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  record.deviceDescriptor = DeviceDescriptorBytes(descriptor);
  record.configurations = CachedConfigurations(record, descriptor.bDeviceClass == LIBUSB_CLASS_HUB);
  libusb_config_descriptor *active = nullptr;
  if (libusb_get_active_config_descriptor(device, &active) == LIBUSB_SUCCESS) {
    const ConfigDescriptorPtr owned(active);
    record.activeConfiguration = owned->bConfigurationValue;
  }
  return record;
}

} // namespace pelmora::linux_platform
