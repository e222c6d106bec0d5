// SPDX-License-Identifier: MIT
#include "device_discovery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <set>

#include "bos_descriptor.h"
#include "function_path.h"
#include "ms_os_10_descriptors.h"
#include "ms_os_20_descriptor_set.h"
#include "usb_context.h"

namespace pelmora::linux_platform {

namespace {

using Buffer = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// A request unanswered this long ends the device's turn: a silent device
// costs no more. A device that answers is waited for, slow or not, until its
// requests together have taken DEVICE_BUDGET, as Windows waits for one: so
// one that answers each of its requests within DEVICE_BUDGET divided by their
// number is always found.
constexpr std::chrono::milliseconds SILENCE_TIMEOUT{300};
constexpr std::chrono::milliseconds DEVICE_BUDGET{2000};
// libusb on Linux refuses a longer control transfer before it reaches the
// device; the parsers take what arrives.
constexpr std::uint32_t LONGEST_CONTROL_TRANSFER = 4096;
constexpr std::uint8_t STANDARD_IN = 0x80;
constexpr std::uint8_t VENDOR_DEVICE_IN = 0xC0;
constexpr std::uint8_t BOS_TYPE = 0x0F;
constexpr std::uint8_t STRING_TYPE = 0x03;
constexpr std::uint8_t OS_STRING_INDEX = 0xEE;
constexpr std::uint16_t MS_OS_20_DESCRIPTOR_INDEX = 7;
// The lowest bcdUSB with a BOS descriptor.
constexpr std::uint16_t BOS_BCD_USB = 0x0201;

std::uint16_t Asked(std::uint32_t length) {
  return static_cast<std::uint16_t>(std::min(length, LONGEST_CONTROL_TRANSFER));
}

// The descriptor requests of one device, within its budget. After a request
// times out, none is sent: a device that left one unanswered is likely to
// leave them all.
class Probe {
public:
  explicit Probe(libusb_device_handle *handle)
      : handle_(handle), deadline_(Clock::now() + DEVICE_BUDGET) {}

  std::optional<Buffer> ControlIn(const usb::ControlRequest &request) {
    // Whole milliseconds, rounded down: the last request ends within the budget.
    const auto left = std::min(
        SILENCE_TIMEOUT, std::chrono::floor<std::chrono::milliseconds>(deadline_ - Clock::now()));
    if (givenUp_ || left.count() <= 0) {
      givenUp_ = true;
      return std::nullopt;
    }
    Buffer bytes(request.length);
    const int received = libusb_control_transfer(
        handle_, request.requestType, request.request, request.value, request.index, bytes.data(),
        request.length, static_cast<unsigned>(left.count()));
    if (received < 0) {
      givenUp_ = received == LIBUSB_ERROR_TIMEOUT;
      return std::nullopt;
    }
    bytes.resize(static_cast<std::size_t>(received));
    return bytes;
  }

  std::optional<Buffer> GetDescriptor(std::uint8_t type, std::uint8_t index, std::uint32_t length) {
    return ControlIn({STANDARD_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                      static_cast<std::uint16_t>(type << 8 | index), 0, Asked(length)});
  }

private:
  libusb_device_handle *handle_;
  Clock::time_point deadline_;
  bool givenUp_ = false;
};

// The active configuration: its index among the device's configurations and
// the numbers of its interfaces, lowest first.
struct ActiveConfiguration {
  std::uint8_t index = 0;
  std::set<std::uint8_t> interfaces;
};

ActiveConfiguration ActiveConfigurationOf(libusb_device *device) {
  ActiveConfiguration found;
  libusb_config_descriptor *raw = nullptr;
  if (libusb_get_active_config_descriptor(device, &raw) != LIBUSB_SUCCESS) {
    found.interfaces.insert(0);
    return found;
  }
  const ConfigDescriptorPtr active(raw);
  for (int i = 0; i < active->bNumInterfaces; ++i) {
    const libusb_interface &each = active->interface[i];
    if (each.num_altsetting > 0) {
      found.interfaces.insert(each.altsetting[0].bInterfaceNumber);
    }
  }
  if (found.interfaces.empty()) {
    found.interfaces.insert(0);
  }
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  for (std::uint8_t index = 0; index < descriptor.bNumConfigurations; ++index) {
    if (libusb_get_config_descriptor(device, index, &raw) == LIBUSB_SUCCESS) {
      const ConfigDescriptorPtr config(raw);
      if (config->bConfigurationValue == active->bConfigurationValue) {
        found.index = index;
        break;
      }
    }
  }
  return found;
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
  return probe.ControlIn({VENDOR_DEVICE_IN, location->vendorCode, 0, MS_OS_20_DESCRIPTOR_INDEX,
                          Asked(location->totalLength)});
}

// A Microsoft OS 1.0 descriptor read in two requests: its header, then the
// whole length the header gives.
template <typename RequestOf>
std::optional<Buffer> ReadWhole(Probe &probe, RequestOf requestOf, std::uint16_t headerLength,
                                std::optional<std::uint32_t> (*lengthOf)(usb::Bytes)) {
  const auto header = probe.ControlIn(requestOf(headerLength));
  const auto length = header ? lengthOf(*header) : std::nullopt;
  return length ? probe.ControlIn(requestOf(Asked(*length))) : std::nullopt;
}

// The functions that the Microsoft OS 1.0 extended compat ID names, among
// the device's interfaces; interface 0 alone without one.
std::vector<std::uint8_t> MsOs10Functions(Probe &probe, std::uint8_t vendorCode,
                                          const std::set<std::uint8_t> &interfaces) {
  const auto descriptor = ReadWhole(
      probe,
      [vendorCode](std::uint16_t length) {
        return usb::ExtendedCompatIdRequest(vendorCode, length);
      },
      usb::EXTENDED_COMPAT_ID_HEADER_LENGTH, usb::ExtendedCompatIdLength);
  if (!descriptor) {
    return {0};
  }
  std::set<std::uint8_t> named;
  for (const std::uint8_t first : usb::CompatIdFunctions(*descriptor)) {
    if (interfaces.count(first) != 0) {
      named.insert(first);
    }
  }
  return std::vector<std::uint8_t>(named.begin(), named.end());
}

// The first of the device's functions whose Microsoft OS 1.0 extended
// properties declare the class.
std::optional<std::uint8_t> MsOs10Match(Probe &probe, const usb::GuidText &guid,
                                        const std::set<std::uint8_t> &interfaces) {
  const auto osString = probe.GetDescriptor(STRING_TYPE, OS_STRING_INDEX, 0x12);
  const auto vendorCode = osString ? usb::MsOs10VendorCode(*osString) : std::nullopt;
  if (!vendorCode) {
    return std::nullopt;
  }
  for (const std::uint8_t first : MsOs10Functions(probe, *vendorCode, interfaces)) {
    const auto properties = ReadWhole(
        probe,
        [&vendorCode, first](std::uint16_t length) {
          return usb::ExtendedPropertiesRequest(*vendorCode, first, length);
        },
        usb::EXTENDED_PROPERTIES_HEADER_LENGTH, usb::ExtendedPropertiesLength);
    if (properties && usb::DeclaresInterfaceGuid(usb::ParseExtendedProperties(*properties), guid)) {
      return first;
    }
  }
  return std::nullopt;
}

usb::GuidText TextOf(const GUID &guid) {
  char text[37];
  (void)std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                      guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                      guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                      guid.Data4[7]);
  return usb::GuidText{text};
}

// The first interface of the device's first function that declares the
// class; nothing when none does.
std::optional<std::uint8_t> FunctionDeclaringClass(libusb_device *device,
                                                   const usb::GuidText &guid) {
  libusb_device_descriptor descriptor{};
  libusb_get_device_descriptor(device, &descriptor);
  // A hub is never one, and its control endpoint serves the whole tree
  // behind it: leave it alone.
  if (descriptor.bDeviceClass == LIBUSB_CLASS_HUB) {
    return std::nullopt;
  }
  libusb_device_handle *raw = nullptr;
  if (libusb_open(device, &raw) != LIBUSB_SUCCESS) {
    return std::nullopt; // not ours to use
  }
  const DeviceHandlePtr handle(raw);
  Probe probe(handle.get());
  const ActiveConfiguration active = ActiveConfigurationOf(device);
  if (descriptor.bcdUSB >= BOS_BCD_USB) {
    if (const auto set = ReadMsOs20Set(probe)) {
      std::vector<usb::FunctionProperties> functions =
          usb::MsOs20Functions(*set, active.index, *active.interfaces.begin());
      // A function of an interface the configuration lacks is no function.
      std::erase_if(functions, [&active](const usb::FunctionProperties &function) {
        return active.interfaces.count(function.firstInterface) == 0;
      });
      return usb::FirstFunctionDeclaring(functions, guid);
    }
  }
  return MsOs10Match(probe, guid, active.interfaces);
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
    if (const auto function = FunctionDeclaringClass(device, guid)) {
      return FunctionPathText({NodePath(device), *function});
    }
  }
  return std::nullopt;
}

} // namespace pelmora::linux_platform
