// A loopback USB device as seen from the wire: descriptors, the Microsoft OS
// descriptors that name its interface class, a byte queue from bulk OUT to
// bulk IN, and the scripted faults the end-to-end tests need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace usbredir_device {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t BULK_OUT_ENDPOINT = 0x01;
inline constexpr std::uint8_t BULK_IN_ENDPOINT = 0x81;
inline constexpr std::uint8_t INTERRUPT_IN_ENDPOINT = 0x82;
inline constexpr std::uint16_t BULK_MAX_PACKET = 512; // high speed
inline constexpr std::uint16_t INTERRUPT_MAX_PACKET = 8;
inline constexpr std::uint16_t VENDOR_ID = 0x1209;
inline constexpr std::uint16_t PRODUCT_ID = 0x0001;
inline constexpr std::uint8_t MS_VENDOR_CODE = 0x20;

inline constexpr const char *PROGRAM_INTERFACE_CLASS = "{6120D798-D192-4463-B0DE-2B65ED2F4870}";

// How the device names its interface class.
enum class Descriptors {
  MsOs20, // BOS platform capability and descriptor set (bcdUSB 0x0201)
  MsOs10, // string 0xEE and extended properties only (bcdUSB 0x0200, no BOS)
};

struct DeviceOptions {
  Descriptors descriptors = Descriptors::MsOs20;
  std::string interfaceClass = PROGRAM_INTERFACE_CLASS;
  bool stallOut = false;              // every bulk OUT transfer stalls
  bool disconnectWhenDrained = false; // unplug while a read waits after data was read
  std::uint32_t inPacketLimit = 0;    // largest IN packet the device sends; 0: full packets
};

enum class Status { Success, Stall, Babble };

struct ControlSetup {
  std::uint8_t requestType;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
  std::uint16_t length;
};

struct ControlResult {
  Status status;
  Bytes data; // IN data, already cut to the request's length
};

struct InResult {
  Status status;
  Bytes data;
};

class DeviceModel {
public:
  explicit DeviceModel(DeviceOptions options);

  const DeviceOptions &Options() const { return options_; }
  std::uint16_t BcdUsb() const;

  ControlResult Control(const ControlSetup &setup, std::span<const std::uint8_t> outData) const;

  // Bulk OUT: the whole transfer goes into the loopback queue, or it stalls.
  Status BulkOut(std::span<const std::uint8_t> data);

  // Bulk IN asking for `requested` bytes; nothing when the queue is empty (the
  // request then waits). Data goes out in packets; a packet longer than what
  // is left of the request is babble, as on a real bus.
  std::optional<InResult> BulkIn(std::uint32_t requested);

  std::size_t Queued() const { return queue_.size(); }
  std::uint64_t BytesDelivered() const { return delivered_; }

  // Descriptor blobs, public for the unit tests.
  Bytes DeviceDescriptor() const;
  Bytes ConfigurationDescriptor() const;
  Bytes BosDescriptor() const;
  Bytes MsOs20DescriptorSet() const;
  Bytes MsOs10CompatibleId() const;
  Bytes MsOs10ExtendedProperties() const;
  std::optional<Bytes> StringDescriptor(std::uint8_t index) const;

private:
  DeviceOptions options_;
  std::deque<std::uint8_t> queue_;
  std::uint64_t delivered_ = 0;
};

// Parses "--descriptors=ms-os-1.0" style arguments; nullopt and a message on error.
std::optional<DeviceOptions> ParseOptions(std::span<const std::string> arguments,
                                          std::string &error);

} // namespace usbredir_device
