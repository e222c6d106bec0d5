// SPDX-License-Identifier: MIT
// Any bytes as a Microsoft OS 1.0 string, extended compat ID or extended
// properties descriptor.
#include <cstddef>
#include <cstdint>

#include "ms_os_10_descriptors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const pelmora::usb::Bytes bytes(data, size);
  pelmora::usb::MsOs10VendorCode(bytes);
  pelmora::usb::ExtendedCompatIdLength(bytes);
  pelmora::usb::CompatIdFunctions(bytes);
  pelmora::usb::ExtendedPropertiesLength(bytes);
  const auto properties = pelmora::usb::ParseExtendedProperties(bytes);
  pelmora::usb::DeclaresInterfaceGuid(properties, {"6120D798-D192-4463-B0DE-2B65ED2F4870"});
  return 0;
}
