// SPDX-License-Identifier: MIT
// One bound WinUSB interface: the first interface of a function of a device,
// over its wrapped usbfs descriptor.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "usb_context.h"
#include "winapi.h"

namespace pelmora::linux_platform {

class UsbInterface {
public:
  // Wraps fd and claims the interface; nullptr when either fails. A kernel
  // driver holding the interface is never detached: the claim then fails.
  // The device's other interfaces are left alone.
  static std::unique_ptr<UsbInterface> Bind(libusb_context *context, int fd,
                                            std::uint8_t interfaceNumber);
  ~UsbInterface();
  UsbInterface(const UsbInterface &) = delete;
  UsbInterface &operator=(const UsbInterface &) = delete;

  // 1 low, 2 full, 3 high or faster.
  std::optional<UCHAR> SpeedCode() const;
  std::optional<USB_INTERFACE_DESCRIPTOR> Settings(UCHAR alternateSetting) const;
  std::optional<WINUSB_PIPE_INFORMATION> Pipe(UCHAR alternateSetting, UCHAR index) const;

  // Synchronous transfers with no time-out, bulk or interrupt by the pipe's type.
  bool Write(UCHAR pipeId, const UCHAR *buffer, ULONG length, ULONG *transferred);
  // Asks the device for whole packets; what the caller had no room for is
  // kept and handed out first by the next read of that pipe.
  bool Read(UCHAR pipeId, UCHAR *buffer, ULONG length, ULONG *transferred);

private:
  UsbInterface(DeviceHandlePtr handle, std::uint8_t interfaceNumber)
      : handle_(std::move(handle)), interfaceNumber_(interfaceNumber) {}
  const libusb_interface_descriptor *AlternateSetting(UCHAR alternateSetting) const;
  const libusb_endpoint_descriptor *Endpoint(UCHAR pipeId) const;
  int Transfer(const libusb_endpoint_descriptor &endpoint, UCHAR *buffer, ULONG length,
               int *transferred);

  DeviceHandlePtr handle_;
  std::uint8_t interfaceNumber_;
  bool claimed_ = false;
  ConfigDescriptorPtr config_;
  std::map<UCHAR, std::vector<std::uint8_t>> surplus_;
};

// Interface handles handed out and still alive; anything else is not one.
WINUSB_INTERFACE_HANDLE AdoptInterface(std::unique_ptr<UsbInterface> usbInterface);
UsbInterface *FindInterface(WINUSB_INTERFACE_HANDLE handle);
void ReleaseAllInterfaces();

} // namespace pelmora::linux_platform
