// SPDX-License-Identifier: MIT
// Finding the present USB devices that declare a device interface class in
// their Microsoft OS descriptors, one at a time, and the reasoning behind
// each verdict.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <libusb.h>

#include "control_transport.h"
#include "device_record.h"
#include "explained_device.h"
#include "registry_property.h"
#include "winapi.h"

namespace pelmora::linux_platform {

// Lookup: what the lookup asks, and no more. Report: afterwards, what else
// Windows reads at enumeration (the BOS of a device below bcdUSB 0x0201, the
// Microsoft OS 1.0 descriptors beside a 2.0 set, every function's 1.0
// properties), so that the two can be compared; the verdict is the same.
enum class Depth { Lookup, Report };

// The lookup's verdict on a device, with its reasons. A hub is never asked;
// a device without a transport is one that could not be opened (its record
// says why).
ExplainedDevice ExplainDevice(DeviceRecord record, ControlTransport *transport,
                              const usb::GuidText &guid, Depth depth);

// The same for a present device: opened if it is no hub, asked through
// libusb with the lookup's time-outs.
ExplainedDevice ExplainPresentDevice(libusb_device *device, const usb::GuidText &guid, Depth depth);

// The same for a device of a dump: asked through its recorded answers, as
// deeply as the report asks.
ExplainedDevice ExplainRecordedDevice(const DeviceRecord &record,
                                      const std::vector<Exchange> &answers,
                                      const usb::GuidText &guid);

usb::GuidText GuidTextOf(const GUID &guid);

// The usbfs node, /dev/bus/usb/BBB/DDD.
std::string NodePath(const DeviceRecord &record);

// The devices present when it was made, by bus number, then port path. Each
// is asked for its descriptors only when the devices before it are used up,
// so a caller that wants the first match disturbs no device after it.
class InterfaceLookup {
public:
  InterfaceLookup(libusb_context *context, const GUID &interfaceClass);

  // The path (/dev/bus/usb/BBB/DDD:N) of the first function that declares
  // the class, of the next device that the user can open and that has one;
  // nothing once none is left.
  std::optional<std::string> Next();

private:
  PresentDevices devices_;
  std::size_t next_ = 0;
  usb::GuidText guid_;
};

} // namespace pelmora::linux_platform
