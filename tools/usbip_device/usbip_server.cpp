// SPDX-License-Identifier: MIT
#include "usbip_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace pelmora::usbip {

namespace {

constexpr std::size_t READ_SIZE = std::size_t{64} * 1024;

std::string PeerName(int socket) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  char text[INET_ADDRSTRLEN] = "?";
  if (getpeername(socket, reinterpret_cast<sockaddr *>(&address), &size) == 0) {
    (void)inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  }
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

} // namespace

Server::~Server() {
  for (const Connection &connection : connections_) {
    close(connection.socket);
  }
}

void Server::Drop(std::size_t index, const std::string &reason) {
  Connection &connection = connections_[index];
  if (!reason.empty()) {
    (void)std::fprintf(stderr, "pelmora-usbip-device: client %s: %s; connection dropped\n",
                       connection.peer.c_str(), reason.c_str());
  }
  close(connection.socket);
  connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(index));
}

void Server::Accept(int listener) {
  const int socket = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (socket < 0) {
    return; // the client left before it was accepted, or descriptors ran out
  }
  const int yes = 1;
  (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  if (connections_.size() >= MOST_CONNECTIONS) {
    for (std::size_t i = 0; i < connections_.size(); ++i) {
      if (!connections_[i].session->Imported()) {
        Drop(i, "more than " + std::to_string(MOST_CONNECTIONS) + " clients connected");
        break;
      }
    }
  }
  if (connections_.size() >= MOST_CONNECTIONS) {
    close(socket);
    return;
  }
  connections_.push_back({socket, PeerName(socket), std::make_unique<Session>(slot_, log_)});
}

bool Server::Write(Connection &connection) {
  emulated::ByteQueue &output = connection.session->Output();
  while (!output.Empty()) {
    const std::span<const std::uint8_t> front = output.Front();
    const ssize_t sent = send(connection.socket, front.data(), front.size(), MSG_NOSIGNAL);
    if (sent < 0) {
      return WouldBlock();
    }
    output.Pop(static_cast<std::size_t>(sent), nullptr);
  }
  return true;
}

bool Server::Serve(Connection &connection, short events) {
  Session &session = *connection.session;
  if (session.Reading() && (events & (POLLIN | POLLHUP | POLLERR)) != 0) {
    std::array<std::uint8_t, READ_SIZE> buffer;
    const ssize_t got = recv(connection.socket, buffer.data(), buffer.size(), 0);
    if (got == 0 || (got < 0 && !WouldBlock())) {
      return false; // the client left
    }
    if (got > 0) {
      session.Receive(Bytes(buffer.data(), static_cast<std::size_t>(got)));
    }
  } else if (!session.Reading() && (events & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
    return false;
  }
  if (!Write(connection)) {
    return false;
  }
  // Room was made: what the client sent meanwhile is served now.
  if (session.Reading()) {
    session.Receive({});
    if (!Write(connection)) {
      return false;
    }
  }
  return session.Failure().empty() && !session.Unplugged();
}

int Server::Serve(int listener, const volatile std::sig_atomic_t &stop, const sigset_t &waitMask) {
  std::vector<pollfd> watched;
  while (stop == 0) {
    watched.assign(1, {listener, POLLIN, 0});
    int timeout = -1;
    for (const Connection &connection : connections_) {
      Session &session = *connection.session;
      short events = session.Reading() ? POLLIN : POLLRDHUP;
      if (!session.Output().Empty()) {
        events |= POLLOUT;
      }
      watched.push_back({connection.socket, events, 0});
      const int next = session.NextEventIn();
      if (next >= 0 && (timeout < 0 || next < timeout)) {
        timeout = next;
      }
    }
    timespec wait{timeout / 1000, (timeout % 1000) * 1000000L};
    if (ppoll(watched.data(), watched.size(), timeout >= 0 ? &wait : nullptr, &waitMask) < 0 &&
        errno != EINTR) {
      std::perror("pelmora-usbip-device: poll");
      return 1;
    }
    if (stop != 0) {
      break;
    }
    // Newest last, so that a connection's index still names its poll entry.
    for (std::size_t i = connections_.size(); i-- > 0;) {
      Connection &connection = connections_[i];
      connection.session->Tick();
      if (!Serve(connection, watched[i + 1].revents)) {
        Drop(i, connection.session->Failure());
      }
    }
    if ((watched[0].revents & POLLIN) != 0) {
      Accept(listener);
    }
  }
  return 0;
}

} // namespace pelmora::usbip
