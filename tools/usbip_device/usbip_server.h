// SPDX-License-Identifier: MIT
// Accepts USB/IP clients and carries bytes between each one's socket and its
// session: any client may list the device, one at a time imports it.
#pragma once

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "device_slot.h"
#include "usbip_session.h"

namespace pelmora::usbip {

// The most clients connected at once; a newcomer beyond it displaces the
// longest-connected client that imported nothing.
inline constexpr std::size_t MOST_CONNECTIONS = 8;

class Server {
public:
  Server(DeviceSlot &slot, std::FILE *log) : slot_(slot), log_(log) {}
  ~Server();
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  // Serves clients of the listening socket until stop is set, by a signal
  // that waitMask lets through while the server waits; closes every
  // connection then. Returns the exit status.
  int Serve(int listener, const volatile std::sig_atomic_t &stop, const sigset_t &waitMask);

private:
  struct Connection {
    int socket;
    std::string peer;
    std::unique_ptr<Session> session;
  };

  void Accept(int listener);
  // Carries the connection's bytes both ways; false once it must close.
  bool Serve(Connection &connection, short events);
  bool Write(Connection &connection);
  void Drop(std::size_t index, const std::string &reason);

  DeviceSlot &slot_;
  std::FILE *log_;
  std::vector<Connection> connections_;
};

} // namespace pelmora::usbip
