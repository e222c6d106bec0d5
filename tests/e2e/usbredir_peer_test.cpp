// SPDX-License-Identifier: MIT
// The usbredir device server against a scripted peer on a real socket: what
// QEMU relies on (announcement, loopback, parked reads, cancel), and that
// malformed or hostile packets neither crash it nor stop it answering.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

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

  // A framed packet with any type, type header and data, bypassing checks.
  void Raw(std::uint32_t type, const Bytes &typeHeader, const Bytes &data, std::uint64_t id) {
    Bytes packet(16);
    const auto length = static_cast<std::uint32_t>(typeHeader.size() + data.size());
    std::memcpy(&packet[0], &type, 4);
    std::memcpy(&packet[4], &length, 4);
    std::memcpy(&packet[8], &id, 8);
    packet.insert(packet.end(), typeHeader.begin(), typeHeader.end());
    packet.insert(packet.end(), data.begin(), data.end());
    RawBytes(packet);
  }

  void RawBytes(const Bytes &bytes) {
    Flush();
    ASSERT_EQ(send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
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

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return bytes;
}

TEST(UsbredirDevice, AnnouncesAHighSpeedDeviceWithItsEndpointsBeforeConnecting) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  EXPECT_EQ(peer.device.speed, usb_redir_speed_high);
  EXPECT_EQ(peer.device.vendor_id, 0x1209);
  EXPECT_EQ(peer.interfaces.interface_count, 1u);
  EXPECT_EQ(peer.interfaces.interface_class[0], 0xFF);
  EXPECT_EQ(peer.endpoints.type[0x01], usb_redir_type_bulk);
  EXPECT_EQ(peer.endpoints.max_packet_size[0x01], 512);
  EXPECT_EQ(peer.endpoints.type[16 + 0x01], usb_redir_type_bulk);
  EXPECT_EQ(peer.endpoints.type[16 + 0x03], usb_redir_type_interrupt);
  EXPECT_EQ(peer.endpoints.type[0x02], usb_redir_type_invalid);
}

TEST(UsbredirDevice, AnswersDescriptorRequestsCutToTheRequestedLength) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  peer.Control(1, 0x80, 6, 0x0100, 0, 8);
  const auto head = peer.Await(1);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, usb_redir_success);
  ASSERT_EQ(head->data.size(), 8u);
  EXPECT_EQ(head->data[1], 1);
  EXPECT_EQ(head->data[2] | head->data[3] << 8, 0x0210); // so the kernel reads the BOS

  peer.Control(2, 0x80, 6, 0x0F00, 0, 0xFFFF);
  const auto bos = peer.Await(2);
  ASSERT_TRUE(bos);
  ASSERT_GE(bos->data.size(), 5u);
  EXPECT_EQ(bos->length, bos->data.size());
  EXPECT_EQ(bos->data[2] | bos->data[3] << 8, static_cast<int>(bos->data.size()));

  peer.Control(3, 0x80, 6, 0x0700, 0, 64); // no such descriptor
  const auto unknown = peer.Await(3);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, usb_redir_stall);
  EXPECT_TRUE(unknown->data.empty());
}

TEST(UsbredirDevice, LoopsOutDataBackWithOutCompletionsCarryingOnlyTheLength) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  const Bytes sent = Pattern(1000);
  peer.Bulk(1, 0x01, 1000, sent);
  const auto out = peer.Await(1);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, usb_redir_success);
  EXPECT_EQ(out->length, 1000u);
  EXPECT_TRUE(out->data.empty());

  peer.Bulk(2, 0x81, 4096);
  const auto in = peer.Await(2);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->status, usb_redir_success);
  EXPECT_EQ(in->data, sent);
}

TEST(UsbredirDevice, ParksAReadUntilDataArrivesAndAnswersACancelAsCancelled) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  peer.Bulk(1, 0x81, 512);
  EXPECT_FALSE(peer.Await(1, 300ms));
  peer.Bulk(2, 0x01, 3, {1, 2, 3});
  ASSERT_TRUE(peer.Await(2));
  const auto parked = peer.Await(1);
  ASSERT_TRUE(parked);
  EXPECT_EQ(parked->data, (Bytes{1, 2, 3}));

  peer.Bulk(3, 0x81, 512);
  EXPECT_FALSE(peer.Await(3, 200ms));
  peer.Cancel(3);
  const auto cancelled = peer.Await(3);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->status, usb_redir_cancelled);
  EXPECT_TRUE(cancelled->data.empty());
}

TEST(UsbredirDevice, AReadSmallerThanThePacketBabblesAndKeepsOnlyWhatFits) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  peer.Bulk(1, 0x01, 64, Pattern(64));
  ASSERT_TRUE(peer.Await(1));
  peer.Bulk(2, 0x81, 10);
  const auto in = peer.Await(2);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->status, usb_redir_babble);
  const Bytes sent = Pattern(64);
  EXPECT_EQ(in->data, Bytes(sent.begin(), sent.begin() + 10));
}

TEST(UsbredirDevice, UnplugsWithARequestOutstandingWhenScriptedTo) {
  Peer peer({"--disconnect-after", "1"});
  ASSERT_TRUE(peer.Connect());
  peer.Bulk(1, 0x01, 4, {1, 2, 3, 4});
  ASSERT_TRUE(peer.Await(1));
  peer.Bulk(2, 0x81, 512);
  // No answer: the device goes away instead, and the peer fails the request.
  EXPECT_FALSE(peer.Await(2, 1000ms));
  EXPECT_EQ(peer.Hangup(), 0);
}

TEST(UsbredirDevice, AnswersControlRequestsLateWhenScriptedToOrWhenCancelled) {
  Peer peer({"--control-delay", "300"});
  ASSERT_TRUE(peer.Connect());
  peer.Control(1, 0x80, 6, 0x0100, 0, 18);
  EXPECT_FALSE(peer.Await(1, 150ms));
  const auto late = peer.Await(1);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->status, usb_redir_success);
  EXPECT_EQ(late->data.size(), 18u);
  peer.Control(2, 0x80, 6, 0x0100, 0, 18);
  peer.Cancel(2);
  const auto cancelled = peer.Await(2, 150ms);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->status, usb_redir_cancelled);
}

// Every packet here is framed correctly but says something no device should
// have to accept; after each the device must still answer a plain request.
TEST(UsbredirDevice, SurvivesHostilePacketsAndKeepsAnswering) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  std::uint64_t id = 100;
  const auto stillAnswers = [&peer, &id](const char *after) {
    const std::uint64_t probe = ++id;
    peer.Control(probe, 0x80, 6, 0x0100, 0, 18);
    const auto reply = peer.Await(probe);
    EXPECT_TRUE(reply && reply->data.size() == 18) << "no answer after " << after;
  };
  const auto control = [](std::uint8_t endpoint, std::uint8_t type, std::uint8_t request,
                          std::uint16_t value, std::uint16_t length) {
    return Bytes{endpoint,
                 request,
                 type,
                 0,
                 static_cast<std::uint8_t>(value),
                 static_cast<std::uint8_t>(value >> 8),
                 0,
                 0,
                 static_cast<std::uint8_t>(length),
                 static_cast<std::uint8_t>(length >> 8)};
  };
  const auto bulk = [](std::uint8_t endpoint, std::uint32_t length) {
    return Bytes{endpoint,
                 0,
                 static_cast<std::uint8_t>(length),
                 static_cast<std::uint8_t>(length >> 8),
                 0,
                 0,
                 0,
                 0,
                 static_cast<std::uint8_t>(length >> 16),
                 static_cast<std::uint8_t>(length >> 24)};
  };

  peer.Raw(usb_redir_control_packet, control(0x80, 0x80, 6, 0x0200, 9), Pattern(300), ++id);
  stillAnswers("an IN control request carrying data");
  peer.Raw(usb_redir_control_packet, control(0x00, 0x40, 0x99, 0, 5000), Pattern(5000), ++id);
  stillAnswers("a vendor OUT request with 5000 bytes");
  peer.Raw(usb_redir_control_packet, control(0x05, 0x80, 6, 0x0100, 18), {}, ++id);
  stillAnswers("a control request on endpoint 5");
  peer.Raw(usb_redir_control_packet, Bytes(3, 0xFF), {}, ++id);
  stillAnswers("a control packet with a cut type header");
  peer.Raw(usb_redir_bulk_packet, bulk(0x01, 10), Pattern(20), ++id);
  stillAnswers("a bulk OUT packet longer than its header says");
  peer.Raw(usb_redir_bulk_packet, bulk(0x8F, 0xFFFFFFFF), {}, ++id);
  stillAnswers("a 4 GiB read from an endpoint that does not exist");
  peer.Raw(usb_redir_bulk_packet, bulk(0x07, 8), Pattern(8), ++id);
  stillAnswers("a write to an endpoint that does not exist");
  peer.Raw(usb_redir_interrupt_packet, Bytes{0x02, 0, 4, 0}, Pattern(4), ++id);
  stillAnswers("an interrupt OUT packet");
  peer.Raw(usb_redir_iso_packet, Bytes{0x81, 0, 0, 1}, {}, ++id);
  stillAnswers("an iso packet");
  peer.Raw(usb_redir_set_alt_setting, Bytes{7, 3}, {}, ++id);
  const auto alternate = peer.Await(id);
  ASSERT_TRUE(alternate);
  EXPECT_EQ(alternate->status, usb_redir_inval);
  peer.Raw(usb_redir_start_iso_stream, Bytes{0x81, 8, 4}, {}, ++id);
  peer.Raw(usb_redir_alloc_bulk_streams, Bytes(8, 0xFF), {}, ++id);
  peer.Raw(usb_redir_start_bulk_receiving, Bytes{0, 0, 0, 0, 0, 16, 0, 0, 0x81, 4}, {}, ++id);
  peer.Raw(usb_redir_cancel_data_packet, {}, {}, 987654321);
  peer.Raw(usb_redir_filter_filter, {}, Bytes{'x', ',', 0}, ++id);
  peer.Raw(usb_redir_hello, Bytes(64, 'h'), Bytes(4, 0xFF), ++id);
  peer.Raw(4242, Bytes(4, 0), {}, ++id);
  stillAnswers("stream, filter, hello and unknown packets");

  const Bytes sent = Pattern(100);
  peer.Bulk(++id, 0x01, 100, sent);
  ASSERT_TRUE(peer.Await(id));
  peer.Bulk(++id, 0x81, 64u << 20); // room for far more than is queued
  const auto back = peer.Await(id);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->data, sent) << "the loopback broke after the hostile packets";

  // Unframed noise last: the stream cannot recover, the server must still end
  // cleanly when the peer goes.
  std::mt19937 random(5);
  Bytes noise(4096);
  for (auto &byte : noise) {
    byte = static_cast<std::uint8_t>(random());
  }
  peer.RawBytes(noise);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(peer.Hangup(), 0) << peer.ServerErrors();
  EXPECT_EQ(peer.ServerErrors().find("Sanitizer"), std::string::npos) << peer.ServerErrors();
}

} // namespace
