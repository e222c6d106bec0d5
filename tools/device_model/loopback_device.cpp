// SPDX-License-Identifier: MIT
#include "loopback_device.h"

#include <algorithm>

#include "byte_writer.h"

namespace pelmora::emulated {

namespace {

constexpr std::uint8_t BULK_OUT = 0x01;
constexpr std::uint8_t BULK_IN = 0x81;
constexpr std::uint8_t INTERRUPT_IN = 0x83;
constexpr std::uint8_t GET_STATUS = 0x00;
constexpr std::uint8_t CLEAR_FEATURE = 0x01;
constexpr std::uint8_t TO_ENDPOINT = 0x02;
constexpr std::uint16_t ENDPOINT_HALT = 0;
constexpr std::uint8_t SET_CONFIGURATION = 0x09;
constexpr std::uint8_t SET_INTERFACE = 0x0B;
constexpr std::uint8_t GET_DESCRIPTOR = 0x06;
constexpr std::uint8_t GET_CONFIGURATION = 0x08;
constexpr std::uint8_t GET_INTERFACE = 0x0A;

std::optional<ByteVector> Truncated(ByteVector bytes, std::uint16_t length) {
  if (bytes.size() > length) {
    bytes.resize(length);
  }
  return bytes;
}

} // namespace

LoopbackDevice::LoopbackDevice(DeviceSpec spec, Faults faults)
    : spec_(std::move(spec)), faults_(faults), random_(faults.randomSeed) {}

void LoopbackDevice::SetFaults(const Faults &faults) {
  const std::lock_guard lock(mutex_);
  faults_ = faults;
  random_.seed(faults.randomSeed);
}

std::optional<std::uint32_t> LoopbackDevice::RandomlyLess(std::uint32_t limit, unsigned oneIn) {
  if (faults_.randomSeed == 0 || limit == 0 || random_() % oneIn != 0) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(random_() % limit);
}

bool LoopbackDevice::Claim(unsigned interfaceNumber) {
  const std::lock_guard lock(mutex_);
  // An interface the configuration lacks cannot be claimed either.
  if (interfaceNumber >= InterfaceCount(spec_) ||
      (interfaceNumber == LoopbackInterface(spec_) && faults_.interfaceHeldByKernelDriver)) {
    return false;
  }
  traffic_.claimedInterfaces |= 1U << interfaceNumber;
  return true;
}

Traffic LoopbackDevice::TrafficSoFar() const {
  const std::lock_guard lock(mutex_);
  return traffic_;
}

bool LoopbackDevice::Connected() const {
  const std::lock_guard lock(mutex_);
  return connected_;
}

void LoopbackDevice::Unplug() {
  const std::lock_guard lock(mutex_);
  connected_ = false;
}

std::uint32_t LoopbackDevice::ControlRequests() const {
  const std::lock_guard lock(mutex_);
  return controlRequests_;
}

std::uint32_t LoopbackDevice::ControlDelayMs() const {
  const std::lock_guard lock(mutex_);
  return faults_.controlDelayMs;
}

void LoopbackDevice::ClearHalt(std::uint8_t endpoint) {
  const std::lock_guard lock(mutex_);
  halted_.erase(endpoint);
}

void LoopbackDevice::Reconfigure() {
  const std::lock_guard lock(mutex_);
  halted_.clear();
}

void LoopbackDevice::KeepRecords() {
  const std::lock_guard lock(mutex_);
  keepRecords_ = true;
}

std::vector<TransferRecord> LoopbackDevice::Log() const {
  const std::lock_guard lock(mutex_);
  return log_;
}

ByteVector LoopbackDevice::Received() const {
  const std::lock_guard lock(mutex_);
  return received_;
}

std::optional<ByteVector> LoopbackDevice::StandardRequest(const SetupPacket &setup) {
  const std::uint8_t type = setup.value >> 8;
  const std::uint8_t index = setup.value & 0xFF;
  switch (setup.request) {
  case GET_STATUS:
    return Truncated({0, 0}, setup.length);
  case GET_CONFIGURATION:
    return Truncated({CONFIGURATION_VALUE}, setup.length);
  case GET_INTERFACE:
    return Truncated({0}, setup.length);
  case GET_DESCRIPTOR:
    switch (type) {
    case 0x01:
      return Truncated(DeviceDescriptor(spec_), setup.length);
    case 0x02:
      return index == 0 ? Truncated(ConfigurationDescriptor(spec_), setup.length) : std::nullopt;
    case 0x03:
      if (auto text = StringDescriptor(spec_, index)) {
        return Truncated(*text, setup.length);
      }
      return std::nullopt;
    case 0x0F: {
      ByteVector bos = BosDescriptor(spec_);
      if (faults_.bosChangesAfterFirstRead && ++bosReads_ > 1) {
        bos[2] = 0;
        bos[3] = 0;
      }
      return Truncated(std::move(bos), setup.length);
    }
    default:
      return std::nullopt;
    }
  default:
    return std::nullopt;
  }
}

std::optional<ByteVector> LoopbackDevice::Answer(const SetupPacket &setup) {
  const bool in = (setup.requestType & 0x80) != 0;
  const unsigned kind = (setup.requestType >> 5) & 0x3;
  if (!in) {
    if (setup.requestType == TO_ENDPOINT && setup.request == CLEAR_FEATURE &&
        setup.value == ENDPOINT_HALT) {
      halted_.erase(static_cast<std::uint8_t>(setup.index));
    }
    if (kind == 0 && (setup.request == SET_CONFIGURATION || setup.request == SET_INTERFACE)) {
      halted_.clear();
    }
    // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE and the like.
    return kind == 0 ? std::optional<ByteVector>(ByteVector{}) : std::nullopt;
  }
  if (kind == 0) {
    return StandardRequest(setup);
  }
  if (kind == 2 && spec_.osDescriptors == OsDescriptors::MsOs20 &&
      setup.request == MS_OS_20_VENDOR_CODE && setup.index == 7) {
    return Truncated(MsOs20DescriptorSet(spec_), setup.length);
  }
  if (kind == 2 && spec_.osDescriptors == OsDescriptors::MsOs10 &&
      setup.request == MS_OS_10_VENDOR_CODE) {
    if (setup.index == 4 && setup.value == 0) {
      return Truncated(MsOs10ExtendedCompatId(spec_), setup.length);
    }
    // The interface in the low byte of wValue, as Windows sends it.
    if (setup.index == 5 && setup.value <= 0xFF &&
        DeclaresClass(spec_, static_cast<std::uint8_t>(setup.value))) {
      return Truncated(MsOs10ExtendedProperties(spec_), setup.length);
    }
  }
  return std::nullopt;
}

TransferResult LoopbackDevice::Control(const SetupPacket &setup) {
  const std::lock_guard lock(mutex_);
  if (!connected_) {
    return {Completion::NoDevice, 0, {}};
  }
  ++controlRequests_;
  if (faults_.silentControl) {
    return {Completion::Pending, 0, {}};
  }
  std::optional<ByteVector> answer = Answer(setup);
  if (!answer) {
    return {Completion::Stall, 0, {}};
  }
  const auto actual = static_cast<std::uint32_t>(answer->size());
  return {Completion::Done, actual, std::move(*answer)};
}

// Packets of at most packetSize bytes (fewer when the device is scripted to
// send smaller ones) until the room is used or a short packet ends the
// transfer; an emptied queue also ends it, as a zero-length packet would.
TransferResult LoopbackDevice::Send(ByteQueue &source, std::uint32_t bufferLength,
                                    std::uint16_t packetSize) {
  TransferResult result;
  const std::uint32_t sent = faults_.inPacketSize != 0
                                 ? std::min<std::uint32_t>(faults_.inPacketSize, packetSize)
                                 : packetSize;
  while (!source.Empty() && result.actual < bufferLength) {
    const auto packet = static_cast<std::uint32_t>(
        std::min<std::size_t>(RandomlyLess(sent, 8).value_or(sent), source.Size()));
    const std::uint32_t room = bufferLength - result.actual;
    const std::uint32_t kept = std::min(packet, room);
    source.Pop(kept, &result.data);
    source.Pop(packet - kept, nullptr); // what overflowed the transfer is lost
    result.actual += kept;
    if (packet > room) {
      result.status = Completion::Overflow;
      break;
    }
    if (packet < packetSize) {
      break;
    }
  }
  return result;
}

TransferResult LoopbackDevice::TakeOut(std::uint32_t bufferLength,
                                       std::span<const std::uint8_t> out) {
  TransferResult result;
  std::uint32_t taken = std::min<std::uint32_t>(
      {bufferLength, faults_.outTakeLimit, static_cast<std::uint32_t>(out.size())});
  // A short completion still takes something, or the writer could never finish.
  if (const auto fewer = RandomlyLess(taken > 0 ? taken - 1 : 0, 4)) {
    taken = *fewer + 1;
  }
  const auto room = static_cast<std::uint32_t>(spec_.queueLimit - queue_.Size());
  if (taken > room) {
    // The host's write waits; whole packets go in as the queue drains.
    taken = room - room % spec_.bulkPacketSize;
    result.status = Completion::Pending;
  }
  result.actual = taken;
  queue_.Push(out.first(taken));
  if (keepRecords_) {
    received_.insert(received_.end(), out.begin(), out.begin() + taken);
  }
  return result;
}

TransferResult LoopbackDevice::Complete(std::uint8_t endpoint, std::uint32_t bufferLength,
                                        std::span<const std::uint8_t> out) {
  const bool stallDue = faults_.stallTransfer != 0 && completed_ + 1 == faults_.stallTransfer;
  const bool stallEmpty = endpoint == BULK_IN && queue_.Empty() && faults_.stallWhenEmpty;
  if (halted_.count(endpoint) != 0 || stallDue || stallEmpty) {
    halted_.insert(endpoint);
    return {Completion::Stall, 0, {}};
  }
  if (endpoint == BULK_OUT) {
    return TakeOut(bufferLength, out);
  }
  if (endpoint == BULK_IN) {
    if (queue_.Empty()) {
      return {Completion::Pending, 0, {}};
    }
    return Send(queue_, bufferLength, spec_.bulkPacketSize);
  }
  if (endpoint == INTERRUPT_IN) {
    ByteVector report;
    Put32(report, static_cast<std::uint32_t>(queue_.Size()));
    ByteQueue status;
    status.Push(report);
    return Send(status, bufferLength, spec_.interruptPacketSize);
  }
  return {Completion::Invalid, 0, {}};
}

TransferResult LoopbackDevice::Transfer(std::uint8_t endpoint, std::uint32_t bufferLength,
                                        std::span<const std::uint8_t> out) {
  const std::lock_guard lock(mutex_);
  if (faults_.disconnectAfter != 0 && completed_ >= faults_.disconnectAfter) {
    connected_ = false;
  }
  TransferResult result = connected_ ? Complete(endpoint, bufferLength, out)
                                     : TransferResult{Completion::NoDevice, 0, {}};
  if (result.status != Completion::Pending) {
    ++traffic_.transfers[Traffic::Slot(endpoint)];
  }
  if (result.status != Completion::Pending && result.status != Completion::Invalid) {
    ++completed_;
    if (keepRecords_) {
      log_.push_back({endpoint, bufferLength, result.actual, result.status});
    }
  }
  return result;
}

} // namespace pelmora::emulated
