// SPDX-License-Identifier: MIT
#include "ms_os_20_layout.h"

#include <algorithm>

namespace pelmora::usb {

namespace {

// wLength, wDescriptorType, then CompatibleID[8].
constexpr std::size_t COMPATIBLE_ID_OFFSET = 4;
constexpr std::size_t COMPATIBLE_ID_END = 12;

std::string At(std::size_t offset) { return "at byte " + std::to_string(offset); }

class Walk {
public:
  Walk(Bytes all, MsOs20Layout &layout) : all_(all), layout_(layout) {}

  // Features and, where allowed, subsets in [offset, end) of holder; depth 0
  // is the set, 1 a configuration subset, 2 a function subset.
  void Range(std::size_t offset, std::size_t end, int depth, const std::string &holder) {
    while (offset < end) {
      const auto length = ReadU16(all_, offset);
      const auto type = ReadU16(all_, offset + 2);
      if (!length || !type || *length < 4) {
        layout_.structureProblems.push_back("a descriptor " + At(offset) +
                                            " is shorter than its own header");
        return;
      }
      if (*type == MS_OS_20_CONFIGURATION_SUBSET || *type == MS_OS_20_FUNCTION_SUBSET) {
        if (!Subset(offset, end, *type, depth)) {
          return;
        }
        offset += ReadU16(all_, offset + 6).value_or(0);
        continue;
      }
      if (offset + *length > end) {
        layout_.lengthProblems.push_back("the descriptor " + At(offset) + " (type " +
                                         std::to_string(*type) + ", " + std::to_string(*length) +
                                         " bytes) runs past the end of " + holder);
        return;
      }
      Features(depth).push_back({*type, all_.subspan(offset, *length)});
      offset += *length;
    }
  }

private:
  std::vector<MsOs20Feature> &Features(int depth) {
    if (depth == 0) {
      return layout_.deviceFeatures;
    }
    MsOs20ConfigurationSubset &configuration = layout_.configurations.back();
    return depth == 1 ? configuration.features : configuration.functions.back().features;
  }

  bool Subset(std::size_t offset, std::size_t end, std::uint16_t type, int depth) {
    const char *name =
        type == MS_OS_20_CONFIGURATION_SUBSET ? "configuration subset" : "function subset";
    const bool allowed = type == MS_OS_20_CONFIGURATION_SUBSET ? depth == 0 : depth == 1;
    if (!allowed) {
      layout_.structureProblems.push_back(std::string("a ") + name + " " + At(offset) +
                                          (type == MS_OS_20_CONFIGURATION_SUBSET
                                               ? " inside another subset"
                                               : " outside any configuration subset"));
      return false;
    }
    const auto headerLength = ReadU16(all_, offset);
    const auto subsetLength = ReadU16(all_, offset + 6);
    if (headerLength != MS_OS_20_SUBSET_HEADER_LENGTH || !subsetLength) {
      layout_.structureProblems.push_back(
          std::string("the ") + name + " " + At(offset) + " has a header of " +
          std::to_string(headerLength.value_or(0)) + " bytes, not 8");
      return false;
    }
    if (*subsetLength < MS_OS_20_SUBSET_HEADER_LENGTH || offset + *subsetLength > end) {
      layout_.lengthProblems.push_back(
          std::string("the ") + name + " " + At(offset) + " claims " +
          std::to_string(*subsetLength) + " bytes, " +
          (*subsetLength < MS_OS_20_SUBSET_HEADER_LENGTH
               ? "less than its header"
               : "past the end of what holds it, " + std::to_string(end - offset) + " bytes"));
      return false;
    }
    const std::uint8_t field = all_[offset + 4];
    if (type == MS_OS_20_CONFIGURATION_SUBSET) {
      layout_.configurations.push_back({field, {}, {}});
    } else {
      layout_.configurations.back().functions.push_back({field, {}});
    }
    const std::size_t problems = layout_.lengthProblems.size() + layout_.structureProblems.size();
    Range(offset + MS_OS_20_SUBSET_HEADER_LENGTH, offset + *subsetLength, depth + 1,
          std::string("the ") + name + " " + At(offset) + ", which claims " +
              std::to_string(*subsetLength) + " bytes");
    // What follows a subset that does not add up cannot be placed.
    return layout_.lengthProblems.size() + layout_.structureProblems.size() == problems;
  }

  Bytes all_;
  MsOs20Layout &layout_;
};

} // namespace

MsOs20Layout ParseMsOs20Layout(Bytes set) {
  MsOs20Layout layout;
  if (ReadU16(set, 0) != MS_OS_20_SET_HEADER_LENGTH || ReadU16(set, 2) != MS_OS_20_SET_HEADER) {
    layout.structureProblems.push_back("the set does not start with a 10-byte set header");
    return layout;
  }
  layout.headerValid = true;
  layout.windowsVersion = ReadU32(set, 4).value_or(0);
  layout.totalLength = ReadU16(set, 8).value_or(0);
  const Bytes all = set.first(std::min<std::size_t>(layout.totalLength, set.size()));
  Walk(all, layout).Range(MS_OS_20_SET_HEADER_LENGTH, all.size(), 0, "the set");
  return layout;
}

std::string CompatibleIdText(Bytes feature) {
  const std::size_t end = std::min(feature.size(), COMPATIBLE_ID_END);
  return end > COMPATIBLE_ID_OFFSET
             ? PaddedText(feature.subspan(COMPATIBLE_ID_OFFSET, end - COMPATIBLE_ID_OFFSET))
             : std::string();
}

} // namespace pelmora::usb
