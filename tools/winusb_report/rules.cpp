// SPDX-License-Identifier: MIT
#include "rules.h"

#include <iterator>

namespace pelmora::report {

namespace {

struct RuleText {
  const char *id;
  Severity severity;
  const char *fix;
};

// In the order of the enumeration.
constexpr RuleText RULES[] = {
    {"bos-missing", Severity::Error,
     "answer GET_DESCRIPTOR BOS with a valid BOS, or set bcdUSB to 0x0200"},
    {"bos-not-read", Severity::Error,
     "set bcdUSB to 0x0210 so that Windows asks for the BOS, or declare WinUSB in Microsoft OS "
     "1.0 descriptors"},
    {"bcd-usb-0201", Severity::Warning, "set bcdUSB to 0x0210"},
    {"capability-version", Severity::Error,
     "set dwWindowsVersion to 0x06030000 (Windows 8.1) or higher"},
    {"vendor-code-unanswered", Severity::Error,
     "answer the vendor request with this bRequest, or name the code the firmware answers"},
    {"set-total-length", Severity::Error,
     "make the set header's wTotalLength, the capability's wMSOSDescriptorSetTotalLength and the "
     "bytes returned the same number"},
    {"subset-length", Severity::Error,
     "make each subset's length the sum of its header and everything it holds"},
    {"set-malformed", Severity::Error,
     "start the set with its 10-byte header, and nest features in subsets as the set's layout "
     "allows"},
    {"config-subset-index", Severity::Error,
     "put the configuration's index in the field named bConfigurationValue: 0 for the first "
     "configuration"},
    {"function-subset-not-composite", Severity::Error,
     "put the features at device scope, without a configuration or function subset"},
    {"function-unknown", Severity::Error,
     "give the number of the function's first interface (an interface association's "
     "bFirstInterface, or the interface's own number)"},
    {"device-scope-composite", Severity::Error,
     "put the compatible ID and the registry properties in a function subset for the function's "
     "first interface"},
    {"compat-id-length", Severity::Error,
     "set dwLength to 16 + 24 x bCount (0x28 for one function), the bytes returned"},
    {"os-string-malformed", Severity::Warning,
     "answer string 0xEE with 12 03 \"MSFT100\" in UTF-16LE, the vendor code and 00, or stall it"},
    {"ms-os-10-composite-properties", Severity::Warning,
     "declare the function's properties in a Microsoft OS 2.0 set as well (bcdUSB 0x0210 and a "
     "BOS)"},
    {"ms-os-versions-disagree", Severity::Warning,
     "declare the same compatible IDs and interface classes in both"},
    {"property-type-mixup", Severity::Warning,
     "name a REG_MULTI_SZ property DeviceInterfaceGUIDs, a REG_SZ one DeviceInterfaceGUID"},
    {"missing-terminator", Severity::Warning,
     "end a REG_SZ value with a NUL and a REG_MULTI_SZ value with two"},
    {"guid-without-braces", Severity::Error,
     "write the GUID in braces: {6120D798-D192-4463-B0DE-2B65ED2F4870}"},
    {"guid-malformed", Severity::Error,
     "write the GUID as 32 hexadecimal digits in groups of 8-4-4-4-12, in braces"},
    {"no-interface-guid", Severity::Error,
     "declare DeviceInterfaceGUIDs (REG_MULTI_SZ) with the interface class for the function"},
    {"guid-without-winusb", Severity::Error,
     "add the compatible ID WINUSB for the function (or install an INF)"},
    {"usbflags-cache", Severity::Note,
     "raise bcdDevice with every change of these descriptors, or delete "
     "HKLM\\SYSTEM\\CurrentControlSet\\Control\\usbflags\\VVVVPPPPRRRR and uninstall the device"},
    {"windows-7-8", Severity::Note,
     "declare the same in Microsoft OS 1.0 descriptors, or ship an INF, for those versions"},
    {"cannot-open", Severity::Error,
     "grant access to the device with a udev rule (see the example rules file, "
     "70-pelmora-winusb-test.rules) or run as a user who may open it"},
    {"request-timed-out", Severity::Warning,
     "answer or stall every request Windows sends at enumeration, promptly"},
    {"pipes-unusable", Severity::Error,
     "give alternate setting 0 of the function's first interface bulk and interrupt endpoints "
     "only, at least one of them"},
    {"program-differs", Severity::Error,
     "fix the Windows problem above, so that both find the same function"},
};

static_assert(std::size(RULES) == static_cast<std::size_t>(Rule::ProgramDiffers) + 1);

} // namespace

Problem Raise(Rule rule, std::string text) {
  const RuleText &found = RULES[static_cast<std::size_t>(rule)];
  return {found.severity, found.id, std::move(text), found.fix};
}

const char *SeverityName(Severity severity) {
  switch (severity) {
  case Severity::Error:
    return "error";
  case Severity::Warning:
    return "warning";
  case Severity::Note:
    break;
  }
  return "note";
}

} // namespace pelmora::report
