// SPDX-License-Identifier: MIT
// A usbredir peer playing QEMU's part against the device server, which it
// starts as USBREDIR_DEVICE with the options given, on a real socket.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "process_status.h"

extern char **environ;

namespace usbredir_peer {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

struct Reply {
  std::uint8_t status = 0;
  std::uint32_t length = 0;
  Bytes data;
};

// One peer playing QEMU's part: a usbredir parser on the guest side, plus a
// way around it for packets no well-behaved peer would send.
class Peer {
public:
  explicit Peer(std::vector<std::string> options) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() /
        ("usbredir-peer-" + std::to_string(getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(dir);
    dir_ = dir;
    portFile_ = dir / "port";
    errorFile_ = dir / "stderr";
    std::vector<std::string> arguments = {USBREDIR_DEVICE, "--port-file", portFile_.string()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile_.c_str(), O_WRONLY | O_CREAT, 0600);
    if (posix_spawn(&server_, USBREDIR_DEVICE, &actions, nullptr, argv.data(), environ) != 0) {
      server_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }

  ~Peer() {
    if (socket_ >= 0) {
      close(socket_);
    }
    if (parser_ != nullptr) {
      usbredirparser_destroy(parser_);
    }
    if (server_ > 0 && !waited_) {
      kill(server_, SIGKILL);
      waitpid(server_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Connects and exchanges hellos; true once the device is announced.
  bool Connect() {
    std::uint16_t port = 0;
    for (int i = 0; i < 200 && port == 0; ++i) {
      std::ifstream file(portFile_);
      if (!(file >> port)) {
        std::this_thread::sleep_for(10ms);
      }
    }
    socket_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (port == 0 || connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address)) {
      return false;
    }
    SetUpParser();
    return PumpUntil([this] { return connected_; });
  }

  // Sends a packet through the parser, as a well-behaved peer would.
  void Control(std::uint64_t id, std::uint8_t requestType, std::uint8_t request,
               std::uint16_t value, std::uint16_t index, std::uint16_t length) {
    usb_redir_control_packet_header header{0, request, requestType, 0, value, index, length};
    header.endpoint = requestType & 0x80;
    usbredirparser_send_control_packet(parser_, id, &header, nullptr, 0);
    Flush();
  }

  void Bulk(std::uint64_t id, std::uint8_t endpoint, std::uint32_t length, Bytes data = {}) {
    usb_redir_bulk_packet_header header{};
    header.endpoint = endpoint;
    header.length = static_cast<std::uint16_t>(length);
    header.length_high = static_cast<std::uint16_t>(length >> 16);
    usbredirparser_send_bulk_packet(parser_, id, &header, data.empty() ? nullptr : data.data(),
                                    static_cast<int>(data.size()));
    Flush();
  }

  void Cancel(std::uint64_t id) {
    usbredirparser_send_cancel_data_packet(parser_, id);
    Flush();
  }

  // A packet with any type, type header and data, framed as with 64-bit ids,
  // appended to packets.
  static void Frame(Bytes &packets, std::uint32_t type, const Bytes &typeHeader, const Bytes &data,
                    std::uint64_t id) {
    const std::size_t start = packets.size();
    packets.resize(start + 16);
    const auto length = static_cast<std::uint32_t>(typeHeader.size() + data.size());
    std::memcpy(&packets[start], &type, 4);
    std::memcpy(&packets[start + 4], &length, 4);
    std::memcpy(&packets[start + 8], &id, 8);
    packets.insert(packets.end(), typeHeader.begin(), typeHeader.end());
    packets.insert(packets.end(), data.begin(), data.end());
  }

  // A framed packet with any type, type header and data, bypassing checks.
  bool Raw(std::uint32_t type, const Bytes &typeHeader, const Bytes &data, std::uint64_t id) {
    Bytes packet;
    Frame(packet, type, typeHeader, data, id);
    return RawBytes(packet);
  }

  // False when the socket did not take the bytes whole.
  bool RawBytes(const Bytes &bytes) {
    Flush();
    return send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Sends what the socket takes of bytes without blocking, until all is sent
  // or the socket stays full for patience; how many bytes it took.
  std::size_t Offer(const Bytes &bytes, std::chrono::milliseconds patience) {
    Flush();
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const ssize_t took =
          send(socket_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (took > 0) {
        sent += static_cast<std::size_t>(took);
        continue;
      }
      pollfd watched{socket_, POLLOUT, 0};
      if ((took < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
          poll(&watched, 1, static_cast<int>(patience.count())) <= 0) {
        break;
      }
    }
    return sent;
  }

  std::optional<Reply> Await(std::uint64_t id, std::chrono::milliseconds limit = 3000ms) {
    PumpUntil([&] { return replies_.contains(id); }, limit);
    const auto found = replies_.find(id);
    if (found == replies_.end()) {
      return std::nullopt;
    }
    Reply reply = found->second;
    replies_.erase(found);
    return reply;
  }

  // Closes the connection; the server's exit status (0 expected).
  int Hangup() {
    close(socket_);
    socket_ = -1;
    int status = 0;
    for (int i = 0; i < 300; ++i) {
      if (waitpid(server_, &status, WNOHANG) == server_) {
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  pid_t ServerPid() const { return server_; }

  // A field of the server's /proc/PID/status in KiB, 0 when it cannot be read.
  long ServerStatusKib(const std::string &field) const {
    return process_status::StatusKib(server_, field);
  }

  // Whether the server still runs.
  bool ServerRuns() {
    if (server_ <= 0 || waited_) {
      return false;
    }
    int status = 0;
    if (waitpid(server_, &status, WNOHANG) == server_) {
      waited_ = true;
      return false;
    }
    return true;
  }

  std::string ServerErrors() const {
    std::ifstream file(errorFile_);
    return {std::istreambuf_iterator<char>(file), {}};
  }

  usb_redir_device_connect_header device{};
  usb_redir_ep_info_header endpoints{};
  usb_redir_interface_info_header interfaces{};

private:
  static Peer &Of(void *priv) { return *static_cast<Peer *>(priv); }

  void SetUpParser() {
    parser_ = usbredirparser_create();
    parser_->priv = this;
    parser_->log_func = [](void *, int, const char *) {};
    parser_->read_func = [](void *priv, std::uint8_t *data, int count) -> int {
      const ssize_t got =
          recv(Of(priv).socket_, data, static_cast<std::size_t>(count), MSG_DONTWAIT);
      if (got > 0) {
        return static_cast<int>(got);
      }
      return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    };
    parser_->write_func = [](void *priv, std::uint8_t *data, int count) -> int {
      const ssize_t sent =
          send(Of(priv).socket_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
      return sent < 0 ? -1 : static_cast<int>(sent);
    };
    parser_->device_connect_func = [](void *priv, usb_redir_device_connect_header *header) {
      Of(priv).device = *header;
      Of(priv).connected_ = true;
    };
    parser_->interface_info_func = [](void *priv, usb_redir_interface_info_header *header) {
      Of(priv).interfaces = *header;
    };
    parser_->ep_info_func = [](void *priv, usb_redir_ep_info_header *header) {
      Of(priv).endpoints = *header;
    };
    parser_->control_packet_func = [](void *priv, std::uint64_t id,
                                      usb_redir_control_packet_header *header, std::uint8_t *data,
                                      int length) {
      Peer &self = Of(priv);
      self.replies_[id] = {header->status, header->length, Bytes(data, data + length)};
      usbredirparser_free_packet_data(self.parser_, data);
    };
    parser_->bulk_packet_func = [](void *priv, std::uint64_t id,
                                   usb_redir_bulk_packet_header *header, std::uint8_t *data,
                                   int length) {
      Peer &self = Of(priv);
      self.replies_[id] = {header->status,
                           header->length | (static_cast<std::uint32_t>(header->length_high) << 16),
                           Bytes(data, data + length)};
      usbredirparser_free_packet_data(self.parser_, data);
    };
    parser_->alt_setting_status_func = [](void *priv, std::uint64_t id,
                                          usb_redir_alt_setting_status_header *header) {
      Of(priv).replies_[id] = {header->status, 0, {}};
    };
    // Status packets of requests the tests send but do not look at.
    parser_->configuration_status_func = [](void *, std::uint64_t,
                                            usb_redir_configuration_status_header *) {};
    parser_->iso_stream_status_func = [](void *, std::uint64_t,
                                         usb_redir_iso_stream_status_header *) {};
    parser_->interrupt_receiving_status_func = [](void *, std::uint64_t,
                                                  usb_redir_interrupt_receiving_status_header *) {};
    parser_->bulk_streams_status_func = [](void *, std::uint64_t,
                                           usb_redir_bulk_streams_status_header *) {};
    parser_->bulk_receiving_status_func = [](void *, std::uint64_t,
                                             usb_redir_bulk_receiving_status_header *) {};
    parser_->device_disconnect_func = [](void *) {};
    std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (const int cap :
         {usb_redir_cap_connect_device_version, usb_redir_cap_ep_info_max_packet_size,
          usb_redir_cap_64bits_ids, usb_redir_cap_32bits_bulk_length}) {
      usbredirparser_caps_set_cap(caps, cap);
    }
    usbredirparser_init(parser_, "usbredir-peer-test", caps, USB_REDIR_CAPS_SIZE, 0);
    Flush();
  }

  void Flush() {
    while (usbredirparser_has_data_to_write(parser_) > 0) {
      if (usbredirparser_do_write(parser_) < 0) {
        return;
      }
    }
  }

  bool PumpUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
      pollfd watched{socket_, POLLIN, 0};
      if (poll(&watched, 1, 20) > 0 && usbredirparser_do_read(parser_) == -1) {
        return false;
      }
      Flush();
    }
    return done();
  }

  static inline int counter_ = 0;
  std::filesystem::path dir_;
  std::filesystem::path portFile_;
  std::filesystem::path errorFile_;
  pid_t server_ = -1;
  bool waited_ = false;
  int socket_ = -1;
  usbredirparser *parser_ = nullptr;
  bool connected_ = false;
  std::map<std::uint64_t, Reply> replies_;
};

} // namespace usbredir_peer
