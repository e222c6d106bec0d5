// SPDX-License-Identifier: MIT
#include "redir_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "redir_terms.h"

namespace pelmora::usbredir {

using emulated::ByteVector;
using emulated::Completion;

namespace {

// The most bytes of answers waiting to be written before the client's
// further packets wait: a few of the largest a host asks for at once.
constexpr std::uint64_t UNWRITTEN_BYTES = std::uint64_t{1024} * 1024;

} // namespace

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

bool Server::HasInterface(std::uint8_t number) const {
  const Layout layout = LayoutOf(pelmora::emulated::ConfigurationDescriptor(device_.Spec()));
  for (std::uint32_t i = 0; i < layout.interfaces.interface_count; ++i) {
    if (layout.interfaces.interface[i] == number) {
      return true;
    }
  }
  return false;
}

void Server::Unplug() {
  usbredirparser_send_device_disconnect(parser_);
  connected_ = false;
  parked_.clear(); // the client fails its own outstanding requests
  held_.clear();
  unanswered_.clear();
  late_.clear();
  backlog_.Clear();
  unplugAt_.reset();
  Log("disconnect");
}

bool Server::Complete(std::uint64_t id, std::uint8_t endpoint, std::uint32_t requested,
                      std::span<const std::uint8_t> out, std::uint32_t &taken) {
  pelmora::emulated::TransferResult result = device_.Transfer(
      endpoint, requested - taken, out.subspan(std::min<std::size_t>(taken, out.size())));
  if (result.status == Completion::Pending) {
    taken += result.actual; // part of a write the full queue holds back
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
  const std::uint32_t actual = taken + result.actual;
  Log("%s %u -> %s %u", in ? "in" : "out", requested, StatusName(RedirStatus(result.status)),
      actual);
  // An OUT completion carries the length and no data, or the client drops it.
  SendBulk(id, endpoint, RedirStatus(result.status), actual, in ? result.data.data() : nullptr,
           in ? static_cast<int>(result.data.size()) : 0);
  return true;
}

bool Server::ServeParkedReads() {
  bool served = false;
  while (connected_ && !parked_.empty()) {
    const ParkedIn request = parked_.front();
    std::uint32_t none = 0;
    if (!Complete(request.id, request.endpoint, request.requested, {}, none)) {
      break;
    }
    parked_.pop_front();
    backlog_.Remove(0);
    served = true;
  }
  return served;
}

bool Server::ServeHeldWrites() {
  bool served = false;
  while (connected_ && !held_.empty()) {
    HeldOut &write = held_.front();
    const std::uint32_t before = write.taken;
    if (!Complete(write.id, write.endpoint, static_cast<std::uint32_t>(write.data.size()),
                  write.data, write.taken)) {
      // What it did put in the queue is there for a parked read.
      served = served || write.taken != before;
      break;
    }
    backlog_.Remove(write.data.size());
    held_.pop_front();
    served = true;
  }
  return served;
}

void Server::ServeWaiting() {
  while (ServeParkedReads() || ServeHeldWrites()) {
  }
}

void Server::OnControl(std::uint64_t id, usb_redir_control_packet_header *header,
                       std::uint8_t *data, int dataLength) {
  const bool in = (header->requesttype & 0x80) != 0;
  const std::size_t outSize =
      !in && data != nullptr && dataLength > 0 ? static_cast<std::size_t>(dataLength) : 0;
  pelmora::emulated::TransferResult result{Completion::Stall, 0, {}};
  if ((header->endpoint & 0x7F) == 0 && connected_) {
    result = device_.Control(
        {header->requesttype, header->request, header->value, header->index, header->length});
  }
  if (result.status == Completion::Pending) {
    // Answered only when the client cancels it.
    unanswered_.push_back({id, *header});
    backlog_.Add(0);
    Log("control %02x %02x %04x %04x %u waits", header->requesttype, header->request, header->value,
        header->index, header->length);
    return;
  }
  const bool done = result.status == Completion::Done;
  ByteVector reply = in && done ? std::move(result.data) : ByteVector();
  if (reply.size() > header->length) {
    reply.resize(header->length);
  }
  usb_redir_control_packet_header answer = *header;
  answer.status = done ? usb_redir_success : usb_redir_stall;
  answer.length = static_cast<std::uint16_t>(in ? reply.size() : done ? outSize : 0);
  Log("control %02x %02x %04x %04x %u -> %s %u", header->requesttype, header->request,
      header->value, header->index, header->length, StatusName(answer.status), answer.length);
  if (const std::uint32_t delay = device_.ControlDelayMs(); delay != 0) {
    backlog_.Add(reply.size());
    late_.push_back(
        {id, Clock::now() + std::chrono::milliseconds(delay), answer, std::move(reply)});
    return;
  }
  usbredirparser_send_control_packet(parser_, id, &answer, in ? reply.data() : nullptr,
                                     static_cast<int>(reply.size()));
}

void Server::SendDueControls() {
  while (!late_.empty() && Clock::now() >= late_.front().due) {
    LateControl &due = late_.front();
    usbredirparser_send_control_packet(parser_, due.id, &due.answer,
                                       due.reply.empty() ? nullptr : due.reply.data(),
                                       static_cast<int>(due.reply.size()));
    backlog_.Remove(due.reply.size());
    late_.pop_front();
  }
}

int Server::NextEventIn() const {
  std::optional<Clock::time_point> next = unplugAt_;
  if (!late_.empty() && (!next || late_.front().due < *next)) {
    next = late_.front().due;
  }
  if (!next) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
  return static_cast<int>(std::max<long long>(0, left.count()));
}

void Server::OnBulk(std::uint64_t id, usb_redir_bulk_packet_header *header, std::uint8_t *data,
                    int dataLength) {
  const std::uint32_t length =
      header->length | (static_cast<std::uint32_t>(header->length_high) << 16);
  if (!connected_) {
    SendBulk(id, header->endpoint, usb_redir_ioerror, 0, nullptr, 0);
  } else if ((header->endpoint & 0x80) == 0) {
    const std::span<const std::uint8_t> out(
        data, data != nullptr && dataLength > 0 ? static_cast<std::size_t>(dataLength) : 0);
    // A write behind held ones waits its turn, so that no byte overtakes
    // another; only a write that waits is copied.
    std::uint32_t taken = 0;
    if (!held_.empty() ||
        !Complete(id, header->endpoint, static_cast<std::uint32_t>(out.size()), out, taken)) {
      held_.push_back({id, header->endpoint, ByteVector(out.begin(), out.end()), taken});
      backlog_.Add(out.size());
      Log("out %zu waits", out.size());
    }
    ServeWaiting(); // parked reads may find data now
  } else if (std::uint32_t none = 0;
             !parked_.empty() || !Complete(id, header->endpoint, length, {}, none)) {
    parked_.push_back({id, header->endpoint, length});
    backlog_.Add(0);
    Log("in %u waits", length);
  } else {
    ServeWaiting(); // the read made room
  }
}

namespace {

// The request with this id, taken out of those waiting; nothing when none has it.
template <typename Waiting>
std::optional<typename Waiting::value_type> TakeById(Waiting &waiting, std::uint64_t id) {
  const auto found = std::find_if(waiting.begin(), waiting.end(),
                                  [id](const auto &each) { return each.id == id; });
  if (found == waiting.end()) {
    return std::nullopt;
  }
  auto taken = std::move(*found);
  waiting.erase(found);
  return taken;
}

} // namespace

void Server::CancelControl(std::uint64_t id, usb_redir_control_packet_header header) {
  header.status = usb_redir_cancelled;
  header.length = 0;
  Log("control %02x %02x -> cancelled 0", header.requesttype, header.request);
  usbredirparser_send_control_packet(parser_, id, &header, nullptr, 0);
}

void Server::OnCancel(std::uint64_t id) {
  if (const auto late = TakeById(late_, id)) {
    backlog_.Remove(late->reply.size());
    CancelControl(id, late->answer);
  } else if (const auto control = TakeById(unanswered_, id)) {
    backlog_.Remove(0);
    CancelControl(id, control->header);
  } else if (const auto write = TakeById(held_, id)) {
    backlog_.Remove(write->data.size());
    Log("out %zu -> cancelled %u", write->data.size(), write->taken);
    SendBulk(id, write->endpoint, usb_redir_cancelled, write->taken, nullptr, 0);
    ServeWaiting(); // the next write may go in now
  } else if (const auto read = TakeById(parked_, id)) {
    backlog_.Remove(0);
    Log("in %u -> cancelled 0", read->requested);
    SendBulk(id, read->endpoint, usb_redir_cancelled, 0, nullptr, 0);
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
    // The parser reads until the socket is empty: stop it where the client
    // must wait, as if nothing more had come.
    if (!self.MayRead()) {
      return 0;
    }
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
    if (known) {
      self.device_.Reconfigure();
    }
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
    const bool known = self.HasInterface(header->interface) && header->alt == 0;
    if (known) {
      self.device_.Reconfigure();
    }
    usb_redir_alt_setting_status_header status{
        static_cast<std::uint8_t>(known ? usb_redir_success : usb_redir_inval), header->interface,
        header->alt};
    self.Log("set_alt_setting %u %u -> %s", header->interface, header->alt,
             StatusName(status.status));
    usbredirparser_send_alt_setting_status(self.parser_, id, &status);
  };
  parser_->get_alt_setting_func = [](void *priv, std::uint64_t id,
                                     usb_redir_get_alt_setting_header *header) {
    const bool known = Of(priv).HasInterface(header->interface);
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

bool Server::MayRead() const {
  // Answers the client does not read stop it, as a host that stops taking a
  // device's answers stops getting new ones.
  if (usbredirparser_get_bufferered_output_size(parser_) >= UNWRITTEN_BYTES ||
      usbredirparser_has_data_to_write(parser_) >=
          static_cast<int>(emulated::HostBacklog::MOST_TRANSFERS)) {
    return false;
  }
  // One held write alone never stops reading: the reads that drain the queue
  // for it come after it.
  return backlog_.HasRoom() || (held_.size() == 1 && backlog_.Transfers() == 1);
}

int Server::Serve(int socket) {
  socket_ = socket;
  SetUpParser();
  while (!closed_) {
    // While the client must wait, only its leaving is watched for.
    const bool reading = MayRead();
    pollfd watched{socket_, static_cast<short>(reading ? POLLIN : POLLRDHUP), 0};
    if (usbredirparser_has_data_to_write(parser_) > 0) {
      watched.events |= POLLOUT;
    }
    if (poll(&watched, 1, NextEventIn()) < 0 && errno != EINTR) {
      std::perror("poll");
      return 1;
    }
    if (unplugAt_ && Clock::now() >= *unplugAt_) {
      Unplug();
    }
    SendDueControls();
    if (!reading && (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      closed_ = true;
    } else if (watched.revents & (POLLIN | POLLHUP | POLLERR)) {
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

} // namespace pelmora::usbredir
