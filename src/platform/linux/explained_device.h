// SPDX-License-Identifier: MIT
// What the discovery found out about one device, and why it matched or not:
// the lookup keeps the match, the report command prints all of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ms_os_10_descriptors.h"

namespace pelmora::linux_platform {

using Buffer = std::vector<std::uint8_t>;

// How a control request ended. NotAsked: the device's turn had ended before it.
enum class Outcome { Answered, Stalled, TimedOut, Failed, NotAsked };

struct Answer {
  Outcome outcome = Outcome::NotAsked;
  Buffer bytes; // what arrived, when answered
};

struct Exchange {
  usb::ControlRequest request;
  Answer answer;
};

// What a device shows without being asked anything: its place on the bus
// and the descriptors its host keeps.
struct DeviceRecord {
  std::uint8_t bus = 0;
  std::uint8_t address = 0;
  std::vector<std::uint8_t> ports;
  Buffer deviceDescriptor;
  Buffer configurations; // every configuration descriptor, one after another
  std::optional<std::uint8_t> activeConfiguration; // its bConfigurationValue
  std::string openError;                           // why it could not be opened; empty when it was
};

// Which Microsoft OS descriptors the lookup read the device's functions from.
enum class Route { None, MsOs20, MsOs10 };

struct OwnedProperty {
  std::uint32_t type = 0;
  Buffer name;
  Buffer data;
};

struct ExplainedFunction {
  std::uint8_t firstInterface = 0;
  std::vector<OwnedProperty> properties;
  bool declaresClass = false;
};

struct ExplainedDevice {
  DeviceRecord record;
  bool hub = false;
  bool opened = false;
  std::vector<Exchange> exchanges; // every request, in the order sent
  Route route = Route::None;
  std::vector<ExplainedFunction> functions;
  std::optional<std::uint8_t> match; // the first interface of the matching function
  std::string reason;                // why it matched, or why not
};

// The answer to the last request of this type, wValue and wIndex that was
// answered (the whole read follows its header's); nothing when none was.
const Buffer *AnswerTo(const ExplainedDevice &device, std::uint8_t requestType, std::uint16_t value,
                       std::uint16_t index);

// "B-P.P.P", as sysfs names a device by its bus and port path.
std::string PortPathText(const DeviceRecord &record);

} // namespace pelmora::linux_platform
