// SPDX-License-Identifier: MIT
// Taking one waiting request out of those a device tool keeps, when the host
// takes it back.
#pragma once

#include <algorithm>
#include <optional>
#include <utility>

namespace pelmora::emulated {

// The first element that matches, taken out of the container; nothing when
// none does.
template <typename Container, typename Match>
std::optional<typename Container::value_type> TakeFirst(Container &container, Match match) {
  const auto found = std::find_if(container.begin(), container.end(), match);
  if (found == container.end()) {
    return std::nullopt;
  }
  auto taken = std::move(*found);
  container.erase(found);
  return taken;
}

} // namespace pelmora::emulated
