// SPDX-License-Identifier: MIT
#include "report_json.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "configuration_descriptor.h"

namespace pelmora::report {

namespace {

using json = nlohmann::ordered_json;

std::string Hex4(unsigned value) {
  char text[8];
  (void)std::snprintf(text, sizeof text, "%04X", value);
  return text;
}

json Optional(const std::optional<std::uint8_t> &value) {
  return value ? json(*value) : json(nullptr);
}

const char *DriverName(Driver driver) {
  switch (driver) {
  case Driver::WinUsb:
    return "winusb";
  case Driver::ClassDriver:
    return "class";
  case Driver::None:
    break;
  }
  return "none";
}

const char *SourceName(DescriptorSource source) {
  switch (source) {
  case DescriptorSource::MsOs20:
    return "ms-os-2.0";
  case DescriptorSource::MsOs10:
    return "ms-os-1.0";
  case DescriptorSource::None:
    break;
  }
  return "none";
}

json WindowsJson(const WindowsView &windows) {
  json functions = json::array();
  for (const WindowsFunction &function : windows.functions) {
    json entry = {{"first_interface", function.firstInterface},
                  {"interfaces", function.interfaces},
                  {"driver", DriverName(function.driver)}};
    if (function.driver == Driver::ClassDriver) {
      entry["class_driver"] = function.classDriver;
    }
    entry["compatible_id"] = function.compatibleId;
    entry["device_interface_guids"] = function.interfaceGuids;
    functions.push_back(entry);
  }
  return {{"composite", windows.composite},
          {"descriptors", SourceName(windows.descriptors)},
          {"functions", functions}};
}

json ProgramJson(const ProgramView &program) {
  if (!program.interface) {
    return {{"match", false}, {"interface", nullptr}, {"path", nullptr}, {"pipes", nullptr}};
  }
  return {{"match", true},
          {"interface", *program.interface},
          {"path", program.path},
          {"pipes",
           {{"bulk_out", Optional(program.pipes.bulkOut)},
            {"bulk_in", Optional(program.pipes.bulkIn)},
            {"interrupt", Optional(program.pipes.interrupt)}}}};
}

json DeviceJson(const DeviceReport &entry) {
  const linux_platform::ExplainedDevice &device = entry.device;
  const auto fields = usb::ParseDeviceDescriptor(device.record.deviceDescriptor);
  json result = {{"bus", device.record.bus},
                 {"address", device.record.address},
                 {"port_path", linux_platform::PortPathText(device.record)},
                 {"vendor_id", fields ? json(Hex4(fields->vendorId)) : json(nullptr)},
                 {"product_id", fields ? json(Hex4(fields->productId)) : json(nullptr)},
                 {"bcd_usb", fields ? json(Hex4(fields->bcdUsb)) : json(nullptr)},
                 {"bcd_device", fields ? json(Hex4(fields->bcdDevice)) : json(nullptr)},
                 {"read", device.opened}};
  if (!device.opened) {
    result["read_error"] = device.reason;
  }
  result["windows"] = WindowsJson(entry.windows);
  result["program"] = ProgramJson(entry.program);
  json problems = json::array();
  for (const Problem &problem : entry.problems) {
    problems.push_back({{"severity", SeverityName(problem.severity)},
                        {"rule", problem.rule},
                        {"text", problem.text},
                        {"fix", problem.fix}});
  }
  result["problems"] = problems;
  return result;
}

} // namespace

std::string ReportJson(const Report &report) {
  json devices = json::array();
  for (const DeviceReport &entry : report.devices) {
    devices.push_back(DeviceJson(entry));
  }
  json pick = nullptr;
  if (report.pick) {
    const DeviceReport &entry = report.devices[*report.pick];
    pick = {{"bus", entry.device.record.bus},
            {"address", entry.device.record.address},
            {"interface", *entry.program.interface},
            {"path", entry.program.path}};
  }
  const json result = {{"format", REPORT_FORMAT},
                       {"guid", "{" + report.guid.text + "}"},
                       {"devices", devices},
                       {"pick", pick}};
  // Texts carry what devices sent; bytes that are not UTF-8 are replaced.
  return result.dump(1, ' ', false, json::error_handler_t::replace) + "\n";
}

} // namespace pelmora::report
