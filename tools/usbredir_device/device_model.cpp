#include "device_model.h"

#include <algorithm>
#include <charconv>

namespace usbredir_device {
namespace {

constexpr std::uint8_t DESCRIPTOR_DEVICE = 1;
constexpr std::uint8_t DESCRIPTOR_CONFIGURATION = 2;
constexpr std::uint8_t DESCRIPTOR_STRING = 3;
constexpr std::uint8_t DESCRIPTOR_BOS = 15;
constexpr std::uint8_t MS_OS_10_STRING_INDEX = 0xEE;
constexpr std::uint16_t MS_OS_20_DESCRIPTOR_INDEX = 7;
constexpr std::uint16_t MS_OS_10_COMPATIBLE_ID_INDEX = 4;
constexpr std::uint16_t MS_OS_10_PROPERTIES_INDEX = 5;
constexpr std::uint32_t REG_SZ = 1;
constexpr std::uint32_t REG_MULTI_SZ = 7;
constexpr std::uint32_t WINDOWS_8_1 = 0x06030000;

void Put16(Bytes &out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void Put32(Bytes &out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value));
  Put16(out, static_cast<std::uint16_t>(value >> 16));
}

void Set16(Bytes &out, std::size_t at, std::size_t value) {
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

void Set32(Bytes &out, std::size_t at, std::size_t value) {
  Set16(out, at, value & 0xFFFF);
  Set16(out, at + 2, value >> 16);
}

// ASCII text as UTF-16LE, with `terminators` wide NULs after it.
Bytes Utf16(std::string_view text, int terminators) {
  Bytes out;
  for (const char c : text) {
    Put16(out, static_cast<std::uint8_t>(c));
  }
  for (int i = 0; i < terminators; ++i) {
    Put16(out, 0);
  }
  return out;
}

void Append(Bytes &out, const Bytes &more) { out.insert(out.end(), more.begin(), more.end()); }

void AppendText(Bytes &out, std::string_view text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
  }
}

Bytes CutTo(Bytes data, std::uint16_t length) {
  if (data.size() > length) {
    data.resize(length);
  }
  return data;
}

bool ParseNumber(std::string_view text, std::uint32_t &value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

} // namespace

DeviceModel::DeviceModel(DeviceOptions options) : options_(std::move(options)) {}

std::uint16_t DeviceModel::BcdUsb() const {
  // The kernel reads the BOS only from devices that claim 2.01 or later.
  return options_.descriptors == Descriptors::MsOs20 ? 0x0210 : 0x0200;
}

Bytes DeviceModel::DeviceDescriptor() const {
  Bytes out{18, DESCRIPTOR_DEVICE};
  Put16(out, BcdUsb());
  out.insert(out.end(), {0x00, 0x00, 0x00, 64}); // class per interface; ep0 of 64
  Put16(out, VENDOR_ID);
  Put16(out, PRODUCT_ID);
  Put16(out, 0x0100);
  out.insert(out.end(), {1, 2, 3, 1}); // strings; one configuration
  return out;
}

Bytes DeviceModel::ConfigurationDescriptor() const {
  Bytes out{9, DESCRIPTOR_CONFIGURATION, 0, 0, 1, 1, 0, 0x80, 50};
  out.insert(out.end(), {9, 4, 0, 0, 3, 0xFF, 0x00, 0x00, 0});
  const auto endpoint = [&out](std::uint8_t address, std::uint8_t type, std::uint16_t size,
                               std::uint8_t interval) {
    out.insert(out.end(), {7, 5, address, type});
    Put16(out, size);
    out.push_back(interval);
  };
  endpoint(BULK_OUT_ENDPOINT, 0x02, BULK_MAX_PACKET, 0);
  endpoint(BULK_IN_ENDPOINT, 0x02, BULK_MAX_PACKET, 0);
  endpoint(INTERRUPT_IN_ENDPOINT, 0x03, INTERRUPT_MAX_PACKET, 4);
  Set16(out, 2, out.size());
  return out;
}

Bytes DeviceModel::MsOs20DescriptorSet() const {
  Bytes out;
  Put16(out, 10); // set header
  Put16(out, 0x0000);
  Put32(out, WINDOWS_8_1);
  Put16(out, 0); // total length, set below

  Put16(out, 20); // compatible ID: WinUSB
  Put16(out, 0x0003);
  AppendText(out, "WINUSB", 8);
  AppendText(out, "", 8);

  const Bytes name = Utf16("DeviceInterfaceGUIDs", 1);
  const Bytes value = Utf16(options_.interfaceClass, 2);
  Put16(out, static_cast<std::uint16_t>(10 + name.size() + value.size()));
  Put16(out, 0x0004); // registry property
  Put16(out, REG_MULTI_SZ);
  Put16(out, static_cast<std::uint16_t>(name.size()));
  Append(out, name);
  Put16(out, static_cast<std::uint16_t>(value.size()));
  Append(out, value);

  Set16(out, 8, out.size());
  return out;
}

Bytes DeviceModel::BosDescriptor() const {
  Bytes out{5, DESCRIPTOR_BOS, 0, 0, 2};
  out.insert(out.end(), {7, 0x10, 0x02, 0, 0, 0, 0}); // USB 2.0 extension, no LPM
  out.insert(out.end(), {28, 0x10, 0x05, 0});         // platform capability
  // {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} in its stored byte order.
  out.insert(out.end(), {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D,
                         0x9E, 0x64, 0x8A, 0x9F});
  Put32(out, WINDOWS_8_1);
  Put16(out, static_cast<std::uint16_t>(MsOs20DescriptorSet().size()));
  out.push_back(MS_VENDOR_CODE);
  out.push_back(0); // no alternate enumeration
  Set16(out, 2, out.size());
  return out;
}

Bytes DeviceModel::MsOs10CompatibleId() const {
  Bytes out;
  Put32(out, 40);
  Put16(out, 0x0100);
  Put16(out, MS_OS_10_COMPATIBLE_ID_INDEX);
  out.push_back(1);
  AppendText(out, "", 7);
  out.insert(out.end(), {0, 1}); // interface 0
  AppendText(out, "WINUSB", 8);
  AppendText(out, "", 8);
  AppendText(out, "", 6);
  return out;
}

Bytes DeviceModel::MsOs10ExtendedProperties() const {
  // One REG_SZ DeviceInterfaceGUID, the other form the lookup accepts.
  const Bytes name = Utf16("DeviceInterfaceGUID", 1);
  const Bytes value = Utf16(options_.interfaceClass, 1);
  Bytes out;
  Put32(out, 0); // total length, set below
  Put16(out, 0x0100);
  Put16(out, MS_OS_10_PROPERTIES_INDEX);
  Put16(out, 1);
  Put32(out, static_cast<std::uint32_t>(14 + name.size() + value.size()));
  Put32(out, REG_SZ);
  Put16(out, static_cast<std::uint16_t>(name.size()));
  Append(out, name);
  Put32(out, static_cast<std::uint32_t>(value.size()));
  Append(out, value);
  Set32(out, 0, out.size());
  return out;
}

std::optional<Bytes> DeviceModel::StringDescriptor(std::uint8_t index) const {
  const auto text = [](std::string_view s) {
    Bytes out{0, DESCRIPTOR_STRING};
    Append(out, Utf16(s, 0));
    out[0] = static_cast<std::uint8_t>(out.size());
    return out;
  };
  switch (index) {
  case 0:
    return Bytes{4, DESCRIPTOR_STRING, 0x09, 0x04};
  case 1:
    return text("pelmora");
  case 2:
    return text("pelmora loopback test device");
  case 3:
    return text("E2E-0001");
  case MS_OS_10_STRING_INDEX:
    if (options_.descriptors == Descriptors::MsOs10) {
      Bytes out = text("MSFT100");
      out.push_back(MS_VENDOR_CODE);
      out.push_back(0);
      out[0] = static_cast<std::uint8_t>(out.size());
      return out;
    }
    return std::nullopt;
  default:
    return std::nullopt;
  }
}

ControlResult DeviceModel::Control(const ControlSetup &setup,
                                   std::span<const std::uint8_t> outData) const {
  (void)outData; // no request here carries data the device keeps
  const ControlResult stall{Status::Stall, {}};
  const auto reply = [&setup](Bytes data) {
    return ControlResult{Status::Success, CutTo(std::move(data), setup.length)};
  };
  const std::uint8_t type = setup.requestType;

  if (type == 0xC0 || type == 0xC1) {
    if (setup.request != MS_VENDOR_CODE) {
      return stall;
    }
    if (options_.descriptors == Descriptors::MsOs20) {
      return type == 0xC0 && setup.index == MS_OS_20_DESCRIPTOR_INDEX ? reply(MsOs20DescriptorSet())
                                                                      : stall;
    }
    if (type == 0xC0 && setup.index == MS_OS_10_COMPATIBLE_ID_INDEX) {
      return reply(MsOs10CompatibleId());
    }
    return setup.index == MS_OS_10_PROPERTIES_INDEX ? reply(MsOs10ExtendedProperties()) : stall;
  }

  switch (setup.request) {
  case 0: // GET_STATUS
    return (type & 0x80) && (type & 0x7F) <= 2 ? reply(Bytes{0, 0}) : stall;
  case 1:  // CLEAR_FEATURE
  case 3:  // SET_FEATURE
  case 9:  // SET_CONFIGURATION
  case 11: // SET_INTERFACE
    return (type & 0x80) == 0 && (type & 0x60) == 0 ? ControlResult{Status::Success, {}} : stall;
  case 8: // GET_CONFIGURATION
    return type == 0x80 ? reply(Bytes{1}) : stall;
  case 10: // GET_INTERFACE
    return type == 0x81 && setup.index == 0 ? reply(Bytes{0}) : stall;
  case 6: // GET_DESCRIPTOR
    break;
  default:
    return stall;
  }
  if (type != 0x80) {
    return stall;
  }
  const auto descriptorType = static_cast<std::uint8_t>(setup.value >> 8);
  const auto descriptorIndex = static_cast<std::uint8_t>(setup.value);
  switch (descriptorType) {
  case DESCRIPTOR_DEVICE:
    return reply(DeviceDescriptor());
  case DESCRIPTOR_CONFIGURATION:
    return descriptorIndex == 0 ? reply(ConfigurationDescriptor()) : stall;
  case DESCRIPTOR_STRING:
    if (auto text = StringDescriptor(descriptorIndex)) {
      return reply(std::move(*text));
    }
    return stall;
  case DESCRIPTOR_BOS:
    return options_.descriptors == Descriptors::MsOs20 ? reply(BosDescriptor()) : stall;
  default:
    return stall;
  }
}

Status DeviceModel::BulkOut(std::span<const std::uint8_t> data) {
  if (options_.stallOut) {
    return Status::Stall;
  }
  queue_.insert(queue_.end(), data.begin(), data.end());
  return Status::Success;
}

std::optional<InResult> DeviceModel::BulkIn(std::uint32_t requested) {
  if (queue_.empty() || requested == 0) {
    return std::nullopt;
  }
  const std::size_t packet = options_.inPacketLimit == 0
                                 ? BULK_MAX_PACKET
                                 : std::min<std::size_t>(options_.inPacketLimit, BULK_MAX_PACKET);
  std::size_t sent = 0; // bytes the device put on the bus
  Status status = Status::Success;
  while (sent < requested && sent < queue_.size()) {
    const std::size_t size = std::min(packet, queue_.size() - sent);
    sent += size;
    if (sent > requested) {
      status = Status::Babble; // the packet overran the host's buffer
      break;
    }
    if (size < BULK_MAX_PACKET) {
      break; // a short packet ends the transfer
    }
  }
  const std::size_t kept = std::min<std::size_t>(sent, requested);
  InResult result{status,
                  Bytes(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(kept))};
  queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(sent));
  delivered_ += kept;
  return result;
}

std::optional<DeviceOptions> ParseOptions(std::span<const std::string> arguments,
                                          std::string &error) {
  DeviceOptions options;
  for (const std::string &argument : arguments) {
    const std::string_view a = argument;
    if (a == "--descriptors=ms-os-2.0") {
      options.descriptors = Descriptors::MsOs20;
    } else if (a == "--descriptors=ms-os-1.0") {
      options.descriptors = Descriptors::MsOs10;
    } else if (a.starts_with("--interface-class=") && a.size() > 18 && a.size() < 200) {
      options.interfaceClass = std::string(a.substr(18));
    } else if (a == "--stall-out") {
      options.stallOut = true;
    } else if (a == "--disconnect-when-drained") {
      options.disconnectWhenDrained = true;
    } else if (a.starts_with("--in-packet=")) {
      if (!ParseNumber(a.substr(12), options.inPacketLimit) || options.inPacketLimit == 0) {
        error = "bad packet size in " + argument;
        return std::nullopt;
      }
    } else {
      error = "unknown option " + argument;
      return std::nullopt;
    }
  }
  return options;
}

} // namespace usbredir_device
