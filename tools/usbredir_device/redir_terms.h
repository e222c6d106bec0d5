// SPDX-License-Identifier: MIT
// The device model in usbredir's terms: the interfaces and endpoints it
// announces, and its speeds and transfer results as usbredir codes.
#pragma once

#include <usbredirparser.h>

#include <cstdint>

#include "loopback_device.h"

namespace pelmora::usbredir {

// The interfaces and endpoints of alternate setting 0, as usbredir announces
// them, read from the device's own configuration descriptor.
struct Layout {
  usb_redir_interface_info_header interfaces{};
  usb_redir_ep_info_header endpoints{};
};

Layout LayoutOf(const emulated::ByteVector &configuration);

// usbredir numbers OUT endpoints 0-15 and IN endpoints 16-31.
int EndpointSlot(std::uint8_t address);

// A usbredir status as the transfer log shows it.
const char *StatusName(int status);

std::uint8_t RedirStatus(emulated::Completion status);
std::uint8_t RedirSpeed(emulated::Speed speed);

} // namespace pelmora::usbredir
