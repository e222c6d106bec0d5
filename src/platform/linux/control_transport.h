// SPDX-License-Identifier: MIT
// The one way the discovery asks a device anything: a control IN request
// and how it ended. Live, it goes to the device through libusb; recorded, it
// is answered from what a device answered before (a dump).
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <tuple>
#include <vector>

#include <libusb.h>

#include "explained_device.h"

namespace pelmora::linux_platform {

class ControlTransport {
public:
  virtual ~ControlTransport() = default;
  virtual Answer ControlIn(const usb::ControlRequest &request,
                           std::chrono::milliseconds timeout) = 0;
};

class LiveTransport : public ControlTransport {
public:
  explicit LiveTransport(libusb_device_handle *handle) : handle_(handle) {}
  Answer ControlIn(const usb::ControlRequest &request, std::chrono::milliseconds timeout) override;

private:
  libusb_device_handle *handle_;
};

// Answers each request with the recorded answers to the same bmRequestType,
// bRequest, wValue and wIndex, in their order, the last one again once they
// are used up, cut to the wLength asked; a request never recorded stalls.
class RecordedTransport : public ControlTransport {
public:
  explicit RecordedTransport(const std::vector<Exchange> &recorded);
  Answer ControlIn(const usb::ControlRequest &request, std::chrono::milliseconds timeout) override;

private:
  using Key = std::tuple<std::uint8_t, std::uint8_t, std::uint16_t, std::uint16_t>;
  struct Answers {
    std::vector<Answer> answers;
    std::size_t next = 0;
  };
  std::map<Key, Answers> answers_;
};

} // namespace pelmora::linux_platform
