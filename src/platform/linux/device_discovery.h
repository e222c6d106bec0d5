// SPDX-License-Identifier: MIT
// Finding the present USB devices that declare a device interface class in
// their Microsoft OS descriptors.
#pragma once

#include <string>
#include <vector>

#include <libusb.h>

#include "winapi.h"

namespace pelmora::linux_platform {

// The usbfs nodes (/dev/bus/usb/BBB/DDD) of the present devices that the
// user can open and that declare the class, by bus number, then port path.
std::vector<std::string> FindInterfacePaths(libusb_context *context, const GUID &interfaceClass);

} // namespace pelmora::linux_platform
