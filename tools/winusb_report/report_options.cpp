// SPDX-License-Identifier: MIT
#include "report_options.h"

#include <cstdlib>
#include <string_view>

namespace pelmora::report {

const char USAGE[] =
    "usage: pelmora-winusb-report [--device BUS:ADDRESS | --device VID:PID] [--json] [--save "
    "FILE]\n"
    "       pelmora-winusb-report --from FILE [--json]\n"
    "Says what Windows will make of each USB device present and which one\n"
    "pelmora-winusb-test would use, and why.\n"
    "  --device BUS:ADDRESS   only the device at this bus number and address (decimal)\n"
    "  --device VID:PID       only devices with these vendor and product ids (hexadecimal)\n"
    "  --json                 write the report as JSON\n"
    "  --save FILE            also write every descriptor and answer read to FILE (a dump)\n"
    "  --from FILE            report on the devices of a dump instead of those present\n"
    "Exit status: 0 when pelmora-winusb-test would find a device, 1 when it would find\n"
    "none, 2 for a usage error or a dump that cannot be read.\n";

namespace {

std::optional<unsigned long> Number(std::string_view text, int base, std::size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) {
    return std::nullopt;
  }
  const std::string owned(text);
  char *end = nullptr;
  const unsigned long value = std::strtoul(owned.c_str(), &end, base);
  if (*end != '\0' || owned.find_first_of("+- ") != std::string::npos) {
    return std::nullopt;
  }
  return value;
}

std::optional<DeviceSelector> Selector(std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view left = text.substr(0, colon);
  const std::string_view right = text.substr(colon + 1);
  if (left.size() == 4 && right.size() == 4) {
    const auto vendor = Number(left, 16, 4);
    const auto product = Number(right, 16, 4);
    if (vendor && product) {
      return DeviceSelector{true, static_cast<std::uint16_t>(*vendor),
                            static_cast<std::uint16_t>(*product)};
    }
    return std::nullopt;
  }
  const auto bus = Number(left, 10, 3);
  const auto address = Number(right, 10, 3);
  if (!bus || !address || *bus > 255 || *address > 255) {
    return std::nullopt;
  }
  return DeviceSelector{false, static_cast<std::uint16_t>(*bus),
                        static_cast<std::uint16_t>(*address)};
}

} // namespace

std::optional<Options> ParseOptions(int argc, char *const argv[], std::string &problem) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (option == "--json") {
      options.json = true;
    } else if (option == "--help" || option == "-h") {
      options.help = true;
    } else if (option == "--device" || option == "--save" || option == "--from") {
      if (value == nullptr || *value == '\0') {
        problem = std::string(option) + " needs a value";
        return std::nullopt;
      }
      ++i;
      if (option == "--device") {
        options.device = Selector(value);
        if (!options.device) {
          problem = "--device takes BUS:ADDRESS (decimal) or VID:PID (four hexadecimal digits "
                    "each), not '" +
                    std::string(value) + "'";
          return std::nullopt;
        }
      } else {
        (option == "--save" ? options.save : options.from) = value;
      }
    } else {
      problem = "unknown option '" + std::string(option) + "'";
      return std::nullopt;
    }
  }
  if (!options.from.empty() && (options.device || !options.save.empty())) {
    problem = "--from reads a dump: it takes no --device or --save";
    return std::nullopt;
  }
  return options;
}

} // namespace pelmora::report
