// SPDX-License-Identifier: MIT
// The report as text for a person, ending with the device the program would use.
#pragma once

#include <string>

#include "device_report.h"

namespace pelmora::report {

std::string ReportText(const Report &report);

// "pelmora-winusb-test would use PATH (interface N of VID:PID)", or that it
// would find no device.
std::string PickLine(const Report &report);

} // namespace pelmora::report
