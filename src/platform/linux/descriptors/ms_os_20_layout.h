// SPDX-License-Identifier: MIT
// The structure of a Microsoft OS 2.0 descriptor set as its lengths lay it
// out: the set header, the features at each scope, and what does not add up.
// The lookup reads sets more leniently (ms_os_20_descriptor_set.h); this walk
// says why a set is one that Windows would not take.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_reader.h"
#include "ms_os_20_descriptor_set.h"

namespace pelmora::usb {

// One feature descriptor: its wDescriptorType and all its bytes.
struct MsOs20Feature {
  std::uint16_t type = 0;
  Bytes bytes;
};

struct MsOs20FunctionSubset {
  std::uint8_t firstInterface = 0;
  std::vector<MsOs20Feature> features;
};

struct MsOs20ConfigurationSubset {
  std::uint8_t configurationField = 0; // named bConfigurationValue, holds an index
  std::vector<MsOs20Feature> features; // outside any function subset
  std::vector<MsOs20FunctionSubset> functions;
};

struct MsOs20Layout {
  bool headerValid = false;
  std::uint32_t windowsVersion = 0;
  std::uint16_t totalLength = 0;
  std::vector<MsOs20Feature> deviceFeatures;
  std::vector<MsOs20ConfigurationSubset> configurations;
  // What does not add up: a subset whose length does not cover exactly its
  // contents, a descriptor running past what encloses it, a descriptor
  // where none may be. Empty for a well-formed set.
  std::vector<std::string> lengthProblems;
  std::vector<std::string> structureProblems;
};

// Walks the set's first wTotalLength bytes (or fewer, when fewer arrived).
MsOs20Layout ParseMsOs20Layout(Bytes set);

// The compatible ID of a compatible ID feature, without its NUL padding;
// bytes that are not printable ASCII show as '?'.
std::string CompatibleIdText(Bytes feature);

} // namespace pelmora::usb
