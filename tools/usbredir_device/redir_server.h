// SPDX-License-Identifier: MIT
// The usbredir side of the emulated device: one client, one device.
#pragma once

#include <usbredirparser.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <span>

#include "host_backlog.h"
#include "loopback_device.h"

namespace pelmora::usbredir {

using emulated::LoopbackDevice;
using Clock = std::chrono::steady_clock;

// A bulk IN request waiting for data.
struct ParkedIn {
  std::uint64_t id;
  std::uint8_t endpoint;
  std::uint32_t requested;
};

// A bulk OUT request held back while the device's queue is full: its data,
// and how much of it the device took so far.
struct HeldOut {
  std::uint64_t id;
  std::uint8_t endpoint;
  emulated::ByteVector data;
  std::uint32_t taken;
};

// A control request the device leaves unanswered.
struct UnansweredControl {
  std::uint64_t id;
  usb_redir_control_packet_header header;
};

// A control request the device answers late: its answer, and when it is due.
struct LateControl {
  std::uint64_t id;
  Clock::time_point due;
  usb_redir_control_packet_header answer;
  emulated::ByteVector reply;
};

// Serves one usbredir client: answers its control and bulk packets from the
// device, parks bulk IN requests until data exists, holds bulk OUT requests
// back while the device's queue is full, and logs each transfer. What it
// holds for the client, and what waits to be written to it, are bounded: past
// either bound the client's further packets wait in the socket.
class Server {
public:
  Server(LoopbackDevice &device, std::FILE *log)
      : device_(device), log_(log), backlog_(device.Spec().queueLimit) {}
  ~Server() {
    if (parser_ != nullptr) {
      usbredirparser_destroy(parser_);
    }
  }
  Server(const Server &) = delete;
  Server &operator=(const Server &) = delete;

  int Serve(int socket);

private:
  static Server &Of(void *priv) { return *static_cast<Server *>(priv); }

  void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void SetUpParser();
  void Announce();
  bool HasInterface(std::uint8_t number) const;
  // Whether to read more of the client's packets now.
  bool MayRead() const;
  // Serves parked reads and held writes until neither moves; each frees or
  // fills what the other waits for.
  void ServeWaiting();
  bool ServeParkedReads();
  bool ServeHeldWrites();
  void SendDueControls();
  // Answers a control request that waits, late or for ever, as cancelled.
  void CancelControl(std::uint64_t id, usb_redir_control_packet_header header);
  // Milliseconds until the next timed event, or -1 for none.
  int NextEventIn() const;
  // Answers a pipe transfer once the device completes it; false while it
  // waits. taken: what the device took of out so far, kept across calls.
  bool Complete(std::uint64_t id, std::uint8_t endpoint, std::uint32_t requested,
                std::span<const std::uint8_t> out, std::uint32_t &taken);
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
  // Every request below counts in backlog_, with the data it keeps.
  emulated::HostBacklog backlog_;
  std::deque<ParkedIn> parked_;
  std::deque<HeldOut> held_;
  std::deque<UnansweredControl> unanswered_;
  std::deque<LateControl> late_;
  std::optional<Clock::time_point> unplugAt_;
};

} // namespace pelmora::usbredir
