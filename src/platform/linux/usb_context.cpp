// SPDX-License-Identifier: MIT
#include "usb_context.h"

#include "winusb_interface.h"

namespace pelmora::linux_platform {

namespace {

libusb_context *Context = nullptr;

} // namespace

libusb_context *UsbContext() {
  if (Context == nullptr && libusb_init(&Context) != LIBUSB_SUCCESS) {
    Context = nullptr;
  }
  return Context;
}

void ReleaseUsbForTests() {
  ReleaseAllInterfaces();
  if (Context != nullptr) {
    libusb_exit(Context);
    Context = nullptr;
  }
}

} // namespace pelmora::linux_platform
