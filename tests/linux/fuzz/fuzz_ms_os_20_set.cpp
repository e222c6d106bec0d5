// SPDX-License-Identifier: MIT
// Any bytes as a Microsoft OS 2.0 descriptor set, for every configuration index.
#include <cstddef>
#include <cstdint>

#include "ms_os_20_descriptor_set.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  // The first byte picks the active configuration's index.
  const pelmora::usb::Bytes bytes(data + 1, size - 1);
  const auto functions = pelmora::usb::MsOs20Functions(bytes, data[0], 0);
  pelmora::usb::FirstFunctionDeclaring(functions, {"6120D798-D192-4463-B0DE-2B65ED2F4870"});
  return 0;
}
