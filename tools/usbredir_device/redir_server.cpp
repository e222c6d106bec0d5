// Serves the loopback device to one QEMU usb-redir client over TCP on
// 127.0.0.1, and logs every transfer's length, one line each.
//
//   pelmora-usbredir-device [--port=N] [--port-file=PATH] [--log=PATH] [device options]
//
// Device options: --descriptors=ms-os-2.0|ms-os-1.0, --interface-class={GUID},
// --stall-out, --disconnect-when-drained, --in-packet=N.
#include "device_model.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace usbredir_device;
using Clock = std::chrono::steady_clock;

// A bulk IN request waiting for data.
struct ParkedIn {
  std::uint64_t id;
  std::uint32_t requested;
};

const char *StatusName(int status) {
  switch (status) {
  case usb_redir_success:
    return "success";
  case usb_redir_cancelled:
    return "cancelled";
  case usb_redir_stall:
    return "stall";
  case usb_redir_babble:
    return "babble";
  case usb_redir_ioerror:
    return "ioerror";
  default:
    return "inval";
  }
}

std::uint8_t RedirStatus(Status status) {
  switch (status) {
  case Status::Success:
    return usb_redir_success;
  case Status::Stall:
    return usb_redir_stall;
  case Status::Babble:
    return usb_redir_babble;
  }
  return usb_redir_ioerror;
}

class Server {
public:
  Server(DeviceModel model, std::FILE *log) : model_(std::move(model)), log_(log) {}
  ~Server() {
    if (parser_ != nullptr) {
      usbredirparser_destroy(parser_);
    }
  }

  int Serve(int socket);

private:
  static Server &Of(void *priv) { return *static_cast<Server *>(priv); }

  void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void SetUpParser();
  void Announce();
  void ServeParkedReads();
  void SendBulk(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status, std::uint32_t length,
                std::uint8_t *data, int dataLength);
  void Unplug();

  void OnControl(std::uint64_t id, usb_redir_control_packet_header *header, std::uint8_t *data,
                 int dataLength);
  void OnBulk(std::uint64_t id, usb_redir_bulk_packet_header *header, std::uint8_t *data,
              int dataLength);
  void OnCancel(std::uint64_t id);

  DeviceModel model_;
  std::FILE *log_;
  usbredirparser *parser_ = nullptr;
  int socket_ = -1;
  bool closed_ = false;
  bool connected_ = false;
  std::deque<ParkedIn> parked_;
  std::optional<Clock::time_point> unplugAt_;
};

void Server::Log(const char *format, ...) {
  if (log_ == nullptr) {
    return;
  }
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(log_, format, arguments);
  va_end(arguments);
  std::fputc('\n', log_);
  std::fflush(log_);
}

void Server::SendBulk(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status,
                      std::uint32_t length, std::uint8_t *data, int dataLength) {
  usb_redir_bulk_packet_header header{};
  header.endpoint = endpoint;
  header.status = status;
  header.length = static_cast<std::uint16_t>(length);
  header.length_high = static_cast<std::uint16_t>(length >> 16);
  usbredirparser_send_bulk_packet(parser_, id, &header, data, dataLength);
}

void Server::Announce() {
  usb_redir_interface_info_header interfaces{};
  interfaces.interface_count = 1;
  interfaces.interface[0] = 0;
  interfaces.interface_class[0] = 0xFF;
  usbredirparser_send_interface_info(parser_, &interfaces);

  // Endpoint slots: OUT endpoints 0-15, IN endpoints 16-31.
  usb_redir_ep_info_header endpoints{};
  std::memset(endpoints.type, usb_redir_type_invalid, sizeof endpoints.type);
  endpoints.type[0] = usb_redir_type_control;
  endpoints.type[16] = usb_redir_type_control;
  endpoints.max_packet_size[0] = endpoints.max_packet_size[16] = 64;
  endpoints.type[BULK_OUT_ENDPOINT & 0x0F] = usb_redir_type_bulk;
  endpoints.max_packet_size[BULK_OUT_ENDPOINT & 0x0F] = BULK_MAX_PACKET;
  endpoints.type[16 + (BULK_IN_ENDPOINT & 0x0F)] = usb_redir_type_bulk;
  endpoints.max_packet_size[16 + (BULK_IN_ENDPOINT & 0x0F)] = BULK_MAX_PACKET;
  const int interrupt = 16 + (INTERRUPT_IN_ENDPOINT & 0x0F);
  endpoints.type[interrupt] = usb_redir_type_interrupt;
  endpoints.interval[interrupt] = 4;
  endpoints.max_packet_size[interrupt] = INTERRUPT_MAX_PACKET;
  usbredirparser_send_ep_info(parser_, &endpoints);

  usb_redir_device_connect_header device{};
  device.speed = usb_redir_speed_high;
  device.vendor_id = VENDOR_ID;
  device.product_id = PRODUCT_ID;
  device.device_version_bcd = 0x0100;
  usbredirparser_send_device_connect(parser_, &device);
  connected_ = true;
  Log("connect");
}

void Server::Unplug() {
  usbredirparser_send_device_disconnect(parser_);
  connected_ = false;
  parked_.clear(); // the client fails its own outstanding requests
  unplugAt_.reset();
  Log("disconnect");
}

void Server::ServeParkedReads() {
  while (connected_ && !parked_.empty()) {
    const ParkedIn request = parked_.front();
    std::optional<InResult> result = model_.BulkIn(request.requested);
    if (!result) {
      break;
    }
    parked_.pop_front();
    Log("in %u -> %s %zu", request.requested, StatusName(RedirStatus(result->status)),
        result->data.size());
    SendBulk(request.id, BULK_IN_ENDPOINT, RedirStatus(result->status),
             static_cast<std::uint32_t>(result->data.size()), result->data.data(),
             static_cast<int>(result->data.size()));
  }
  if (model_.Options().disconnectWhenDrained && connected_ && !parked_.empty() &&
      model_.BytesDelivered() > 0 && !unplugAt_) {
    // Unplug while the read is outstanding, not before it reached the device.
    unplugAt_ = Clock::now() + std::chrono::milliseconds(300);
  }
}

void Server::OnControl(std::uint64_t id, usb_redir_control_packet_header *header,
                       std::uint8_t *data, int dataLength) {
  const std::span<const std::uint8_t> out =
      data != nullptr && dataLength > 0
          ? std::span<const std::uint8_t>(data, static_cast<std::size_t>(dataLength))
          : std::span<const std::uint8_t>();
  usb_redir_control_packet_header reply = *header;
  ControlResult result{Status::Stall, {}};
  if ((header->endpoint & 0x7F) == 0 && connected_) {
    result = model_.Control(
        {header->requesttype, header->request, header->value, header->index, header->length}, out);
  }
  reply.status = RedirStatus(result.status);
  const bool in = (header->requesttype & 0x80) != 0;
  reply.length = static_cast<std::uint16_t>(in ? result.data.size() : out.size());
  Log("control %02x %02x %04x %04x %u -> %s %u", header->requesttype, header->request,
      header->value, header->index, header->length, StatusName(reply.status), reply.length);
  usbredirparser_send_control_packet(parser_, id, &reply, in ? result.data.data() : nullptr,
                                     in ? static_cast<int>(result.data.size()) : 0);
}

void Server::OnBulk(std::uint64_t id, usb_redir_bulk_packet_header *header, std::uint8_t *data,
                    int dataLength) {
  const std::uint32_t length =
      header->length | (static_cast<std::uint32_t>(header->length_high) << 16);
  if (connected_ && header->endpoint == BULK_OUT_ENDPOINT) {
    const std::size_t size =
        data != nullptr && dataLength > 0 ? static_cast<std::size_t>(dataLength) : 0;
    const Status status = model_.BulkOut({data, size});
    const std::uint32_t taken = status == Status::Success ? static_cast<std::uint32_t>(size) : 0;
    Log("out %zu -> %s %u", size, StatusName(RedirStatus(status)), taken);
    // The completion carries the length and no data, or the client drops it.
    SendBulk(id, BULK_OUT_ENDPOINT, RedirStatus(status), taken, nullptr, 0);
    ServeParkedReads();
  } else if (connected_ && header->endpoint == BULK_IN_ENDPOINT) {
    parked_.push_back({id, length});
    ServeParkedReads();
    if (!parked_.empty() && parked_.back().id == id) {
      Log("in %u waits", length);
    }
  } else {
    Log("bulk %02x %u -> inval 0", header->endpoint, length);
    SendBulk(id, header->endpoint, usb_redir_inval, 0, nullptr, 0);
  }
}

void Server::OnCancel(std::uint64_t id) {
  for (auto it = parked_.begin(); it != parked_.end(); ++it) {
    if (it->id == id) {
      Log("in %u -> cancelled 0", it->requested);
      SendBulk(id, BULK_IN_ENDPOINT, usb_redir_cancelled, 0, nullptr, 0);
      parked_.erase(it);
      return;
    }
  }
}

void Server::SetUpParser() {
  parser_ = usbredirparser_create();
  if (parser_ == nullptr) {
    std::fprintf(stderr, "cannot create the usbredir parser\n");
    std::exit(1);
  }
  parser_->priv = this;
  parser_->log_func = [](void *, int level, const char *message) {
    if (level <= 2) { // errors and warnings only
      std::fprintf(stderr, "usbredir: %s\n", message);
    }
  };
  parser_->read_func = [](void *priv, std::uint8_t *data, int count) -> int {
    Server &self = Of(priv);
    const ssize_t got = recv(self.socket_, data, static_cast<std::size_t>(count), 0);
    if (got > 0) {
      return static_cast<int>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return 0;
    }
    self.closed_ = true;
    return -1;
  };
  parser_->write_func = [](void *priv, std::uint8_t *data, int count) -> int {
    Server &self = Of(priv);
    const ssize_t sent = send(self.socket_, data, static_cast<std::size_t>(count), MSG_NOSIGNAL);
    if (sent >= 0) {
      return static_cast<int>(sent);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return 0;
    }
    self.closed_ = true;
    return -1;
  };
  parser_->hello_func = [](void *priv, usb_redir_hello_header *) { Of(priv).Announce(); };
  parser_->reset_func = [](void *priv) { Of(priv).Log("reset"); };
  parser_->set_configuration_func = [](void *priv, std::uint64_t id,
                                       usb_redir_set_configuration_header *header) {
    Server &self = Of(priv);
    const bool known = header->configuration <= 1;
    usb_redir_configuration_status_header status{
        static_cast<std::uint8_t>(known ? usb_redir_success : usb_redir_stall),
        header->configuration};
    self.Log("set_configuration %u -> %s", header->configuration, StatusName(status.status));
    usbredirparser_send_configuration_status(self.parser_, id, &status);
  };
  parser_->get_configuration_func = [](void *priv, std::uint64_t id) {
    usb_redir_configuration_status_header status{usb_redir_success, 1};
    usbredirparser_send_configuration_status(Of(priv).parser_, id, &status);
  };
  parser_->set_alt_setting_func = [](void *priv, std::uint64_t id,
                                     usb_redir_set_alt_setting_header *header) {
    Server &self = Of(priv);
    const bool known = header->interface == 0 && header->alt == 0;
    usb_redir_alt_setting_status_header status{
        static_cast<std::uint8_t>(known ? usb_redir_success : usb_redir_inval), header->interface,
        header->alt};
    self.Log("set_alt_setting %u %u -> %s", header->interface, header->alt,
             StatusName(status.status));
    usbredirparser_send_alt_setting_status(self.parser_, id, &status);
  };
  parser_->get_alt_setting_func = [](void *priv, std::uint64_t id,
                                     usb_redir_get_alt_setting_header *header) {
    const bool known = header->interface == 0;
    usb_redir_alt_setting_status_header status{
        static_cast<std::uint8_t>(known ? usb_redir_success : usb_redir_inval), header->interface,
        0};
    usbredirparser_send_alt_setting_status(Of(priv).parser_, id, &status);
  };
  parser_->start_iso_stream_func = [](void *priv, std::uint64_t id,
                                      usb_redir_start_iso_stream_header *header) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, header->endpoint};
    usbredirparser_send_iso_stream_status(Of(priv).parser_, id, &status);
  };
  parser_->stop_iso_stream_func = [](void *priv, std::uint64_t id,
                                     usb_redir_stop_iso_stream_header *header) {
    usb_redir_iso_stream_status_header status{usb_redir_inval, header->endpoint};
    usbredirparser_send_iso_stream_status(Of(priv).parser_, id, &status);
  };
  // The interrupt endpoint exists for the pipe map; it never has data.
  parser_->start_interrupt_receiving_func = [](void *priv, std::uint64_t id,
                                               usb_redir_start_interrupt_receiving_header *header) {
    const bool known = header->endpoint == INTERRUPT_IN_ENDPOINT;
    usb_redir_interrupt_receiving_status_header status{
        static_cast<std::uint8_t>(known ? usb_redir_success : usb_redir_inval), header->endpoint};
    usbredirparser_send_interrupt_receiving_status(Of(priv).parser_, id, &status);
  };
  parser_->stop_interrupt_receiving_func = [](void *priv, std::uint64_t id,
                                              usb_redir_stop_interrupt_receiving_header *header) {
    usb_redir_interrupt_receiving_status_header status{usb_redir_success, header->endpoint};
    usbredirparser_send_interrupt_receiving_status(Of(priv).parser_, id, &status);
  };
  parser_->alloc_bulk_streams_func = [](void *priv, std::uint64_t id,
                                        usb_redir_alloc_bulk_streams_header *header) {
    usb_redir_bulk_streams_status_header status{header->endpoints, header->no_streams,
                                                usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Of(priv).parser_, id, &status);
  };
  parser_->free_bulk_streams_func = [](void *priv, std::uint64_t id,
                                       usb_redir_free_bulk_streams_header *header) {
    usb_redir_bulk_streams_status_header status{header->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Of(priv).parser_, id, &status);
  };
  parser_->start_bulk_receiving_func = [](void *priv, std::uint64_t id,
                                          usb_redir_start_bulk_receiving_header *header) {
    usb_redir_bulk_receiving_status_header status{header->stream_id, header->endpoint,
                                                  usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Of(priv).parser_, id, &status);
  };
  parser_->stop_bulk_receiving_func = [](void *priv, std::uint64_t id,
                                         usb_redir_stop_bulk_receiving_header *header) {
    usb_redir_bulk_receiving_status_header status{header->stream_id, header->endpoint,
                                                  usb_redir_success};
    usbredirparser_send_bulk_receiving_status(Of(priv).parser_, id, &status);
  };
  parser_->filter_filter_func = [](void *, usbredirfilter_rule *rules, int) { std::free(rules); };
  parser_->cancel_data_packet_func = [](void *priv, std::uint64_t id) { Of(priv).OnCancel(id); };
  parser_->control_packet_func = [](void *priv, std::uint64_t id,
                                    usb_redir_control_packet_header *header, std::uint8_t *data,
                                    int dataLength) {
    Server &self = Of(priv);
    self.OnControl(id, header, data, dataLength);
    usbredirparser_free_packet_data(self.parser_, data);
  };
  parser_->bulk_packet_func = [](void *priv, std::uint64_t id, usb_redir_bulk_packet_header *header,
                                 std::uint8_t *data, int dataLength) {
    Server &self = Of(priv);
    self.OnBulk(id, header, data, dataLength);
    usbredirparser_free_packet_data(self.parser_, data);
  };
  parser_->iso_packet_func = [](void *priv, std::uint64_t, usb_redir_iso_packet_header *,
                                std::uint8_t *data,
                                int) { usbredirparser_free_packet_data(Of(priv).parser_, data); };
  parser_->interrupt_packet_func =
      [](void *priv, std::uint64_t, usb_redir_interrupt_packet_header *, std::uint8_t *data, int) {
        usbredirparser_free_packet_data(Of(priv).parser_, data);
      };

  std::uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_init(parser_, "pelmora-usbredir-device", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
}

int Server::Serve(int socket) {
  socket_ = socket;
  SetUpParser();
  while (!closed_) {
    pollfd watched{socket_, POLLIN, 0};
    if (usbredirparser_has_data_to_write(parser_) > 0) {
      watched.events |= POLLOUT;
    }
    int timeout = -1;
    if (unplugAt_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*unplugAt_ - Clock::now());
      timeout = static_cast<int>(std::max<long long>(0, left.count()));
    }
    if (poll(&watched, 1, timeout) < 0 && errno != EINTR) {
      std::perror("poll");
      return 1;
    }
    if (unplugAt_ && Clock::now() >= *unplugAt_) {
      Unplug();
    }
    if (watched.revents & (POLLIN | POLLHUP | POLLERR)) {
      const int result = usbredirparser_do_read(parser_);
      if (result == usbredirparser_read_parse_error) {
        Log("parse error"); // the parser skips the bad packet
      } else if (result < 0) {
        closed_ = true;
      }
    }
    if (usbredirparser_has_data_to_write(parser_) > 0 && usbredirparser_do_write(parser_) < 0) {
      closed_ = true;
    }
  }
  Log("closed");
  return 0;
}

int Listen(std::uint16_t port) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
      listen(listener, 1) < 0) {
    std::perror("listen on 127.0.0.1");
    std::exit(1);
  }
  return listener;
}

std::uint16_t BoundPort(int listener) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
  return ntohs(address.sin_port);
}

} // namespace

int main(int argc, char **argv) {
  std::string portFile;
  std::string logPath;
  std::uint32_t port = 0;
  std::vector<std::string> deviceArguments;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.starts_with("--port=")) {
      port = static_cast<std::uint32_t>(std::strtoul(argv[i] + 7, nullptr, 10));
    } else if (argument.starts_with("--port-file=")) {
      portFile = argument.substr(12);
    } else if (argument.starts_with("--log=")) {
      logPath = argument.substr(6);
    } else {
      deviceArguments.emplace_back(argument);
    }
  }
  std::string error;
  const std::optional<DeviceOptions> options = ParseOptions(deviceArguments, error);
  if (!options || port > 65535) {
    std::fprintf(stderr, "%s\n", options ? "bad port" : error.c_str());
    return 2;
  }

  std::unique_ptr<std::FILE, int (*)(std::FILE *)> log(nullptr, std::fclose);
  if (!logPath.empty()) {
    log.reset(std::fopen(logPath.c_str(), "w"));
    if (!log) {
      std::perror(logPath.c_str());
      return 1;
    }
  }

  const int listener = Listen(static_cast<std::uint16_t>(port));
  const std::uint16_t bound = BoundPort(listener);
  if (!portFile.empty()) {
    // Written whole and renamed, so a reader never sees half a number.
    const std::string partial = portFile + ".partial";
    std::FILE *file = std::fopen(partial.c_str(), "w");
    if (file == nullptr || std::fprintf(file, "%u\n", bound) < 0 || std::fclose(file) != 0 ||
        std::rename(partial.c_str(), portFile.c_str()) != 0) {
      std::perror(portFile.c_str());
      return 1;
    }
  }
  std::printf("listening on 127.0.0.1:%u\n", bound);
  std::fflush(stdout);

  const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  close(listener);
  if (client < 0) {
    std::perror("accept");
    return 1;
  }
  const int yes = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  Server server(DeviceModel(*options), log.get());
  const int status = server.Serve(client);
  close(client);
  return status;
}
