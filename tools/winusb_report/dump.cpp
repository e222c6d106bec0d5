// SPDX-License-Identifier: MIT
#include "dump.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace pelmora::report {

namespace {

using json = nlohmann::ordered_json;
using linux_platform::Answer;
using linux_platform::Buffer;
using linux_platform::Exchange;
using linux_platform::Outcome;

constexpr std::size_t SETUP_LENGTH = 8;

struct Failure {
  Outcome outcome;
  const char *name;
};
constexpr Failure FAILURES[] = {{Outcome::Stalled, "stall"},
                                {Outcome::TimedOut, "timeout"},
                                {Outcome::Failed, "error"},
                                {Outcome::NotAsked, "not asked"}};

std::string HexText(const Buffer &bytes) {
  std::string text;
  for (const std::uint8_t byte : bytes) {
    char pair[4];
    (void)std::snprintf(pair, sizeof pair, text.empty() ? "%02X" : " %02X", byte);
    text += pair;
  }
  return text;
}

Buffer SetupBytes(const usb::ControlRequest &r) {
  const auto low = [](unsigned v) { return static_cast<std::uint8_t>(v & 0xFF); };
  const auto high = [](unsigned v) { return static_cast<std::uint8_t>(v >> 8); };
  return {r.requestType, r.request,     low(r.value),  high(r.value),
          low(r.index),  high(r.index), low(r.length), high(r.length)};
}

// A problem found at a place in the dump.
struct Unreadable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

Buffer ParseHex(const json &value, const std::string &place) {
  if (!value.is_string()) {
    throw Unreadable(place + ": not a string of hexadecimal bytes");
  }
  const std::string &text = value.get_ref<const std::string &>();
  Buffer bytes;
  int high = -1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\n' || c == '\t') {
      if (high >= 0) {
        throw Unreadable(place + ": character " + std::to_string(i + 1) + ": half a byte");
      }
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) {
      throw Unreadable(place + ": character " + std::to_string(i + 1) + ": '" + std::string(1, c) +
                       "' is not a hexadecimal digit");
    }
    if (high < 0) {
      high = digit;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(high << 4 | digit));
      high = -1;
    }
  }
  if (high >= 0) {
    throw Unreadable(place + ": ends with half a byte");
  }
  return bytes;
}

std::uint8_t Byte(const json &object, const char *key, const std::string &place) {
  const auto found = object.find(key);
  if (found == object.end()) {
    throw Unreadable(place + ": \"" + key + "\" is missing");
  }
  if (!found->is_number_unsigned() || found->get<std::uint64_t>() > 255) {
    throw Unreadable(place + "." + key + ": not a number from 0 to 255");
  }
  return static_cast<std::uint8_t>(found->get<std::uint64_t>());
}

std::vector<std::uint8_t> Ports(const std::string &text, std::uint8_t bus,
                                const std::string &place) {
  std::vector<std::uint8_t> ports;
  if (text == std::to_string(bus)) {
    return ports; // a root hub
  }
  const std::size_t dash = text.find('-');
  if (dash == std::string::npos || text.substr(0, dash) != std::to_string(bus)) {
    throw Unreadable(place + ": \"" + text +
                     "\" is not BUS (a root hub) or BUS-PORT.PORT... on bus " +
                     std::to_string(bus));
  }
  const std::string badPort =
      place + ": \"" + text + "\" has a port that is not a number from 0 to 255";
  std::size_t start = dash + 1;
  while (start <= text.size()) {
    const std::size_t end = std::min(text.find('.', start), text.size());
    const std::string part = text.substr(start, end - start);
    if (part.empty() || part.size() > 3 ||
        part.find_first_not_of("0123456789") != std::string::npos || std::stoi(part) > 255) {
      throw Unreadable(badPort);
    }
    ports.push_back(static_cast<std::uint8_t>(std::stoi(part)));
    start = end + 1;
  }
  return ports;
}

Exchange ParseRequest(const json &entry, const std::string &place) {
  if (!entry.is_object()) {
    throw Unreadable(place + ": not an object");
  }
  const auto setup = entry.find("setup");
  if (setup == entry.end()) {
    throw Unreadable(place + ": \"setup\" is missing");
  }
  const Buffer bytes = ParseHex(*setup, place + ".setup");
  if (bytes.size() != SETUP_LENGTH) {
    throw Unreadable(place + ".setup: " + std::to_string(bytes.size()) + " bytes, not 8");
  }
  Exchange exchange;
  exchange.request = {bytes[0], bytes[1], static_cast<std::uint16_t>(bytes[2] | bytes[3] << 8),
                      static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8),
                      static_cast<std::uint16_t>(bytes[6] | bytes[7] << 8)};
  const auto answer = entry.find("answer");
  const auto failure = entry.find("failure");
  if ((answer == entry.end()) == (failure == entry.end())) {
    throw Unreadable(place + ": needs either \"answer\" or \"failure\"");
  }
  if (answer != entry.end()) {
    exchange.answer = {Outcome::Answered, ParseHex(*answer, place + ".answer")};
    if (exchange.answer.bytes.size() > exchange.request.length) {
      throw Unreadable(place + ".answer: " + std::to_string(exchange.answer.bytes.size()) +
                       " bytes, more than the " + std::to_string(exchange.request.length) +
                       " asked for");
    }
    return exchange;
  }
  for (const Failure &known : FAILURES) {
    if (failure->is_string() && failure->get_ref<const std::string &>() == known.name) {
      exchange.answer = {known.outcome, {}};
      return exchange;
    }
  }
  throw Unreadable(place + ".failure: not \"stall\", \"timeout\", \"error\" or \"not asked\"");
}

RecordedDevice ParseDevice(const json &entry, const std::string &place) {
  if (!entry.is_object()) {
    throw Unreadable(place + ": not an object");
  }
  RecordedDevice device;
  linux_platform::DeviceRecord &record = device.record;
  record.bus = Byte(entry, "bus", place);
  record.address = Byte(entry, "address", place);
  if (const auto path = entry.find("port_path"); path != entry.end()) {
    if (!path->is_string()) {
      throw Unreadable(place + ".port_path: not a string");
    }
    record.ports = Ports(path->get<std::string>(), record.bus, place + ".port_path");
  }
  const auto descriptor = entry.find("device_descriptor");
  if (descriptor == entry.end()) {
    throw Unreadable(place + ": \"device_descriptor\" is missing");
  }
  record.deviceDescriptor = ParseHex(*descriptor, place + ".device_descriptor");
  if (const auto found = entry.find("configurations"); found != entry.end()) {
    record.configurations = ParseHex(*found, place + ".configurations");
  }
  if (const auto found = entry.find("active_configuration");
      found != entry.end() && !found->is_null()) {
    record.activeConfiguration = Byte(entry, "active_configuration", place);
  }
  if (const auto found = entry.find("open_error"); found != entry.end()) {
    const auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
    if (!found->is_string() || found->get_ref<const std::string &>().empty() ||
        std::any_of(found->get_ref<const std::string &>().begin(),
                    found->get_ref<const std::string &>().end(), isControl)) {
      throw Unreadable(place + ".open_error: not a line of text saying why");
    }
    record.openError = found->get<std::string>();
  }
  if (const auto requests = entry.find("requests"); requests != entry.end()) {
    if (!requests->is_array()) {
      throw Unreadable(place + ".requests: not a list");
    }
    for (std::size_t i = 0; i < requests->size(); ++i) {
      device.exchanges.push_back(
          ParseRequest((*requests)[i], place + ".requests[" + std::to_string(i) + "]"));
    }
  }
  return device;
}

} // namespace

std::string WriteDump(const usb::GuidText &guid,
                      const std::vector<linux_platform::ExplainedDevice> &devices) {
  json dump = {
      {"format", DUMP_FORMAT}, {"guid", "{" + guid.text + "}"}, {"devices", json::array()}};
  for (const linux_platform::ExplainedDevice &device : devices) {
    const linux_platform::DeviceRecord &record = device.record;
    json entry = {{"bus", record.bus},
                  {"address", record.address},
                  {"port_path", linux_platform::PortPathText(record)},
                  {"device_descriptor", HexText(record.deviceDescriptor)},
                  {"configurations", HexText(record.configurations)},
                  {"active_configuration",
                   record.activeConfiguration ? json(*record.activeConfiguration) : json(nullptr)}};
    if (!record.openError.empty()) {
      entry["open_error"] = record.openError;
    }
    json requests = json::array();
    for (const Exchange &exchange : device.exchanges) {
      json request = {{"setup", HexText(SetupBytes(exchange.request))}};
      if (exchange.answer.outcome == Outcome::Answered) {
        request["answer"] = HexText(exchange.answer.bytes);
      }
      for (const Failure &known : FAILURES) {
        if (known.outcome == exchange.answer.outcome) {
          request["failure"] = known.name;
        }
      }
      requests.push_back(request);
    }
    entry["requests"] = requests;
    dump["devices"].push_back(entry);
  }
  return dump.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<std::vector<RecordedDevice>> ReadDump(std::string_view text, std::string &problem) {
  try {
    const json dump = json::parse(text);
    if (!dump.is_object()) {
      throw Unreadable("the top level: not an object");
    }
    const auto format = dump.find("format");
    if (format == dump.end() || !format->is_number_integer()) {
      throw Unreadable("\"format\": missing or not a number");
    }
    if (format->get<std::int64_t>() != DUMP_FORMAT) {
      throw Unreadable("\"format\": version " + format->dump() +
                       " is not one this program reads (" + std::to_string(DUMP_FORMAT) + ")");
    }
    const auto devices = dump.find("devices");
    if (devices == dump.end() || !devices->is_array()) {
      throw Unreadable("\"devices\": missing or not a list");
    }
    std::vector<RecordedDevice> read;
    for (std::size_t i = 0; i < devices->size(); ++i) {
      read.push_back(ParseDevice((*devices)[i], "devices[" + std::to_string(i) + "]"));
    }
    return read;
  } catch (const json::parse_error &error) {
    // "[json.exception.parse_error.101] parse error at line 1, column 28: ..."
    const std::string what = error.what();
    const std::size_t at = what.find(" at ");
    problem = "not JSON: " + (at != std::string::npos ? what.substr(at + 4) : what);
  } catch (const Unreadable &error) {
    problem = error.what();
  } catch (const json::exception &error) {
    problem = error.what();
  }
  return std::nullopt;
}

} // namespace pelmora::report
