// SPDX-License-Identifier: MIT
// The report's rules on dumps kept as data: each rule is broken by one dump
// and kept by another. For every dump, the problems each device gives, the
// drivers Windows gives its functions, and the device the program would pick.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "device_report.h"
#include "dump.h"
#include "report_sources.h"

namespace {

using namespace pelmora::report;

const pelmora::usb::GuidText CLASS_GUID{"6120D798-D192-4463-B0DE-2B65ED2F4870"};

std::string Joined(const std::vector<std::string> &words, const char *between) {
  std::string text;
  for (std::size_t i = 0; i < words.size(); ++i) {
    text += (i == 0 ? "" : between) + words[i];
  }
  return text;
}

std::string DriverName(const WindowsFunction &function) {
  return function.driver == Driver::WinUsb        ? "winusb"
         : function.driver == Driver::ClassDriver ? function.classDriver
                                                  : "none";
}

// What one dump gives: per device, "rule rule ..." and "driver driver ...",
// devices joined by " | "; the pick as ADDRESS:INTERFACE.
struct Outcome {
  std::string rules;
  std::string drivers;
  std::string pick;
};

Outcome ReportOn(const std::string &name) {
  std::ifstream file(std::string(PELMORA_REPORT_DUMPS) + "/" + name + ".json");
  const std::string text(std::istreambuf_iterator<char>(file), {});
  std::string problem;
  const auto recorded = ReadDump(text, problem);
  if (!recorded) {
    return {"unreadable: " + problem, "", ""};
  }
  const Report report = BuildReport(ExplainRecordedDevices(*recorded, CLASS_GUID), CLASS_GUID);
  std::vector<std::string> rules;
  std::vector<std::string> drivers;
  for (const DeviceReport &device : report.devices) {
    std::vector<std::string> ids;
    for (const Problem &each : device.problems) {
      ids.push_back(each.rule);
    }
    std::vector<std::string> names;
    for (const WindowsFunction &function : device.windows.functions) {
      names.push_back(DriverName(function));
    }
    rules.push_back(Joined(ids, " "));
    drivers.push_back(Joined(names, " "));
  }
  const std::string pick =
      report.pick ? std::to_string(report.devices[*report.pick].device.record.address) + ":" +
                        std::to_string(*report.devices[*report.pick].program.interface)
                  : "none";
  return {Joined(rules, " | "), Joined(drivers, " | "), pick};
}

struct Row {
  const char *dump;
  const char *rules;
  const char *drivers;
  const char *pick;
};

// Problems are listed errors first, then warnings, then notes.
const Row ROWS[] = {
    // Well-formed devices: what the rules below are fixed by.
    {"worked-example", "windows-7-8 usbflags-cache", "usbser winusb", "2:2"},
    {"worked-example-ms-os-1", "ms-os-10-composite-properties windows-7-8 usbflags-cache",
     "usbser winusb", "2:2"},
    {"single-function", "windows-7-8 usbflags-cache", "winusb", "2:0"},
    {"single-function-ms-os-1", "windows-7-8 usbflags-cache", "winusb", "2:0"},
    {"both-agree", "usbflags-cache", "winusb", "2:0"},
    {"guid-as-reg-sz", "windows-7-8 usbflags-cache", "winusb", "2:0"},
    {"no-os-descriptors", "", "none", "none"},
    {"hub-and-two-devices", " | windows-7-8 usbflags-cache | windows-7-8 usbflags-cache",
     "none | winusb | usbser winusb", "4:2"},
    // The set of a composite device.
    {"config-subset-index-1", "config-subset-index usbflags-cache", "usbser none", "none"},
    {"device-scope-composite", "device-scope-composite program-differs usbflags-cache",
     "usbser none", "2:0"},
    {"function-subset-inside-association", "function-unknown program-differs usbflags-cache",
     "usbser none", "2:1"},
    {"function-subset-one-interface",
     "function-subset-not-composite program-differs usbflags-cache", "none", "2:0"},
    // The BOS and the set's lengths.
    {"bcd-usb-0200-with-bos", "bos-not-read", "none", "none"},
    {"bos-stalls", "bos-missing program-differs", "none", "2:0"},
    {"bcd-usb-0201", "bcd-usb-0201 windows-7-8 usbflags-cache", "winusb", "2:0"},
    {"capability-before-8-1", "capability-version program-differs", "none", "2:0"},
    {"set-request-stalls", "vendor-code-unanswered", "none", "none"},
    {"set-total-length", "set-total-length program-differs", "usbser none", "2:2"},
    {"subset-length", "subset-length program-differs", "usbser none", "2:2"},
    {"set-header-malformed", "set-malformed", "none", "none"},
    // Microsoft OS 1.0.
    {"os-string-vendor-code-unanswered", "vendor-code-unanswered usbflags-cache", "none", "none"},
    {"os-string-malformed", "os-string-malformed usbflags-cache", "none", "none"},
    {"compat-id-length-0x2a", "compat-id-length program-differs usbflags-cache", "none", "2:0"},
    {"both-disagree", "ms-os-versions-disagree usbflags-cache", "winusb", "2:0"},
    // The interface class properties.
    {"guids-as-reg-sz", "program-differs property-type-mixup windows-7-8 usbflags-cache", "winusb",
     "none"},
    {"multi-sz-one-nul", "missing-terminator windows-7-8 usbflags-cache", "winusb", "2:0"},
    {"guid-without-braces",
     "guid-without-braces no-interface-guid program-differs windows-7-8 usbflags-cache", "winusb",
     "2:0"},
    {"guid-malformed", "guid-malformed no-interface-guid windows-7-8 usbflags-cache", "winusb",
     "none"},
    {"winusb-without-guid", "no-interface-guid windows-7-8 usbflags-cache", "winusb", "none"},
    {"guid-without-winusb", "guid-without-winusb program-differs usbflags-cache", "none", "2:0"},
    // What the program meets.
    {"isochronous-endpoint", "pipes-unusable windows-7-8 usbflags-cache", "winusb", "2:0"},
    {"cannot-open", "cannot-open", "none", "none"},
    {"silent-device", "bos-missing request-timed-out", "none", "none"},
};

TEST(ReportRules, GiveEachDumpItsProblemsDriversAndPick) {
  for (const Row &row : ROWS) {
    SCOPED_TRACE(row.dump);
    const Outcome outcome = ReportOn(row.dump);
    EXPECT_EQ(outcome.rules, row.rules);
    EXPECT_EQ(outcome.drivers, row.drivers);
    EXPECT_EQ(outcome.pick, row.pick);
  }
}

// A dump it cannot read is named by the place and the problem.
TEST(ReportDump, SaysWhereAndWhatIsWrongInADumpItCannotRead) {
  const struct {
    const char *text;
    const char *problem;
  } rows[] = {
      {"{\"format\": 1, \"devices\": [",
       "not JSON: line 1, column 27: syntax error while parsing value - unexpected end of input; "
       "expected '[', '{', or a literal"},
      {"{\"format\": 2, \"devices\": []}",
       "\"format\": version 2 is not one this program reads (1)"},
      {"{\"format\": 1, \"devices\": [{\"bus\": 1, \"address\": 300}]}",
       "devices[0].address: not a number from 0 to 255"},
      {"{\"format\": 1, \"devices\": [{\"bus\": 1, \"address\": 2, \"device_descriptor\": \"12 "
       "0\"}]}",
       "devices[0].device_descriptor: ends with half a byte"},
      {"{\"format\": 1, \"devices\": [{\"bus\": 1, \"address\": 2, \"device_descriptor\": \"\", "
       "\"requests\": [{\"setup\": \"80 06 00 0F 00 00 05 00\", \"answer\": \"05 0F 05 00 00 "
       "00\"}]}]}",
       "devices[0].requests[0].answer: 6 bytes, more than the 5 asked for"},
      {"{\"format\": 1, \"devices\": [{\"bus\": 1, \"address\": 2, \"device_descriptor\": \"\", "
       "\"requests\": [{\"setup\": \"80 06\", \"failure\": \"stall\"}]}]}",
       "devices[0].requests[0].setup: 2 bytes, not 8"},
  };
  for (const auto &row : rows) {
    std::string problem;
    EXPECT_FALSE(ReadDump(row.text, problem));
    EXPECT_EQ(problem, row.problem);
  }
}

} // namespace
