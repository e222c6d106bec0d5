// SPDX-License-Identifier: MIT
// The listening socket of a device tool that serves its device over TCP, and
// the port file that tells scripts where it listens.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>

namespace pelmora::emulated {

// A port number from text, 0 to 65535; nothing for anything else.
std::optional<std::uint16_t> PortNumber(const char *text);

// A socket listening on address:port; port 0 takes any free one. On failure
// says why on standard error, after the tool's name, and returns -1.
int ListenOn(const char *tool, in_addr address, std::uint16_t port, int backlog);
std::uint16_t BoundPort(int listener);

// Writes the port whole and renames it into place, so that a reader never
// sees half a number.
bool WritePortFile(const std::string &path, std::uint16_t port);

} // namespace pelmora::emulated
