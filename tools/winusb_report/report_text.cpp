// SPDX-License-Identifier: MIT
#include "report_text.h"

#include <cstdio>

#include "configuration_descriptor.h"

namespace pelmora::report {

namespace {

using linux_platform::Exchange;
using linux_platform::Outcome;

template <typename... Numbers> std::string Format(const char *format, Numbers... numbers) {
  char text[64];
  (void)std::snprintf(text, sizeof text, format, static_cast<unsigned>(numbers)...);
  return text;
}

std::string IdsOf(const DeviceReport &entry) {
  const auto fields = usb::ParseDeviceDescriptor(entry.device.record.deviceDescriptor);
  return fields ? Format("%04X:%04X", fields->vendorId, fields->productId) : "????:????";
}

std::string Heading(const DeviceReport &entry) {
  const linux_platform::DeviceRecord &record = entry.device.record;
  std::string text = linux_platform::PortPathText(record) +
                     Format(" (bus %u, address %u): ", record.bus, record.address) + IdsOf(entry);
  if (const auto fields = usb::ParseDeviceDescriptor(record.deviceDescriptor)) {
    text += Format(", bcdUSB 0x%04X, bcdDevice 0x%04X", fields->bcdUsb, fields->bcdDevice);
  } else {
    text += ", no readable device descriptor";
  }
  return text;
}

std::string RequestName(const usb::ControlRequest &r) {
  const unsigned type = r.value >> 8;
  const unsigned index = r.value & 0xFF;
  if (r.requestType == 0x80 && type == 0x0F) {
    return "BOS descriptor";
  }
  if (r.requestType == 0x80 && type == 0x03) {
    return index == 0xEE ? "string 0xEE (Microsoft OS string)" : Format("string %u", index);
  }
  if (r.requestType == 0x80) {
    return Format("descriptor type %u index %u", type, index);
  }
  if (r.requestType == 0xC0 && r.index == 7) {
    return "Microsoft OS 2.0 descriptor set";
  }
  if (r.requestType == 0xC0 && r.index == 4) {
    return "extended compat ID";
  }
  if (r.requestType == 0xC1 && r.index == 5) {
    return Format("extended properties of interface %u", r.value & 0xFF);
  }
  return Format("vendor request, wIndex %u", r.index);
}

std::string OutcomeText(const linux_platform::Answer &answer) {
  switch (answer.outcome) {
  case Outcome::Answered:
    return Format("%u bytes", static_cast<unsigned>(answer.bytes.size()));
  case Outcome::Stalled:
    return "stalled";
  case Outcome::TimedOut:
    return "timed out";
  case Outcome::Failed:
    return "failed";
  case Outcome::NotAsked:
    break;
  }
  return "not asked (the device's turn had ended)";
}

std::string Request(const Exchange &exchange) {
  const usb::ControlRequest &r = exchange.request;
  return Format("    %02X %02X ", r.requestType, r.request) +
         Format("%02X %02X ", r.value & 0xFF, r.value >> 8) +
         Format("%02X %02X ", r.index & 0xFF, r.index >> 8) +
         Format("%02X %02X  ", r.length & 0xFF, r.length >> 8) + RequestName(r) + ": " +
         OutcomeText(exchange.answer) + "\n";
}

std::string InterfaceList(const std::vector<std::uint8_t> &interfaces) {
  std::string text = interfaces.size() == 1 ? "interface" : "interfaces";
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    text += (i == 0 ? " " : ", ") + std::to_string(interfaces[i]);
  }
  return text;
}

std::string FunctionLine(const WindowsFunction &function) {
  std::string text = "    function at interface " + std::to_string(function.firstInterface) + " (" +
                     InterfaceList(function.interfaces) + "): ";
  switch (function.driver) {
  case Driver::WinUsb:
    text += "WinUSB (compatible ID WINUSB)";
    break;
  case Driver::ClassDriver:
    text += "class driver " + function.classDriver + " (" + function.className + ")";
    break;
  case Driver::None:
    text += "no driver without an INF" +
            (function.compatibleId.empty() ? "" : " (compatible ID " + function.compatibleId + ")");
    break;
  }
  for (const std::string &guid : function.interfaceGuids) {
    text += ", interface class " + guid;
  }
  return text + "\n";
}

const char *SourceText(DescriptorSource source) {
  switch (source) {
  case DescriptorSource::MsOs20:
    return "read by its Microsoft OS 2.0 descriptor set";
  case DescriptorSource::MsOs10:
    return "read by its Microsoft OS 1.0 descriptors";
  case DescriptorSource::None:
    break;
  }
  return "no Microsoft OS descriptors it takes";
}

std::string PipesText(const Pipes &pipes) {
  std::string text;
  const auto add = [&text](const char *name, const std::optional<std::uint8_t> &address) {
    if (address) {
      text += (text.empty() ? "" : ", ") + std::string(name) + Format(" 0x%02X", *address);
    }
  };
  add("bulk OUT", pipes.bulkOut);
  add("bulk IN", pipes.bulkIn);
  add("interrupt", pipes.interrupt);
  return text.empty() ? "none" : text;
}

std::string DeviceText(const DeviceReport &entry) {
  const linux_platform::ExplainedDevice &device = entry.device;
  std::string text = Heading(entry) + "\n";
  if (device.hub) {
    return text + "  a hub: not asked anything\n";
  }
  text += std::string("  Windows 8.1 and later: ") +
          (entry.windows.composite ? "composite, " : "not composite, ") +
          (device.opened ? SourceText(entry.windows.descriptors) : "descriptors not read") + "\n";
  for (const WindowsFunction &function : entry.windows.functions) {
    text += FunctionLine(function);
  }
  text += "  pelmora-winusb-test: ";
  if (entry.program.interface) {
    text += "matches the function at interface " + std::to_string(*entry.program.interface) + ", " +
            entry.program.path + "\n    pipes: " + PipesText(entry.program.pipes) + "\n";
  } else {
    text += "no match\n";
  }
  text += "    " + device.reason + "\n";
  if (!device.exchanges.empty()) {
    text += "  requests:\n";
    for (const Exchange &exchange : device.exchanges) {
      text += Request(exchange);
    }
  }
  if (!entry.problems.empty()) {
    text += "  problems:\n";
    for (const Problem &problem : entry.problems) {
      text += std::string("    ") + SeverityName(problem.severity) + " " + problem.rule + ": " +
              problem.text + "\n      fix: " + problem.fix + "\n";
    }
  }
  return text;
}

} // namespace

std::string PickLine(const Report &report) {
  if (!report.pick) {
    return "pelmora-winusb-test would find no device";
  }
  const DeviceReport &entry = report.devices[*report.pick];
  return "pelmora-winusb-test would use " + entry.program.path + " (interface " +
         std::to_string(*entry.program.interface) + " of " + IdsOf(entry) + ")";
}

std::string ReportText(const Report &report) {
  std::string text;
  for (const DeviceReport &entry : report.devices) {
    text += DeviceText(entry) + "\n";
  }
  if (report.devices.empty()) {
    text += "no USB device present\n\n";
  }
  return text + PickLine(report) + "\n";
}

} // namespace pelmora::report
