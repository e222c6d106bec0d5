// SPDX-License-Identifier: MIT
// A loopback device: what bulk OUT 0x01 takes, bulk IN 0x81 gives back;
// interrupt IN 0x83 reports how many bytes wait. Transfers follow USB's
// packet rules and faults are scripted. The queue holds at most the spec's
// limit: while it is full, bulk OUT takes nothing more and its transfer waits,
// as on a device whose buffer is full. An endpoint that stalled stays halted
// until the host clears the halt, as on real hardware. Safe to use from
// several threads.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <span>
#include <vector>

#include "byte_queue.h"
#include "descriptors.h"
#include "device_spec.h"

namespace pelmora::emulated {

enum class Completion {
  Done,
  Stall,
  Overflow, // a packet larger than the room left in the transfer
  NoDevice,
  Pending, // nothing to send yet: ask again later
  Invalid, // no such endpoint
};

struct TransferResult {
  Completion status = Completion::Done;
  std::uint32_t actual = 0;
  ByteVector data; // IN only
};

struct TransferRecord {
  std::uint8_t endpoint;
  std::uint32_t requested;
  std::uint32_t actual;
  Completion status;
};

// What the host asked of each interface and endpoint, in a fixed space
// however long the device runs.
struct Traffic {
  // Bit N: interface N was claimed.
  std::uint32_t claimedInterfaces = 0;
  // Pipe transfers ended (done, failed or refused), by endpoint: OUT 0-15,
  // then IN 16-31.
  std::array<std::uint32_t, 32> transfers{};

  static std::size_t Slot(std::uint8_t endpoint) {
    return (endpoint & 0x0FU) | ((endpoint & 0x80U) != 0 ? 16U : 0U);
  }
  std::uint32_t TransfersOf(std::uint8_t endpoint) const { return transfers[Slot(endpoint)]; }
};

struct SetupPacket {
  std::uint8_t requestType;
  std::uint8_t request;
  std::uint16_t value;
  std::uint16_t index;
  std::uint16_t length;
};

class LoopbackDevice {
public:
  explicit LoopbackDevice(DeviceSpec spec = {}, Faults faults = {});

  const DeviceSpec &Spec() const { return spec_; }
  void SetFaults(const Faults &faults);

  // A control transfer on endpoint 0: Done with the IN data (OUT requests
  // carry no data here), Stall for a request the device refuses, Pending for
  // one it never answers, NoDevice once unplugged.
  TransferResult Control(const SetupPacket &setup);
  // The control requests the device was sent, answered or not.
  std::uint32_t ControlRequests() const;
  // How late control requests are answered, in milliseconds.
  std::uint32_t ControlDelayMs() const;
  void ClearHalt(std::uint8_t endpoint);
  // SET_CONFIGURATION or SET_INTERFACE: every halt is cleared.
  void Reconfigure();

  // One pipe transfer of bufferLength bytes; out holds an OUT transfer's data.
  // An OUT transfer that meets a full queue is Pending with actual the bytes
  // it took so far (whole packets): the caller asks again with the rest, and
  // adds up what each call took.
  TransferResult Transfer(std::uint8_t endpoint, std::uint32_t bufferLength,
                          std::span<const std::uint8_t> out);

  // False for an interface the device lacks or a kernel driver holds.
  bool Claim(unsigned interfaceNumber);
  Traffic TrafficSoFar() const;
  bool Connected() const;
  void Unplug();

  // From now on, keep a record of every finished pipe transfer and every byte
  // bulk OUT takes, for Log() and Received(); without it nothing that went
  // back is kept.
  void KeepRecords();
  std::vector<TransferRecord> Log() const;
  // Every byte bulk OUT took, in order.
  ByteVector Received() const;

private:
  std::optional<ByteVector> StandardRequest(const SetupPacket &setup);
  std::optional<ByteVector> Answer(const SetupPacket &setup);
  TransferResult Send(ByteQueue &source, std::uint32_t bufferLength, std::uint16_t packetSize);
  TransferResult TakeOut(std::uint32_t bufferLength, std::span<const std::uint8_t> out);
  TransferResult Complete(std::uint8_t endpoint, std::uint32_t bufferLength,
                          std::span<const std::uint8_t> out);
  // A random count from 0 to below limit, true one time in oneIn, when the
  // faults ask for random variation.
  std::optional<std::uint32_t> RandomlyLess(std::uint32_t limit, unsigned oneIn);

  const DeviceSpec spec_;
  mutable std::mutex mutex_;
  Faults faults_;
  std::minstd_rand random_;
  bool connected_ = true;
  unsigned completed_ = 0;
  std::uint32_t controlRequests_ = 0;
  std::uint32_t bosReads_ = 0;
  Traffic traffic_;
  std::set<std::uint8_t> halted_;
  ByteQueue queue_;
  bool keepRecords_ = false;
  ByteVector received_;
  std::vector<TransferRecord> log_;
};

} // namespace pelmora::emulated
