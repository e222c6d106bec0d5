// SPDX-License-Identifier: MIT
// One client's connection, without the socket: it answers the client's list
// and import requests, then the URBs of the device it imported. Bulk IN URBs
// wait for data, bulk OUT ones while the device's queue is full, so no byte is
// lost or reordered; what waits is counted, and past a fixed amount the
// session asks for nothing more until it drains, as it does while its answers
// wait to be written.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>

#include "byte_queue.h"
#include "device_slot.h"
#include "host_backlog.h"
#include "usbip_codec.h"

namespace pelmora::usbip {

using Clock = std::chrono::steady_clock;

// The most bytes of held OUT URBs and late answers a session keeps.
inline constexpr std::size_t HELD_LIMIT = std::size_t{1024} * 1024;
// Past this many bytes of answers waiting to be written, the client's further
// requests wait in its socket.
inline constexpr std::size_t OUTPUT_LIMIT = std::size_t{256} * 1024;

// A bulk or interrupt URB that waits: an IN one for data, an OUT one for room.
struct WaitingUrb {
  std::uint32_t seqnum;
  std::uint8_t endpoint; // with its direction bit
  std::uint32_t length;
  std::uint32_t flags;
  ByteVector out;      // an OUT URB's bytes, kept once it waits
  std::uint32_t taken; // what the device took of them so far
};

// A control URB's answer, due later.
struct LateAnswer {
  std::uint32_t seqnum;
  Clock::time_point due;
  ByteVector answer;
};

class Session {
public:
  Session(DeviceSlot &slot, std::FILE *log) : slot_(slot), log_(log) {}
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  // Takes what the client sent and serves every whole message it may.
  void Receive(Bytes input);
  // Whether to read more from the client now.
  bool Reading() const;
  // The answers to write to the client, in order.
  emulated::ByteQueue &Output() { return output_; }
  // Why the connection must be dropped; empty while it may go on.
  const std::string &Failure() const { return failure_; }
  // The device was unplugged: the connection ends, as a cable pulled.
  bool Unplugged() const { return unplugged_; }
  bool Imported() const { return device_ != nullptr; }
  // Milliseconds until Tick has something to do, or -1 for never.
  int NextEventIn() const;
  // Sends the answers that are due, and unplugs the device when it is time.
  void Tick();

private:
  void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void Fail(std::string problem);
  void OnOpRequest(const OpRequest &request);
  void OnUrb(const UrbCommand &command);
  void OnControl(const UrbCommand &command);
  void OnPipe(const UrbCommand &command);
  void OnUnlink(const UrbCommand &command);
  // Answers a URB once the device completes it; false while it waits. data:
  // an OUT URB's bytes.
  bool Complete(WaitingUrb &urb, Bytes data);
  void UnplugSoon();
  // Serves waiting reads and writes until neither moves; each frees or fills
  // what the other waits for.
  void ServeWaiting();
  bool ServeParkedReads();
  bool ServeHeldWrites();
  void Answer(std::uint32_t seqnum, std::int32_t status, std::uint32_t actual, Bytes in);
  // Takes back the waiting URB with this seqnum; false when none waits.
  bool TakeBack(std::uint32_t seqnum);

  DeviceSlot &slot_;
  std::FILE *log_;
  emulated::LoopbackDevice *device_ = nullptr;
  ByteVector input_;
  emulated::ByteQueue output_;
  std::string failure_;
  bool unplugged_ = false;
  std::optional<Clock::time_point> unplugAt_;
  emulated::HostBacklog backlog_{HELD_LIMIT};
  std::deque<WaitingUrb> parked_;
  std::deque<WaitingUrb> held_;
  std::deque<std::uint32_t> unanswered_;
  std::deque<LateAnswer> late_;
};

} // namespace pelmora::usbip
