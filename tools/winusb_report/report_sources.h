// SPDX-License-Identifier: MIT
// The devices to report on: those present, asked live, or those of a dump,
// answered from it; the same discovery explains both.
#pragma once

#include <optional>
#include <vector>

#include "dump.h"
#include "explained_device.h"
#include "registry_property.h"
#include "report_options.h"

namespace pelmora::report {

// Nothing when libusb cannot start.
std::optional<std::vector<linux_platform::ExplainedDevice>>
ExplainPresentDevices(const std::optional<DeviceSelector> &selector, const usb::GuidText &guid);

std::vector<linux_platform::ExplainedDevice>
ExplainRecordedDevices(const std::vector<RecordedDevice> &devices, const usb::GuidText &guid);

} // namespace pelmora::report
