// SPDX-License-Identifier: MIT
// Finding the present USB devices that declare a device interface class in
// their Microsoft OS descriptors, one at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <libusb.h>

#include "winapi.h"

namespace pelmora::linux_platform {

struct DeviceListFreer {
  void operator()(libusb_device **list) const { libusb_free_device_list(list, 1); }
};

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
  struct Candidate {
    libusb_device *device;
    std::uint8_t bus;
    std::vector<std::uint8_t> ports;
  };

  std::unique_ptr<libusb_device *, DeviceListFreer> list_;
  std::vector<Candidate> candidates_;
  std::size_t next_ = 0;
  GUID interfaceClass_;
};

} // namespace pelmora::linux_platform
