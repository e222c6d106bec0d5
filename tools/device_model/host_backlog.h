// SPDX-License-Identifier: MIT
// What a device tool keeps for one host beyond the device's own queue: OUT
// transfers held back while the queue is full, IN requests parked until data
// exists, answers waiting to be written. However small a host makes its
// transfers, each costs its payload plus a record, counted against the queue
// limit, and their number is capped: past either, the tool stops reading
// from that host, as a full device does, until what it holds drains.
#pragma once

#include <cstddef>

namespace pelmora::emulated {

class HostBacklog {
public:
  // What one held or parked transfer costs beyond its payload: its record
  // and its share of the container that keeps it.
  static constexpr std::size_t RECORD_COST = 128;
  // The most transfers held or parked at once.
  static constexpr std::size_t MOST_TRANSFERS = 4096;

  explicit HostBacklog(std::size_t byteLimit) : byteLimit_(byteLimit) {}

  void Add(std::size_t payload) {
    bytes_ += payload + RECORD_COST;
    ++transfers_;
  }
  void Remove(std::size_t payload) {
    bytes_ -= payload + RECORD_COST;
    --transfers_;
  }
  void Clear() {
    bytes_ = 0;
    transfers_ = 0;
  }

  // Whether the host may send more: false once what is held reaches the
  // limit or the cap.
  bool HasRoom() const { return bytes_ < byteLimit_ && transfers_ < MOST_TRANSFERS; }
  std::size_t Bytes() const { return bytes_; }
  std::size_t Transfers() const { return transfers_; }

private:
  std::size_t byteLimit_;
  std::size_t bytes_ = 0;
  std::size_t transfers_ = 0;
};

} // namespace pelmora::emulated
