// SPDX-License-Identifier: MIT
// A first-in, first-out queue of bytes in blocks of 64 KiB, so that what it
// holds costs little more than the bytes themselves, however they arrive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>

#include "descriptors.h"

namespace pelmora::emulated {

class ByteQueue {
public:
  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  void Push(std::span<const std::uint8_t> bytes);
  // Takes up to count bytes from the front, appending them to out unless it
  // is null.
  void Pop(std::size_t count, ByteVector *out);
  void Clear();
  // The bytes at the front, as many as one block holds: what a writer sends
  // next before it pops them.
  std::span<const std::uint8_t> Front() const;

private:
  std::deque<ByteVector> blocks_;
  std::size_t head_ = 0; // where the front block's unread bytes start
  std::size_t size_ = 0;
};

} // namespace pelmora::emulated
