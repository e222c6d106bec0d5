// SPDX-License-Identifier: MIT
#include "winusb_interface.h"

#include <algorithm>
#include <cstring>

namespace pelmora::linux_platform {

namespace {

// WinUSB's default: a pipe transfer waits as long as the device takes.
constexpr unsigned NO_TIMEOUT = 0;

std::map<UsbInterface *, std::unique_ptr<UsbInterface>> &LiveInterfaces() {
  static std::map<UsbInterface *, std::unique_ptr<UsbInterface>> interfaces;
  return interfaces;
}

// Bytes one packet can carry; high-bandwidth interrupt endpoints move up to
// three transactions per interval.
ULONG PacketSize(const libusb_endpoint_descriptor &endpoint) {
  const ULONG base = endpoint.wMaxPacketSize & 0x7FF;
  const ULONG transactions = 1 + ((endpoint.wMaxPacketSize >> 11) & 0x3);
  return (endpoint.bmAttributes & 0x3) == LIBUSB_TRANSFER_TYPE_INTERRUPT ? base * transactions
                                                                         : base;
}

bool IsIn(UCHAR pipeId) { return (pipeId & LIBUSB_ENDPOINT_IN) != 0; }

} // namespace

std::unique_ptr<UsbInterface> UsbInterface::Bind(libusb_context *context, int fd,
                                                 std::uint8_t interfaceNumber) {
  libusb_device_handle *raw = nullptr;
  if (context == nullptr ||
      libusb_wrap_sys_device(context, static_cast<intptr_t>(fd), &raw) != LIBUSB_SUCCESS) {
    return nullptr;
  }
  std::unique_ptr<UsbInterface> bound(new UsbInterface(DeviceHandlePtr(raw), interfaceNumber));
  if (libusb_claim_interface(raw, interfaceNumber) != LIBUSB_SUCCESS) {
    return nullptr;
  }
  bound->claimed_ = true;
  libusb_config_descriptor *config = nullptr;
  if (libusb_get_active_config_descriptor(libusb_get_device(raw), &config) == LIBUSB_SUCCESS) {
    bound->config_.reset(config);
  }
  return bound;
}

UsbInterface::~UsbInterface() {
  if (claimed_) {
    libusb_release_interface(handle_.get(), interfaceNumber_);
  }
}

std::optional<UCHAR> UsbInterface::SpeedCode() const {
  switch (libusb_get_device_speed(libusb_get_device(handle_.get()))) {
  case LIBUSB_SPEED_LOW:
    return 1;
  case LIBUSB_SPEED_FULL:
    return 2;
  case LIBUSB_SPEED_HIGH:
  case LIBUSB_SPEED_SUPER:
  case LIBUSB_SPEED_SUPER_PLUS:
    return 3;
  default:
    return std::nullopt;
  }
}

// By number, not position: a configuration may list its interfaces and
// their alternate settings in any order.
const libusb_interface_descriptor *UsbInterface::AlternateSetting(UCHAR alternateSetting) const {
  if (!config_) {
    return nullptr;
  }
  for (int i = 0; i < config_->bNumInterfaces; ++i) {
    const libusb_interface &candidate = config_->interface[i];
    for (int j = 0; j < candidate.num_altsetting; ++j) {
      const libusb_interface_descriptor &setting = candidate.altsetting[j];
      if (setting.bInterfaceNumber == interfaceNumber_ &&
          setting.bAlternateSetting == alternateSetting) {
        return &setting;
      }
    }
  }
  return nullptr;
}

std::optional<USB_INTERFACE_DESCRIPTOR> UsbInterface::Settings(UCHAR alternateSetting) const {
  const libusb_interface_descriptor *setting = AlternateSetting(alternateSetting);
  if (setting == nullptr) {
    return std::nullopt;
  }
  return USB_INTERFACE_DESCRIPTOR{setting->bLength,
                                  setting->bDescriptorType,
                                  setting->bInterfaceNumber,
                                  setting->bAlternateSetting,
                                  setting->bNumEndpoints,
                                  setting->bInterfaceClass,
                                  setting->bInterfaceSubClass,
                                  setting->bInterfaceProtocol,
                                  setting->iInterface};
}

std::optional<WINUSB_PIPE_INFORMATION> UsbInterface::Pipe(UCHAR alternateSetting,
                                                          UCHAR index) const {
  const libusb_interface_descriptor *setting = AlternateSetting(alternateSetting);
  if (setting == nullptr || index >= setting->bNumEndpoints) {
    return std::nullopt;
  }
  const libusb_endpoint_descriptor &endpoint = setting->endpoint[index];
  // USB's transfer type numbers are those of USBD_PIPE_TYPE.
  return WINUSB_PIPE_INFORMATION{
      static_cast<USBD_PIPE_TYPE>(endpoint.bmAttributes & 0x3), endpoint.bEndpointAddress,
      static_cast<USHORT>(endpoint.wMaxPacketSize & 0x7FF), endpoint.bInterval};
}

// Pipes are those of alternate setting 0, the one a claim selects.
const libusb_endpoint_descriptor *UsbInterface::Endpoint(UCHAR pipeId) const {
  const libusb_interface_descriptor *setting = AlternateSetting(0);
  if (setting == nullptr) {
    return nullptr;
  }
  for (int i = 0; i < setting->bNumEndpoints; ++i) {
    if (setting->endpoint[i].bEndpointAddress == pipeId) {
      return &setting->endpoint[i];
    }
  }
  return nullptr;
}

int UsbInterface::Transfer(const libusb_endpoint_descriptor &endpoint, UCHAR *buffer, ULONG length,
                           int *transferred) {
  const int size = static_cast<int>(length);
  switch (endpoint.bmAttributes & 0x3) {
  case LIBUSB_TRANSFER_TYPE_BULK:
    return libusb_bulk_transfer(handle_.get(), endpoint.bEndpointAddress, buffer, size, transferred,
                                NO_TIMEOUT);
  case LIBUSB_TRANSFER_TYPE_INTERRUPT:
    return libusb_interrupt_transfer(handle_.get(), endpoint.bEndpointAddress, buffer, size,
                                     transferred, NO_TIMEOUT);
  default:
    return LIBUSB_ERROR_NOT_SUPPORTED;
  }
}

bool UsbInterface::Write(UCHAR pipeId, const UCHAR *buffer, ULONG length, ULONG *transferred) {
  const libusb_endpoint_descriptor *endpoint = Endpoint(pipeId);
  if (endpoint == nullptr || IsIn(pipeId) || (buffer == nullptr && length != 0) ||
      length > INT32_MAX) {
    return false;
  }
  int sent = 0;
  // libusb does not write through the buffer of an OUT transfer.
  const int result = Transfer(*endpoint, const_cast<UCHAR *>(buffer), length, &sent);
  if (transferred != nullptr) {
    *transferred = static_cast<ULONG>(std::max(sent, 0));
  }
  return result == LIBUSB_SUCCESS;
}

bool UsbInterface::Read(UCHAR pipeId, UCHAR *buffer, ULONG length, ULONG *transferred) {
  const libusb_endpoint_descriptor *endpoint = Endpoint(pipeId);
  if (endpoint == nullptr || !IsIn(pipeId) || (buffer == nullptr && length != 0)) {
    return false;
  }
  std::vector<std::uint8_t> &kept = surplus_[pipeId];
  ULONG delivered = 0;
  bool ok = true;
  if (!kept.empty() || length == 0) {
    delivered = static_cast<ULONG>(std::min<std::size_t>(length, kept.size()));
  } else {
    const ULONG packet = PacketSize(*endpoint);
    if (packet == 0) {
      return false;
    }
    // Whole packets, so a packet larger than the rest of the request is not
    // an overflow.
    const std::uint64_t wanted =
        (static_cast<std::uint64_t>(length) + packet - 1) / packet * packet;
    if (wanted > INT32_MAX) {
      return false;
    }
    std::vector<std::uint8_t> received(static_cast<std::size_t>(wanted));
    int got = 0;
    ok = Transfer(*endpoint, received.data(), static_cast<ULONG>(wanted), &got) == LIBUSB_SUCCESS;
    // Bytes that arrived before a failure are not lost: the next read gets them.
    kept.assign(received.begin(), received.begin() + std::max(got, 0));
    delivered = ok ? static_cast<ULONG>(std::min<std::size_t>(length, kept.size())) : 0;
  }
  std::copy_n(kept.begin(), delivered, buffer);
  kept.erase(kept.begin(), kept.begin() + delivered);
  if (transferred != nullptr) {
    *transferred = delivered;
  }
  return ok;
}

WINUSB_INTERFACE_HANDLE AdoptInterface(std::unique_ptr<UsbInterface> usbInterface) {
  UsbInterface *handle = usbInterface.get();
  LiveInterfaces().emplace(handle, std::move(usbInterface));
  return handle;
}

UsbInterface *FindInterface(WINUSB_INTERFACE_HANDLE handle) {
  const auto found = LiveInterfaces().find(static_cast<UsbInterface *>(handle));
  return found != LiveInterfaces().end() ? found->first : nullptr;
}

void ReleaseAllInterfaces() { LiveInterfaces().clear(); }

} // namespace pelmora::linux_platform
