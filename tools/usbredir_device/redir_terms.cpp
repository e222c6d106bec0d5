// SPDX-License-Identifier: MIT
#include "redir_terms.h"

#include <cstring>

namespace pelmora::usbredir {

using emulated::ByteVector;
using emulated::Completion;

int EndpointSlot(std::uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

Layout LayoutOf(const ByteVector &configuration) {
  Layout layout;
  std::memset(layout.endpoints.type, usb_redir_type_invalid, sizeof layout.endpoints.type);
  for (const int slot : {0, 16}) {
    layout.endpoints.type[slot] = usb_redir_type_control;
    layout.endpoints.max_packet_size[slot] = 64;
  }
  bool alternate = false;
  std::uint8_t interface = 0;
  for (std::size_t at = 0; at + 2 <= configuration.size();) {
    const std::size_t length = configuration[at];
    if (length < 2 || at + length > configuration.size()) {
      break;
    }
    const std::uint8_t *d = &configuration[at];
    if (d[1] == 0x04 && length >= 9) {
      interface = d[2];
      alternate = d[3] != 0;
      auto &info = layout.interfaces;
      if (!alternate && info.interface_count < 32) {
        const std::uint32_t i = info.interface_count++;
        info.interface[i] = d[2];
        info.interface_class[i] = d[5];
        info.interface_subclass[i] = d[6];
        info.interface_protocol[i] = d[7];
      }
    } else if (d[1] == 0x05 && length >= 7 && !alternate) {
      const int slot = EndpointSlot(d[2]);
      layout.endpoints.type[slot] = d[3] & 0x03;
      layout.endpoints.interval[slot] = d[6];
      layout.endpoints.interface[slot] = interface;
      layout.endpoints.max_packet_size[slot] = static_cast<std::uint16_t>(d[4] | (d[5] << 8));
    }
    at += length;
  }
  return layout;
}

const char *StatusName(int status) {
  switch (status) {
  case usb_redir_success:
    return "success";
  case usb_redir_cancelled:
    return "cancelled";
  case usb_redir_stall:
    return "stall";
  case usb_redir_babble:
    return "babble";
  case usb_redir_ioerror:
    return "ioerror";
  default:
    return "inval";
  }
}

std::uint8_t RedirStatus(Completion status) {
  switch (status) {
  case Completion::Done:
    return usb_redir_success;
  case Completion::Stall:
    return usb_redir_stall;
  case Completion::Overflow:
    return usb_redir_babble;
  case Completion::Invalid:
    return usb_redir_inval;
  default:
    return usb_redir_ioerror;
  }
}

std::uint8_t RedirSpeed(emulated::Speed speed) {
  switch (speed) {
  case emulated::Speed::Low:
    return usb_redir_speed_low;
  case emulated::Speed::Full:
    return usb_redir_speed_full;
  case emulated::Speed::High:
    return usb_redir_speed_high;
  case emulated::Speed::Super:
    return usb_redir_speed_super;
  case emulated::Speed::Unknown:
    break;
  }
  return usb_redir_speed_unknown;
}

} // namespace pelmora::usbredir
