// SPDX-License-Identifier: MIT
// Registry properties as a device declares them in its Microsoft OS
// descriptors, and whether they name a device interface class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "byte_reader.h"

namespace pelmora::usb {

inline constexpr std::uint32_t REG_SZ_TYPE = 1;
inline constexpr std::uint32_t REG_MULTI_SZ_TYPE = 7;

struct RegistryProperty {
  std::uint32_t type = 0;
  Bytes name; // UTF-16LE, usually with a terminating NUL
  Bytes data; // UTF-16LE strings for the string types
};

// A class GUID in its registry text form, e.g. "6120D798-D192-4463-B0DE-2B65ED2F4870".
struct GuidText {
  std::string text;
};

// UTF-16LE code units; an odd last byte is not a character and is dropped.
std::u16string DecodeUtf16(Bytes bytes);

// True when DeviceInterfaceGUIDs (REG_MULTI_SZ, any of its strings) or
// DeviceInterfaceGUID (REG_SZ) equals the GUID: names and GUIDs compare
// without regard to case, braces around the GUID are optional, and trailing
// NULs are ignored.
bool DeclaresInterfaceGuid(const std::vector<RegistryProperty> &properties, const GuidText &guid);

// The properties one function of a device declares, by the number of its
// first interface.
struct FunctionProperties {
  std::uint8_t firstInterface = 0;
  std::vector<RegistryProperty> properties;
};

// The first interface of the function with the lowest first interface
// number that declares the GUID, as above; nothing when none does.
std::optional<std::uint8_t> FirstFunctionDeclaring(const std::vector<FunctionProperties> &functions,
                                                   const GuidText &guid);

} // namespace pelmora::usb
