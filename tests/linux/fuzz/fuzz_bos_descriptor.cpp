// SPDX-License-Identifier: MIT
// Any bytes as a BOS descriptor: the parser must neither crash nor read past them.
#include <cstddef>
#include <cstdint>

#include "bos_descriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const pelmora::usb::Bytes bytes(data, size);
  pelmora::usb::BosTotalLength(bytes);
  pelmora::usb::FindMsOs20Set(bytes);
  return 0;
}
