// SPDX-License-Identifier: MIT
#include "usbip_codec.h"

#include <algorithm>
#include <cstdio>

namespace pelmora::usbip {

namespace {

constexpr std::size_t PATH_SIZE = 256;

void Put16(ByteVector &bytes, std::uint32_t value) {
  bytes.push_back(static_cast<std::uint8_t>(value >> 8));
  bytes.push_back(static_cast<std::uint8_t>(value));
}

void Put32(ByteVector &bytes, std::uint32_t value) {
  Put16(bytes, value >> 16);
  Put16(bytes, value & 0xFFFF);
}

// A fixed-size text field, zero-padded; a longer text is cut to leave a zero.
void PutText(ByteVector &bytes, const std::string &text, std::size_t size) {
  const std::size_t kept = std::min(text.size(), size - 1);
  bytes.insert(bytes.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kept));
  bytes.insert(bytes.end(), size - kept, 0);
}

std::uint32_t Get16(Bytes bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at] << 8 | bytes[at + 1]);
}

std::uint32_t Get32(Bytes bytes, std::size_t at) {
  return Get16(bytes, at) << 16 | Get16(bytes, at + 2);
}

std::string GetText(Bytes bytes, std::size_t at, std::size_t size) {
  const auto start = bytes.begin() + static_cast<std::ptrdiff_t>(at);
  return {start, std::find(start, start + static_cast<std::ptrdiff_t>(size), 0)};
}

template <typename Message> Decoded<Message> Invalid(const std::string &problem) {
  Decoded<Message> decoded;
  decoded.framing = Framing::Invalid;
  decoded.problem = problem;
  return decoded;
}

template <typename Message> Decoded<Message> Complete(Message message, std::size_t size) {
  return {Framing::Complete, std::move(message), size, {}};
}

std::string Hex(std::uint32_t value) {
  char text[16];
  (void)std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

void PutDeviceRecord(ByteVector &bytes, const ExportedDevice &device) {
  PutText(bytes, device.path, PATH_SIZE);
  PutText(bytes, device.busId, BUS_ID_SIZE);
  Put32(bytes, device.busnum);
  Put32(bytes, device.devnum);
  Put32(bytes, device.speed);
  Put16(bytes, device.vendorId);
  Put16(bytes, device.productId);
  Put16(bytes, device.bcdDevice);
  bytes.push_back(device.deviceClass);
  bytes.push_back(device.deviceSubClass);
  bytes.push_back(device.deviceProtocol);
  bytes.push_back(device.configurationValue);
  bytes.push_back(device.configurationCount);
  bytes.push_back(static_cast<std::uint8_t>(device.interfaces.size()));
}

void PutOpHeader(ByteVector &bytes, std::uint16_t code, std::uint32_t status) {
  Put16(bytes, PROTOCOL_VERSION);
  Put16(bytes, code);
  Put32(bytes, status);
}

void PutUrbBasics(ByteVector &bytes, std::uint32_t command, std::uint32_t seqnum,
                  std::uint32_t devid, std::uint32_t direction, std::uint32_t endpoint) {
  Put32(bytes, command);
  Put32(bytes, seqnum);
  Put32(bytes, devid);
  Put32(bytes, direction);
  Put32(bytes, endpoint);
}

} // namespace

Decoded<OpRequest> DecodeOpRequest(Bytes input) {
  if (input.size() < OP_HEADER_SIZE) {
    return {};
  }
  if (const std::uint32_t version = Get16(input, 0); version != PROTOCOL_VERSION) {
    return Invalid<OpRequest>("protocol version " + Hex(version) + ", not " +
                              Hex(PROTOCOL_VERSION));
  }
  OpRequest request{static_cast<std::uint16_t>(Get16(input, 2)), {}};
  if (request.code == OP_REQ_DEVLIST) {
    return Complete(std::move(request), OP_HEADER_SIZE);
  }
  if (request.code != OP_REQ_IMPORT) {
    return Invalid<OpRequest>("unknown request " + Hex(request.code));
  }
  if (input.size() < IMPORT_REQUEST_SIZE) {
    return {};
  }
  request.busId = GetText(input, OP_HEADER_SIZE, BUS_ID_SIZE);
  return Complete(std::move(request), IMPORT_REQUEST_SIZE);
}

Decoded<UrbCommand> DecodeUrbCommand(Bytes input) {
  if (input.size() < URB_HEADER_SIZE) {
    return {};
  }
  UrbCommand command;
  command.command = Get32(input, 0);
  command.seqnum = Get32(input, 4);
  command.devid = Get32(input, 8);
  command.direction = Get32(input, 12);
  command.endpoint = Get32(input, 16);
  if (command.command == CMD_UNLINK) {
    command.unlinkSeqnum = Get32(input, 20);
    return Complete(command, URB_HEADER_SIZE);
  }
  if (command.command != CMD_SUBMIT) {
    return Invalid<UrbCommand>("unknown command " + Hex(command.command));
  }
  if (command.direction > DIRECTION_IN || command.endpoint > 15) {
    return Invalid<UrbCommand>("direction " + std::to_string(command.direction) + " endpoint " +
                               std::to_string(command.endpoint) + ", which no URB has");
  }
  command.flags = Get32(input, 20);
  command.length = Get32(input, 24);
  command.startFrame = Get32(input, 28);
  command.packets = Get32(input, 32);
  command.interval = Get32(input, 36);
  std::copy_n(input.begin() + 40, command.setup.size(), command.setup.begin());
  if (command.length > LONGEST_TRANSFER) {
    return Invalid<UrbCommand>("a transfer of " + std::to_string(command.length) +
                               " bytes, above the " + std::to_string(LONGEST_TRANSFER) +
                               " a URB may carry here");
  }
  if (command.packets != 0 && command.packets != NOT_ISOCHRONOUS) {
    return Invalid<UrbCommand>("an isochronous transfer of " + std::to_string(command.packets) +
                               " packets, which the device has no endpoint for");
  }
  const std::size_t size =
      URB_HEADER_SIZE + (command.direction == DIRECTION_OUT ? command.length : 0);
  if (input.size() < size) {
    return {};
  }
  command.out = input.subspan(URB_HEADER_SIZE, size - URB_HEADER_SIZE);
  return Complete(command, size);
}

Decoded<UrbReply> DecodeUrbReply(Bytes input, bool dataFollows) {
  if (input.size() < URB_HEADER_SIZE) {
    return {};
  }
  UrbReply reply;
  reply.command = Get32(input, 0);
  reply.seqnum = Get32(input, 4);
  reply.status = static_cast<std::int32_t>(Get32(input, 20));
  if (reply.command == RET_UNLINK) {
    return Complete(reply, URB_HEADER_SIZE);
  }
  if (reply.command != RET_SUBMIT) {
    return Invalid<UrbReply>("unknown reply " + Hex(reply.command));
  }
  reply.actual = Get32(input, 24);
  if (reply.actual > LONGEST_TRANSFER) {
    return Invalid<UrbReply>("a reply of " + std::to_string(reply.actual) + " bytes");
  }
  const std::size_t size = URB_HEADER_SIZE + (dataFollows ? reply.actual : 0);
  if (input.size() < size) {
    return {};
  }
  reply.in = input.subspan(URB_HEADER_SIZE, size - URB_HEADER_SIZE);
  return Complete(reply, size);
}

Decoded<ImportReply> DecodeImportReply(Bytes input) {
  if (input.size() < OP_HEADER_SIZE) {
    return {};
  }
  if (Get16(input, 0) != PROTOCOL_VERSION || Get16(input, 2) != OP_REP_IMPORT) {
    return Invalid<ImportReply>("not an import reply");
  }
  ImportReply reply;
  reply.status = Get32(input, 4);
  if (reply.status != IMPORT_OK) {
    return Complete(reply, OP_HEADER_SIZE);
  }
  if (input.size() < OP_HEADER_SIZE + DEVICE_RECORD_SIZE) {
    return {};
  }
  const std::size_t record = OP_HEADER_SIZE + PATH_SIZE;
  reply.busId = GetText(input, record, BUS_ID_SIZE);
  reply.busnum = Get32(input, record + BUS_ID_SIZE);
  reply.devnum = Get32(input, record + BUS_ID_SIZE + 4);
  reply.speed = Get32(input, record + BUS_ID_SIZE + 8);
  return Complete(reply, OP_HEADER_SIZE + DEVICE_RECORD_SIZE);
}

ByteVector EncodeDevlistReply(const ExportedDevice &device) {
  ByteVector bytes;
  PutOpHeader(bytes, OP_REP_DEVLIST, 0);
  Put32(bytes, 1); // one device
  PutDeviceRecord(bytes, device);
  for (const InterfaceClass &interface : device.interfaces) {
    bytes.push_back(interface.interfaceClass);
    bytes.push_back(interface.subClass);
    bytes.push_back(interface.protocol);
    bytes.push_back(0);
  }
  return bytes;
}

ByteVector EncodeImportReply(std::uint32_t status, const ExportedDevice &device) {
  ByteVector bytes;
  PutOpHeader(bytes, OP_REP_IMPORT, status);
  if (status == IMPORT_OK) {
    PutDeviceRecord(bytes, device);
  }
  return bytes;
}

void AppendSubmitReply(ByteVector &bytes, std::uint32_t seqnum, std::int32_t status,
                       std::uint32_t actual, Bytes in) {
  // Replies are matched by seqnum alone; the kernel leaves the rest 0.
  PutUrbBasics(bytes, RET_SUBMIT, seqnum, 0, 0, 0);
  Put32(bytes, static_cast<std::uint32_t>(status));
  Put32(bytes, actual);
  Put32(bytes, 0); // start frame
  Put32(bytes, NOT_ISOCHRONOUS);
  Put32(bytes, 0); // error count
  bytes.insert(bytes.end(), 8, 0);
  bytes.insert(bytes.end(), in.begin(), in.end());
}

void AppendUnlinkReply(ByteVector &bytes, std::uint32_t seqnum, std::int32_t status) {
  PutUrbBasics(bytes, RET_UNLINK, seqnum, 0, 0, 0);
  Put32(bytes, static_cast<std::uint32_t>(status));
  bytes.insert(bytes.end(), 24, 0);
}

ByteVector EncodeOpRequest(const OpRequest &request) {
  ByteVector bytes;
  PutOpHeader(bytes, request.code, 0);
  if (request.code == OP_REQ_IMPORT) {
    PutText(bytes, request.busId, BUS_ID_SIZE);
  }
  return bytes;
}

ByteVector EncodeUrbCommand(const UrbCommand &command) {
  ByteVector bytes;
  PutUrbBasics(bytes, command.command, command.seqnum, command.devid, command.direction,
               command.endpoint);
  if (command.command == CMD_UNLINK) {
    Put32(bytes, command.unlinkSeqnum);
    bytes.insert(bytes.end(), 24, 0);
    return bytes;
  }
  Put32(bytes, command.flags);
  Put32(bytes, command.length);
  Put32(bytes, command.startFrame);
  Put32(bytes, command.packets);
  Put32(bytes, command.interval);
  bytes.insert(bytes.end(), command.setup.begin(), command.setup.end());
  bytes.insert(bytes.end(), command.out.begin(), command.out.end());
  return bytes;
}

} // namespace pelmora::usbip
