// SPDX-License-Identifier: MIT
#include "tcp_listener.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace pelmora::emulated {

std::optional<std::uint16_t> PortNumber(const char *text) {
  if (text == nullptr || *text < '0' || *text > '9') {
    return std::nullopt;
  }
  char *end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value > 65535) {
    return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

int ListenOn(const char *tool, in_addr address, std::uint16_t port, int backlog) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  where.sin_addr = address;
  if (listener < 0 || setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes) < 0 ||
      bind(listener, reinterpret_cast<sockaddr *>(&where), sizeof where) < 0 ||
      listen(listener, backlog) < 0) {
    char text[INET_ADDRSTRLEN] = "?";
    (void)inet_ntop(AF_INET, &address, text, sizeof text);
    const std::string what = std::string(tool) + ": listen on " + text;
    std::perror(what.c_str());
    if (listener >= 0) {
      close(listener);
    }
    return -1;
  }
  return listener;
}

std::uint16_t BoundPort(int listener) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
  return ntohs(address.sin_port);
}

bool WritePortFile(const std::string &path, std::uint16_t port) {
  const std::string partial = path + ".partial";
  std::FILE *file = std::fopen(partial.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fprintf(file, "%u\n", port) > 0;
  return std::fclose(file) == 0 && written && std::rename(partial.c_str(), path.c_str()) == 0;
}

} // namespace pelmora::emulated
