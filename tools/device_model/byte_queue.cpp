// SPDX-License-Identifier: MIT
#include "byte_queue.h"

#include <algorithm>

namespace pelmora::emulated {

namespace {

constexpr std::size_t BLOCK = 65536;

} // namespace

void ByteQueue::Push(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    if (blocks_.empty() || blocks_.back().size() == BLOCK) {
      blocks_.emplace_back().reserve(BLOCK);
    }
    ByteVector &last = blocks_.back();
    const std::size_t count = std::min(bytes.size(), BLOCK - last.size());
    last.insert(last.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
    bytes = bytes.subspan(count);
    size_ += count;
  }
}

void ByteQueue::Pop(std::size_t count, ByteVector *out) {
  while (count > 0 && size_ > 0) {
    const ByteVector &front = blocks_.front();
    const std::size_t taken = std::min(count, front.size() - head_);
    if (out != nullptr) {
      const auto start = front.begin() + static_cast<std::ptrdiff_t>(head_);
      out->insert(out->end(), start, start + static_cast<std::ptrdiff_t>(taken));
    }
    head_ += taken;
    size_ -= taken;
    count -= taken;
    if (head_ == front.size()) {
      blocks_.pop_front();
      head_ = 0;
    }
  }
}

std::span<const std::uint8_t> ByteQueue::Front() const {
  if (blocks_.empty()) {
    return {};
  }
  return std::span<const std::uint8_t>(blocks_.front()).subspan(head_);
}

void ByteQueue::Clear() {
  blocks_.clear();
  head_ = 0;
  size_ = 0;
}

} // namespace pelmora::emulated
