// SPDX-License-Identifier: MIT
#include "device_options.h"

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace pelmora::emulated {

const char DEVICE_OPTIONS_HELP[] =
    "  --ms-os-1              declare the interface class in Microsoft OS 1.0 descriptors\n"
    "  --guid TEXT            declare this interface class GUID instead\n"
    "  --composite            a CDC-ACM-like function at interfaces 0 and 1 before the\n"
    "                         loopback, which is then interface 2\n"
    "  --full-speed           a full-speed device (64-byte bulk packets)\n"
    "  --in-packet BYTES      send IN data in packets of at most BYTES\n"
    "  --out-take BYTES       take at most BYTES per OUT transfer\n"
    "  --stall N              stall the Nth pipe transfer\n"
    "  --disconnect-after N   unplug after N pipe transfers\n"
    "  --stall-when-empty     stall an IN transfer that finds nothing to send, instead of\n"
    "                         waiting for data as a real device would\n"
    "  --random-seed N        with N > 0, randomly shorten some OUT completions and IN packets\n"
    "  --out-of-order         list interface 1 and alternate setting 1 before interface 0's\n"
    "                         setting 0 in the configuration\n"
    "  --filler BYTES         add a property of BYTES bytes after the class property, so the\n"
    "                         descriptor set can run past 4096 bytes\n"
    "  --overstated-lengths   descriptor headers claim the largest length they can hold\n"
    "  --changing-bos         every BOS read after the first reports a total length of 0\n"
    "  --silent-control       never answer a control request\n"
    "  --control-delay MS     answer every control request MS milliseconds late\n";

const char QUEUE_LIMIT_HELP[] =
    "  --queue-limit BYTES    hold at most BYTES sent to bulk OUT until bulk IN takes them back\n"
    "                         (default 16 MiB); while the queue is full, OUT waits. The program\n"
    "                         sends all its input before it reads, so a round trip longer than\n"
    "                         this waits on its write for ever: pass a larger limit for it\n";

const char LOG_LIMIT_HELP[] =
    "  --log-limit BYTES      stop the log at BYTES (default 64 MiB), with a last line saying so\n";

namespace {

// Longer texts would not fit the descriptors' 16-bit lengths.
constexpr std::size_t LONGEST_GUID_TEXT = 200;
constexpr std::uint32_t LONGEST_FILLER = 60000;
constexpr std::uint32_t SMALLEST_QUEUE = 1024;

std::optional<std::uint32_t> Number(const char *text) {
  if (text == nullptr || *text < '0' || *text > '9') {
    return std::nullopt;
  }
  char *end = nullptr;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (*end != '\0' || value > UINT32_MAX) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

} // namespace

DeviceOption ApplyDeviceOption(int argc, char *const argv[], int &index, DeviceSpec &spec,
                               Faults &faults, std::string &problem) {
  const std::string_view option = argv[index];
  const char *value = index + 1 < argc ? argv[index + 1] : nullptr;

  if (option == "--ms-os-1") {
    spec.osDescriptors = OsDescriptors::MsOs10;
  } else if (option == "--composite") {
    spec.composite = true;
  } else if (option == "--full-speed") {
    spec.speed = Speed::Full;
    spec.bulkPacketSize = 64;
  } else if (option == "--stall-when-empty") {
    faults.stallWhenEmpty = true;
  } else if (option == "--out-of-order") {
    spec.interfacesOutOfOrder = true;
  } else if (option == "--overstated-lengths") {
    spec.overstatedLengths = true;
  } else if (option == "--changing-bos") {
    faults.bosChangesAfterFirstRead = true;
  } else if (option == "--silent-control") {
    faults.silentControl = true;
  } else if (option == "--guid") {
    if (value == nullptr) {
      problem = "--guid needs a value";
      return DeviceOption::Invalid;
    }
    spec.interfaceGuid = value;
    ++index;
  } else {
    std::uint32_t *number = option == "--in-packet"          ? &faults.inPacketSize
                            : option == "--out-take"         ? &faults.outTakeLimit
                            : option == "--stall"            ? &faults.stallTransfer
                            : option == "--disconnect-after" ? &faults.disconnectAfter
                            : option == "--random-seed"      ? &faults.randomSeed
                            : option == "--filler"           ? &spec.fillerLength
                            : option == "--control-delay"    ? &faults.controlDelayMs
                            : option == "--queue-limit"      ? &spec.queueLimit
                            : option == "--log-limit"        ? &spec.logLimit
                                                             : nullptr;
    if (number == nullptr) {
      problem = "unknown option '" + std::string(option) + "'";
      return DeviceOption::NotOurs;
    }
    const std::optional<std::uint32_t> parsed = Number(value);
    if (!parsed) {
      problem = std::string(option) + " needs a number from 0 to 4294967295, not '" +
                (value != nullptr ? value : "") + "'";
      return DeviceOption::Invalid;
    }
    *number = *parsed;
    ++index;
  }
  return DeviceOption::Applied;
}

std::string CheckDeviceOptions(const DeviceSpec &spec, const Faults &faults) {
  if (faults.outTakeLimit == 0) {
    return "--out-take needs at least 1 byte, or no write would ever finish";
  }
  if (spec.composite && spec.interfacesOutOfOrder) {
    return "--composite and --out-of-order cannot be combined: both use interface 1";
  }
  if (spec.queueLimit < SMALLEST_QUEUE) {
    return "--queue-limit needs at least " + std::to_string(SMALLEST_QUEUE) +
           " bytes, a bulk packet at any speed";
  }
  if (spec.fillerLength > LONGEST_FILLER) {
    return "--filler takes at most " + std::to_string(LONGEST_FILLER) + " bytes";
  }
  if (spec.interfaceGuid.size() > LONGEST_GUID_TEXT) {
    return "--guid takes at most " + std::to_string(LONGEST_GUID_TEXT) + " characters";
  }
  return {};
}

} // namespace pelmora::emulated
