// SPDX-License-Identifier: MIT
// The report as JSON, with stable field names, for scripts and test rigs.
#pragma once

#include <string>

#include "device_report.h"

namespace pelmora::report {

inline constexpr int REPORT_FORMAT = 1;

std::string ReportJson(const Report &report);

} // namespace pelmora::report
