// SPDX-License-Identifier: MIT
// Any bytes as what a USB/IP client sends the device's session: it must
// neither crash nor hold more than its limits, whatever they say. The first
// byte picks the sizes the bytes arrive in, and whether the session writes its
// answers out between them or lets them pile up.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "usbip_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::size_t step = 1 + (data[0] & 0x3F) * 16;
  const bool drains = (data[0] & 0x40) != 0;
  pelmora::emulated::DeviceSpec spec;
  spec.queueLimit = 4096;
  pelmora::usbip::DeviceSlot slot(spec, {});
  pelmora::usbip::Session session(slot, nullptr);
  std::span<const std::uint8_t> input(data + 1, size - 1);
  while (!input.empty() && session.Failure().empty()) {
    const std::size_t taken = std::min(step, input.size());
    if (session.Reading()) {
      session.Receive(input.first(taken));
      input = input.subspan(taken);
    } else if (session.Output().Empty()) {
      break; // waiting for the client to take back what it sent, for ever
    }
    session.Tick();
    if (drains || !session.Reading()) {
      session.Output().Pop(session.Output().Size(), nullptr);
    }
  }
  // What waits to be written stays within its limit and one answer.
  if (session.Output().Size() > pelmora::usbip::OUTPUT_LIMIT + pelmora::usbip::URB_HEADER_SIZE +
                                    pelmora::usbip::LONGEST_TRANSFER) {
    std::abort();
  }
  return 0;
}
