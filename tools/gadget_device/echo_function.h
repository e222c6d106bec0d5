// SPDX-License-Identifier: MIT
// The gadget's function, on its FunctionFS files: ep0 takes the host's events,
// and one thread per endpoint echoes bulk OUT to bulk IN with the emulated
// device's loopback rules, so that neither direction ever waits on the other.
//
// - What bulk OUT takes queues up, to at most the queue limit: while the
//   queue is full, no OUT request is read and the host's write waits, as on
//   any device whose buffer is full. Bulk IN sends it in full packets and ends
//   the transfer as soon as the queue is empty, with a short packet, or with a
//   zero-length one when the data ends on a packet boundary. Every OUT request
//   is one packet, since a request completes only when full or short.
// - Interrupt IN reports how many bytes wait (4 bytes, little-endian), as
//   counted when the host took the previous report.
// - A reset or a new configuration empties the queue, as on any device.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "byte_queue.h"
#include "function_descriptors.h"

namespace pelmora::gadget {

// Interrupts a worker's blocking FunctionFS call; its handler does nothing.
inline constexpr int INTERRUPT_SIGNAL = SIGUSR1;
// Sent to the process when a worker fails; the worker has said why.
inline constexpr int FAILURE_SIGNAL = SIGUSR2;

struct EchoSettings {
  // Bytes per IN packet; fewer than the packet size makes each IN transfer one
  // short packet. 0: full packets.
  std::uint32_t inPacketSize = 0;
  // From this 1-based transfer on, both bulk endpoints are halted (until the
  // host clears them). An OUT transfer ends with a short packet.
  std::uint32_t stallTransfer = 0;
  // Whose current speed is logged when the host enables the function.
  std::string controller;
  // The most bytes the loopback queue holds.
  std::uint32_t queueLimit = emulated::DEFAULT_QUEUE_LIMIT;
};

class EchoFunction {
public:
  // Writes the descriptors and strings to ep0 and opens the endpoints; log
  // gets one line per request and event when not null.
  EchoFunction(const std::string &directory, const Bytes &descriptors, const Bytes &strings,
               EchoSettings settings, std::FILE *log);
  ~EchoFunction();
  EchoFunction(const EchoFunction &) = delete;
  EchoFunction &operator=(const EchoFunction &) = delete;

  void Start();
  void Stop();

private:
  struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void Events();
  void BulkOut();
  void BulkIn();
  void InterruptIn();
  // The packet size of the endpoint at the speed the host enabled; 0 when
  // interrupted.
  std::uint16_t PacketSize(int fd);
  // Halts an endpoint once the scripted stall is due for its direction.
  void HaltWhenDue(int fd, bool in);
  void Log(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void Fail(const char *what);

  const EchoSettings settings_;
  std::FILE *const log_;
  int ep0_ = -1;
  int out_ = -1;
  int in_ = -1;
  int interrupt_ = -1;
  std::array<Worker, 4> workers_;
  std::atomic<bool> stopping_{false};

  std::mutex mutex_;
  std::condition_variable dataWaits_;
  std::condition_variable roomWaits_;
  emulated::ByteQueue queue_;
  std::uint32_t transfersEnded_ = 0;
  std::array<bool, 2> halted_{};
};

} // namespace pelmora::gadget
