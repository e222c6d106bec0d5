// Serves the project's loopback device to one QEMU usb-redir client over TCP
// on 127.0.0.1, and logs every transfer's length, one line each.
#include <arpa/inet.h>
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
#include <span>
#include <string>
#include <string_view>

#include "device_options.h"
#include "loopback_device.h"

namespace {

using pelmora::emulated::ByteVector;
using pelmora::emulated::Completion;
using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;
using pelmora::emulated::LoopbackDevice;
using Clock = std::chrono::steady_clock;

// A bulk IN request waiting for data.
struct ParkedIn {
  std::uint64_t id;
  std::uint8_t endpoint;
  std::uint32_t requested;
};

// The interfaces and endpoints of alternate setting 0, as usbredir announces
// them, read from the device's own configuration descriptor.
struct Layout {
  usb_redir_interface_info_header interfaces{};
  usb_redir_ep_info_header endpoints{};
};

// usbredir numbers OUT endpoints 0-15 and IN endpoints 16-31.
int EndpointSlot(std::uint8_t address) { return ((address & 0x80) >> 3) | (address & 0x0F); }

Layout LayoutOf(const ByteVector &configuration) {
  Layout layout;
  std::memset(layout.endpoints.type, usb_redir_type_invalid, sizeof layout.endpoints.type);
  for (const int slot : {0, 16}) {
    layout.endpoints.type[slot] = usb_redir_type_control;
    layout.endpoints.max_packet_size[slot] = 64;
  }
  bool alternate = false;
  std::uint8_t interface = 0;
  for (std::size_t at = 0; at + 2 <= configuration.size();) {
    const std::size_t length = configuration[at];
    if (length < 2 || at + length > configuration.size()) {
      break;
    }
    const std::uint8_t *d = &configuration[at];
    if (d[1] == 0x04 && length >= 9) {
      interface = d[2];
      alternate = d[3] != 0;
      auto &info = layout.interfaces;
      if (!alternate && info.interface_count < 32) {
        const std::uint32_t i = info.interface_count++;
        info.interface[i] = d[2];
        info.interface_class[i] = d[5];
        info.interface_subclass[i] = d[6];
        info.interface_protocol[i] = d[7];
      }
    } else if (d[1] == 0x05 && length >= 7 && !alternate) {
      const int slot = EndpointSlot(d[2]);
      layout.endpoints.type[slot] = d[3] & 0x03;
      layout.endpoints.interval[slot] = d[6];
      layout.endpoints.interface[slot] = interface;
      layout.endpoints.max_packet_size[slot] = static_cast<std::uint16_t>(d[4] | (d[5] << 8));
    }
    at += length;
  }
  return layout;
}

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

std::uint8_t RedirStatus(Completion status) {
  switch (status) {
  case Completion::Done:
    return usb_redir_success;
  case Completion::Stall:
    return usb_redir_stall;
  case Completion::Overflow:
    return usb_redir_babble;
  case Completion::Invalid:
    return usb_redir_inval;
  default:
    return usb_redir_ioerror;
  }
}

std::uint8_t RedirSpeed(pelmora::emulated::Speed speed) {
  switch (speed) {
  case pelmora::emulated::Speed::Low:
    return usb_redir_speed_low;
  case pelmora::emulated::Speed::Full:
    return usb_redir_speed_full;
  case pelmora::emulated::Speed::High:
    return usb_redir_speed_high;
  case pelmora::emulated::Speed::Super:
    return usb_redir_speed_super;
  case pelmora::emulated::Speed::Unknown:
    break;
  }
  return usb_redir_speed_unknown;
}

class Server {
public:
  Server(LoopbackDevice &device, std::FILE *log) : device_(device), log_(log) {}
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
  // Answers a pipe transfer the device completed; false while it waits.
  bool Complete(std::uint64_t id, std::uint8_t endpoint, std::uint32_t requested,
                std::span<const std::uint8_t> out);
  void SendBulk(std::uint64_t id, std::uint8_t endpoint, std::uint8_t status, std::uint32_t length,
                std::uint8_t *data, int dataLength);
  void Unplug();

  void OnControl(std::uint64_t id, usb_redir_control_packet_header *header, std::uint8_t *data,
                 int dataLength);
  void OnBulk(std::uint64_t id, usb_redir_bulk_packet_header *header, std::uint8_t *data,
              int dataLength);
  void OnCancel(std::uint64_t id);

  LoopbackDevice &device_;
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
  // A log that cannot be written must not stop the device.
  (void)std::vfprintf(log_, format, arguments);
  va_end(arguments);
  (void)std::fputc('\n', log_);
  (void)std::fflush(log_);
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
  Layout layout = LayoutOf(pelmora::emulated::ConfigurationDescriptor(device_.Spec()));
  usbredirparser_send_interface_info(parser_, &layout.interfaces);
  usbredirparser_send_ep_info(parser_, &layout.endpoints);
  usb_redir_device_connect_header connect{};
  connect.speed = RedirSpeed(device_.Spec().speed);
  connect.vendor_id = device_.Spec().vendorId;
  connect.product_id = device_.Spec().productId;
  connect.device_version_bcd = 0x0100;
  usbredirparser_send_device_connect(parser_, &connect);
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

bool Server::Complete(std::uint64_t id, std::uint8_t endpoint, std::uint32_t requested,
                      std::span<const std::uint8_t> out) {
  pelmora::emulated::TransferResult result = device_.Transfer(endpoint, requested, out);
  if (result.status == Completion::Pending) {
    return false;
  }
  if (result.status == Completion::NoDevice) {
    // Unplug while the request is outstanding, as a device pulled mid-transfer.
    if (!unplugAt_) {
      unplugAt_ = Clock::now() + std::chrono::milliseconds(300);
    }
    return false;
  }
  const bool in = (endpoint & 0x80) != 0;
  Log("%s %u -> %s %u", in ? "in" : "out", requested, StatusName(RedirStatus(result.status)),
      result.actual);
  // An OUT completion carries the length and no data, or the client drops it.
  SendBulk(id, endpoint, RedirStatus(result.status), result.actual,
           in ? result.data.data() : nullptr, in ? static_cast<int>(result.data.size()) : 0);
  return true;
}

void Server::ServeParkedReads() {
  while (connected_ && !parked_.empty()) {
    const ParkedIn request = parked_.front();
    if (!Complete(request.id, request.endpoint, request.requested, {})) {
      break;
    }
    parked_.pop_front();
  }
}

void Server::OnControl(std::uint64_t id, usb_redir_control_packet_header *header,
                       std::uint8_t *data, int dataLength) {
  const bool in = (header->requesttype & 0x80) != 0;
  const std::size_t outSize =
      !in && data != nullptr && dataLength > 0 ? static_cast<std::size_t>(dataLength) : 0;
  std::optional<ByteVector> result;
  if ((header->endpoint & 0x7F) == 0 && connected_) {
    result = device_.Control(
        {header->requesttype, header->request, header->value, header->index, header->length});
  }
  ByteVector reply = in && result ? std::move(*result) : ByteVector();
  if (reply.size() > header->length) {
    reply.resize(header->length);
  }
  usb_redir_control_packet_header answer = *header;
  answer.status = result ? usb_redir_success : usb_redir_stall;
  answer.length = static_cast<std::uint16_t>(in ? reply.size() : result ? outSize : 0);
  Log("control %02x %02x %04x %04x %u -> %s %u", header->requesttype, header->request,
      header->value, header->index, header->length, StatusName(answer.status), answer.length);
  usbredirparser_send_control_packet(parser_, id, &answer, in ? reply.data() : nullptr,
                                     static_cast<int>(reply.size()));
}

void Server::OnBulk(std::uint64_t id, usb_redir_bulk_packet_header *header, std::uint8_t *data,
                    int dataLength) {
  const std::uint32_t length =
      header->length | (static_cast<std::uint32_t>(header->length_high) << 16);
  if (!connected_) {
    SendBulk(id, header->endpoint, usb_redir_ioerror, 0, nullptr, 0);
  } else if ((header->endpoint & 0x80) == 0) {
    const std::size_t size =
        data != nullptr && dataLength > 0 ? static_cast<std::size_t>(dataLength) : 0;
    if (Complete(id, header->endpoint, static_cast<std::uint32_t>(size), {data, size})) {
      ServeParkedReads();
    }
  } else if (!parked_.empty() || !Complete(id, header->endpoint, length, {})) {
    parked_.push_back({id, header->endpoint, length});
    Log("in %u waits", length);
  }
}

void Server::OnCancel(std::uint64_t id) {
  for (auto it = parked_.begin(); it != parked_.end(); ++it) {
    if (it->id == id) {
      Log("in %u -> cancelled 0", it->requested);
      SendBulk(id, it->endpoint, usb_redir_cancelled, 0, nullptr, 0);
      parked_.erase(it);
      return;
    }
  }
}

void Server::SetUpParser() {
  parser_ = usbredirparser_create();
  if (parser_ == nullptr) {
    (void)std::fprintf(stderr, "cannot create the usbredir parser\n");
    std::exit(1);
  }
  parser_->priv = this;
  parser_->log_func = [](void *, int level, const char *message) {
    if (level <= 2) { // errors and warnings only
      (void)std::fprintf(stderr, "usbredir: %s\n", message);
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
    const bool known = (header->endpoint & 0x80) != 0;
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

constexpr char USAGE[] =
    "usage: pelmora-usbredir-device [options]\n"
    "Serves the emulated USB loopback device (bulk OUT 0x01, bulk IN 0x81, interrupt IN 0x83)\n"
    "to one QEMU usb-redir client on 127.0.0.1 and ends when that client disconnects.\n"
    "options:\n"
    "  --port N               listen on port N (default: any free port)\n"
    "  --port-file PATH       write the port listened on to PATH\n"
    "  --log PATH             write one line per transfer to PATH\n";

void PrintUsage(std::FILE *stream) {
  (void)std::fputs(USAGE, stream);
  (void)std::fputs(pelmora::emulated::DEVICE_OPTIONS_HELP, stream);
}

[[noreturn]] void Usage(const std::string &problem) {
  (void)std::fprintf(stderr, "pelmora-usbredir-device: %s\n", problem.c_str());
  PrintUsage(stderr);
  std::exit(2);
}

unsigned long Number(std::string_view option, const char *text, unsigned long largest) {
  char *end = nullptr;
  const unsigned long value = text != nullptr ? std::strtoul(text, &end, 10) : 0;
  if (text == nullptr || *text == '\0' || *end != '\0' || value > largest) {
    Usage(std::string(option) + " needs a number up to " + std::to_string(largest));
  }
  return value;
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
    std::perror("pelmora-usbredir-device: listen on 127.0.0.1");
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

// Written whole and renamed, so a reader never sees half a number.
bool WritePortFile(const std::string &path, std::uint16_t port) {
  const std::string partial = path + ".partial";
  std::FILE *file = std::fopen(partial.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fprintf(file, "%u\n", port) > 0;
  return std::fclose(file) == 0 && written && std::rename(partial.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv) {
  DeviceSpec spec;
  Faults faults;
  std::string portFile;
  std::string logPath;
  unsigned long port = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    const auto takes = [&] {
      if (value == nullptr) {
        Usage(std::string(option) + " needs a value");
      }
      ++i;
      return value;
    };
    if (option == "--port") {
      port = Number(option, takes(), 65535);
    } else if (option == "--port-file") {
      portFile = takes();
    } else if (option == "--log") {
      logPath = takes();
    } else if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return 0;
    } else {
      std::string problem;
      switch (pelmora::emulated::ApplyDeviceOption(argc, argv, i, spec, faults, problem)) {
      case pelmora::emulated::DeviceOption::Applied:
        break;
      case pelmora::emulated::DeviceOption::Invalid:
        Usage(problem);
      case pelmora::emulated::DeviceOption::NotOurs:
        Usage("unknown option '" + std::string(option) + "'");
      }
    }
  }
  if (const std::string problem = pelmora::emulated::CheckDeviceOptions(spec, faults);
      !problem.empty()) {
    Usage(problem);
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
  if (!portFile.empty() && !WritePortFile(portFile, bound)) {
    std::perror(portFile.c_str());
    return 1;
  }
  // Only informative: the port file is what scripts read.
  (void)std::printf("listening on 127.0.0.1:%u\n", bound);
  (void)std::fflush(stdout);

  const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  close(listener);
  if (client < 0) {
    std::perror("pelmora-usbredir-device: accept");
    return 1;
  }
  const int yes = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  LoopbackDevice device(spec, faults);
  Server server(device, log.get());
  const int status = server.Serve(client);
  close(client);
  return status;
}
