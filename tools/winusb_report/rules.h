// SPDX-License-Identifier: MIT
// The rules the report checks a device against, each with its severity and
// how to fix what breaks it; a problem is one rule broken by one device.
#pragma once

#include <string>

namespace pelmora::report {

// error: Windows will not do what the descriptors evidently intend.
// warning: it works, but is fragile or differs between Windows versions or hosts.
// note: worth knowing.
enum class Severity { Error, Warning, Note };

enum class Rule {
  BosMissing,
  BosNotRead,
  BcdUsb0201,
  CapabilityVersion,
  VendorCodeUnanswered,
  SetTotalLength,
  SubsetLength,
  SetMalformed,
  ConfigSubsetIndex,
  FunctionSubsetNotComposite,
  FunctionUnknown,
  DeviceScopeComposite,
  CompatIdLength,
  OsStringMalformed,
  MsOs10CompositeProperties,
  MsOsVersionsDisagree,
  PropertyTypeMixup,
  MissingTerminator,
  GuidWithoutBraces,
  GuidMalformed,
  NoInterfaceGuid,
  GuidWithoutWinUsb,
  UsbflagsCache,
  Windows7And8,
  CannotOpen,
  RequestTimedOut,
  PipesUnusable,
  ProgramDiffers,
};

struct Problem {
  Severity severity = Severity::Note;
  std::string rule; // a short id, e.g. "config-subset-index"
  std::string text; // what is wrong and what Windows (or the program) does with it
  std::string fix;
};

Problem Raise(Rule rule, std::string text);

const char *SeverityName(Severity severity);

} // namespace pelmora::report
