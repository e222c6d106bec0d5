// SPDX-License-Identifier: MIT
// Device paths that name one function of a USB device: its usbfs node and
// the number of the function's first interface, "/dev/bus/usb/BBB/DDD:N".
// The open reads the number back and keeps it with the descriptor it opened,
// for the binding to claim.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace pelmora::linux_platform {

struct FunctionPath {
  std::string node;
  std::uint8_t firstInterface = 0;
};

std::string FunctionPathText(const FunctionPath &path);

// A path without ":N" names interface 0 of its node; nothing when the number
// is not a decimal from 0 to 255.
std::optional<FunctionPath> ParseFunctionPath(const std::string &path);

// Records the function that fd was opened for.
void RememberFunction(int fd, std::uint8_t firstInterface);
// The first interface of the function fd was opened for; 0 for a descriptor
// that no path opened, or that was closed and reused since.
std::uint8_t FunctionOf(int fd);

} // namespace pelmora::linux_platform
