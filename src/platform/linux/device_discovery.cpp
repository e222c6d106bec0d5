// SPDX-License-Identifier: MIT
#include "device_discovery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>

#include "bos_descriptor.h"
#include "configuration_descriptor.h"
#include "function_path.h"
#include "ms_os_10_descriptors.h"
#include "ms_os_20_descriptor_set.h"
#include "request_codes.h"
#include "usb_context.h"

namespace pelmora::linux_platform {

namespace {

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

std::uint16_t Asked(std::uint32_t length) {
  return static_cast<std::uint16_t>(std::min(length, LONGEST_CONTROL_TRANSFER));
}

// The descriptor requests of one device, within its budget, each written
// down with how it ended. After a request times out, none is sent: a device
// that left one unanswered is likely to leave them all.
class Probe {
public:
  Probe(ControlTransport &transport, std::vector<Exchange> &log)
      : transport_(transport), log_(log), deadline_(Clock::now() + DEVICE_BUDGET) {}

  std::optional<Buffer> ControlIn(const usb::ControlRequest &request) {
    // Whole milliseconds, rounded down: the last request ends within the budget.
    const auto left = std::min(
        SILENCE_TIMEOUT, std::chrono::floor<std::chrono::milliseconds>(deadline_ - Clock::now()));
    if (givenUp_ || left.count() <= 0) {
      givenUp_ = true;
      log_.push_back({request, {Outcome::NotAsked, {}}});
      return std::nullopt;
    }
    Answer answer = transport_.ControlIn(request, left);
    log_.push_back({request, answer});
    if (answer.outcome != Outcome::Answered) {
      // A recorded turn that had ended ends this one at the same request.
      givenUp_ = answer.outcome == Outcome::TimedOut || answer.outcome == Outcome::NotAsked;
      return std::nullopt;
    }
    return std::move(answer.bytes);
  }

  std::optional<Buffer> GetDescriptor(std::uint8_t type, std::uint8_t index, std::uint32_t length) {
    return ControlIn({usb::STANDARD_DEVICE_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
                      usb::DescriptorValue(type, index), 0, Asked(length)});
  }

private:
  ControlTransport &transport_;
  std::vector<Exchange> &log_;
  Clock::time_point deadline_;
  bool givenUp_ = false;
};

// The active configuration: its index among the device's configurations and
// the numbers of its interfaces, lowest first.
struct ActiveConfiguration {
  std::uint8_t index = 0;
  std::set<std::uint8_t> interfaces;
};

ActiveConfiguration ActiveConfigurationOf(const DeviceRecord &record) {
  ActiveConfiguration found;
  const std::vector<usb::Configuration> configurations =
      usb::ParseConfigurations(record.configurations);
  for (std::size_t index = 0; record.activeConfiguration && index < configurations.size();
       ++index) {
    if (configurations[index].value == *record.activeConfiguration) {
      const std::vector<std::uint8_t> numbers = usb::InterfaceNumbers(configurations[index]);
      found.index = static_cast<std::uint8_t>(index);
      found.interfaces.insert(numbers.begin(), numbers.end());
      break;
    }
  }
  if (found.interfaces.empty()) {
    found.interfaces.insert(0);
  }
  return found;
}

// The BOS descriptor: its header, then its whole length.
std::optional<Buffer> ReadBos(Probe &probe) {
  const auto header = probe.GetDescriptor(usb::BOS_TYPE, 0, usb::BOS_HEADER_LENGTH);
  const auto total = header ? usb::BosTotalLength(*header) : std::nullopt;
  return total ? probe.GetDescriptor(usb::BOS_TYPE, 0, *total) : std::nullopt;
}

// The Microsoft OS 2.0 descriptor set, when the device has one.
std::optional<Buffer> ReadMsOs20Set(Probe &probe) {
  const auto bos = ReadBos(probe);
  const auto location = bos ? usb::FindMsOs20Set(*bos) : std::nullopt;
  if (!location) {
    return std::nullopt;
  }
  return probe.ControlIn({usb::VENDOR_DEVICE_IN, location->vendorCode, 0, usb::MS_OS_20_SET_INDEX,
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

std::vector<OwnedProperty> Owned(const std::vector<usb::RegistryProperty> &properties) {
  std::vector<OwnedProperty> owned;
  owned.reserve(properties.size());
  for (const usb::RegistryProperty &property : properties) {
    owned.push_back({property.type, Buffer(property.name.begin(), property.name.end()),
                     Buffer(property.data.begin(), property.data.end())});
  }
  return owned;
}

ExplainedFunction Explained(const usb::FunctionProperties &function, const usb::GuidText &guid) {
  return {function.firstInterface, Owned(function.properties),
          usb::DeclaresInterfaceGuid(function.properties, guid)};
}

struct MsOs10Reading {
  bool osString = false;
  std::vector<ExplainedFunction> functions;
  std::optional<std::uint8_t> match;
};

// The device's functions by their Microsoft OS 1.0 extended properties, up
// to the first that declares the class, or all of them.
MsOs10Reading ReadMsOs10(Probe &probe, const usb::GuidText &guid,
                         const std::set<std::uint8_t> &interfaces, bool everyFunction) {
  MsOs10Reading reading;
  const auto osString = probe.GetDescriptor(usb::STRING_TYPE, usb::OS_STRING_INDEX, 0x12);
  const auto vendorCode = osString ? usb::MsOs10VendorCode(*osString) : std::nullopt;
  if (!vendorCode) {
    return reading;
  }
  reading.osString = true;
  for (const std::uint8_t first : MsOs10Functions(probe, *vendorCode, interfaces)) {
    const auto properties = ReadWhole(
        probe,
        [&vendorCode, first](std::uint16_t length) {
          return usb::ExtendedPropertiesRequest(*vendorCode, first, length);
        },
        usb::EXTENDED_PROPERTIES_HEADER_LENGTH, usb::ExtendedPropertiesLength);
    const usb::FunctionProperties function{first, properties
                                                      ? usb::ParseExtendedProperties(*properties)
                                                      : std::vector<usb::RegistryProperty>{}};
    reading.functions.push_back(Explained(function, guid));
    if (reading.functions.back().declaresClass && !reading.match) {
      reading.match = first;
      if (!everyFunction) {
        break;
      }
    }
  }
  return reading;
}

// A hub is never one, and its control endpoint serves the whole tree behind
// it: it is left alone, never even opened.
bool IsHub(const DeviceRecord &record) {
  const auto fields = usb::ParseDeviceDescriptor(record.deviceDescriptor);
  return fields && fields->deviceClass == usb::HUB_CLASS;
}

std::string Because(const ExplainedDevice &device) {
  const char *where = device.route == Route::MsOs20 ? "its Microsoft OS 2.0 set"
                                                    : "its Microsoft OS 1.0 extended properties";
  std::string reason =
      device.match ? std::string(where) + " declare" + (device.route == Route::MsOs20 ? "s" : "") +
                         " the class for the function at interface " + std::to_string(*device.match)
      : device.route == Route::None
          ? std::string("it has no Microsoft OS 2.0 set and no Microsoft OS 1.0 string")
          : std::string(where) + " declare" + (device.route == Route::MsOs20 ? "s" : "") +
                " the class for none of its functions";
  const bool cutShort =
      std::any_of(device.exchanges.begin(), device.exchanges.end(), [](const Exchange &exchange) {
        return exchange.answer.outcome == Outcome::TimedOut ||
               exchange.answer.outcome == Outcome::NotAsked;
      });
  if (cutShort && !device.match) {
    reason += " (a request went unanswered in time, which ended its turn)";
  }
  return reason;
}

} // namespace

ExplainedDevice ExplainDevice(DeviceRecord record, ControlTransport *transport,
                              const usb::GuidText &guid, Depth depth) {
  ExplainedDevice explained;
  explained.record = std::move(record);
  explained.hub = IsHub(explained.record);
  if (explained.hub) {
    explained.reason = "a hub: not asked anything";
    return explained;
  }
  if (transport == nullptr) {
    explained.reason = "it cannot be opened: " + explained.record.openError;
    return explained;
  }
  explained.opened = true;
  Probe probe(*transport, explained.exchanges);
  const ActiveConfiguration active = ActiveConfigurationOf(explained.record);
  const auto fields = usb::ParseDeviceDescriptor(explained.record.deviceDescriptor);
  const std::uint16_t bcdUsb = fields ? fields->bcdUsb : 0;
  const bool everyFunction = depth == Depth::Report;
  std::optional<Buffer> set;
  if (bcdUsb >= usb::BOS_BCD_USB) {
    set = ReadMsOs20Set(probe);
  }
  if (set) {
    std::vector<usb::FunctionProperties> functions =
        usb::MsOs20Functions(*set, active.index, *active.interfaces.begin());
    // A function of an interface the configuration lacks is no function.
    std::erase_if(functions, [&active](const usb::FunctionProperties &function) {
      return active.interfaces.count(function.firstInterface) == 0;
    });
    explained.route = Route::MsOs20;
    explained.match = usb::FirstFunctionDeclaring(functions, guid);
    for (const usb::FunctionProperties &function : functions) {
      explained.functions.push_back(Explained(function, guid));
    }
    if (everyFunction) {
      (void)ReadMsOs10(probe, guid, active.interfaces, true);
    }
  } else {
    MsOs10Reading reading = ReadMsOs10(probe, guid, active.interfaces, everyFunction);
    explained.route = reading.osString ? Route::MsOs10 : Route::None;
    explained.functions = std::move(reading.functions);
    explained.match = reading.match;
    if (everyFunction && bcdUsb < usb::BOS_BCD_USB) {
      (void)ReadBos(probe);
    }
  }
  explained.reason = Because(explained);
  return explained;
}

ExplainedDevice ExplainPresentDevice(libusb_device *device, const usb::GuidText &guid,
                                     Depth depth) {
  DeviceRecord record = RecordOf(device);
  if (IsHub(record)) {
    return ExplainDevice(std::move(record), nullptr, guid, depth);
  }
  libusb_device_handle *raw = nullptr;
  const int opened = libusb_open(device, &raw);
  if (opened != LIBUSB_SUCCESS) {
    record.openError =
        std::string(libusb_strerror(opened)) + " (" + libusb_error_name(opened) + ")";
    return ExplainDevice(std::move(record), nullptr, guid, depth);
  }
  const DeviceHandlePtr handle(raw);
  LiveTransport transport(handle.get());
  return ExplainDevice(std::move(record), &transport, guid, depth);
}

ExplainedDevice ExplainRecordedDevice(const DeviceRecord &record,
                                      const std::vector<Exchange> &answers,
                                      const usb::GuidText &guid) {
  RecordedTransport transport(answers);
  return ExplainDevice(record, record.openError.empty() ? &transport : nullptr, guid,
                       Depth::Report);
}

usb::GuidText GuidTextOf(const GUID &guid) {
  char text[37];
  (void)std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                      guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                      guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                      guid.Data4[7]);
  return usb::GuidText{text};
}

std::string NodePath(const DeviceRecord &record) {
  char path[32];
  (void)std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", record.bus, record.address);
  return path;
}

InterfaceLookup::InterfaceLookup(libusb_context *context, const GUID &interfaceClass)
    : devices_(OrderedDevices(context)), guid_(GuidTextOf(interfaceClass)) {}

std::optional<std::string> InterfaceLookup::Next() {
  while (next_ < devices_.ordered.size()) {
    const ExplainedDevice device =
        ExplainPresentDevice(devices_.ordered[next_++], guid_, Depth::Lookup);
    if (device.match) {
      return FunctionPathText({NodePath(device.record), *device.match});
    }
  }
  return std::nullopt;
}

} // namespace pelmora::linux_platform
