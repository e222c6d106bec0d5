// SPDX-License-Identifier: MIT
// The USB/IP messages as bytes: big-endian headers, the setup packet as USB
// lays it out. Pure functions over spans; a decoder checks a message's
// lengths before anyone allocates what they ask for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "descriptors.h"

namespace pelmora::usbip {

using Bytes = std::span<const std::uint8_t>;
using emulated::ByteVector;

inline constexpr std::uint16_t PROTOCOL_VERSION = 0x0111;
inline constexpr std::uint16_t OP_REQ_DEVLIST = 0x8005;
inline constexpr std::uint16_t OP_REP_DEVLIST = 0x0005;
inline constexpr std::uint16_t OP_REQ_IMPORT = 0x8003;
inline constexpr std::uint16_t OP_REP_IMPORT = 0x0003;
inline constexpr std::uint32_t CMD_SUBMIT = 1;
inline constexpr std::uint32_t CMD_UNLINK = 2;
inline constexpr std::uint32_t RET_SUBMIT = 3;
inline constexpr std::uint32_t RET_UNLINK = 4;

inline constexpr std::size_t OP_HEADER_SIZE = 8;
inline constexpr std::size_t BUS_ID_SIZE = 32;
inline constexpr std::size_t IMPORT_REQUEST_SIZE = OP_HEADER_SIZE + BUS_ID_SIZE;
inline constexpr std::size_t DEVICE_RECORD_SIZE = 312;
inline constexpr std::size_t URB_HEADER_SIZE = 48;
// The most bytes one URB may carry: far more than the program's 4096-byte
// transfers, and no more than the server would hold for one URB.
inline constexpr std::uint32_t LONGEST_TRANSFER = 1024 * 1024;

inline constexpr std::uint32_t DIRECTION_OUT = 0;
inline constexpr std::uint32_t DIRECTION_IN = 1;
// transfer_flags: a short IN transfer is an error.
inline constexpr std::uint32_t SHORT_NOT_OK = 0x1;
// number_of_packets of a transfer that is not isochronous, besides 0.
inline constexpr std::uint32_t NOT_ISOCHRONOUS = 0xFFFFFFFF;

// Import reply statuses, as the kernel's tools name them.
inline constexpr std::uint32_t IMPORT_OK = 0;
inline constexpr std::uint32_t IMPORT_BUSY = 2;
inline constexpr std::uint32_t IMPORT_NO_DEVICE = 4;

struct InterfaceClass {
  std::uint8_t interfaceClass;
  std::uint8_t subClass;
  std::uint8_t protocol;
};

// What a device list and an import reply say of the device.
struct ExportedDevice {
  std::string path;
  std::string busId;
  std::uint32_t busnum = 0;
  std::uint32_t devnum = 0;
  std::uint32_t speed = 0; // the kernel's USB_SPEED_* numbers
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t bcdDevice = 0;
  std::uint8_t deviceClass = 0;
  std::uint8_t deviceSubClass = 0;
  std::uint8_t deviceProtocol = 0;
  std::uint8_t configurationValue = 0;
  std::uint8_t configurationCount = 0;
  std::vector<InterfaceClass> interfaces;
};

// What a client sends before it imports a device.
struct OpRequest {
  std::uint16_t code = 0;
  std::string busId; // OP_REQ_IMPORT only
};

// CMD_SUBMIT or CMD_UNLINK.
struct UrbCommand {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t endpoint = 0;
  // CMD_SUBMIT
  std::uint32_t flags = 0;
  std::uint32_t length = 0;
  std::uint32_t startFrame = 0;
  std::uint32_t packets = 0;
  std::uint32_t interval = 0;
  std::array<std::uint8_t, 8> setup{};
  Bytes out; // an OUT transfer's data, inside the decoded bytes
  // CMD_UNLINK: the URB to take back.
  std::uint32_t unlinkSeqnum = 0;
};

// RET_SUBMIT or RET_UNLINK, as a client reads them.
struct UrbReply {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::int32_t status = 0;
  std::uint32_t actual = 0; // RET_SUBMIT
  Bytes in;                 // RET_SUBMIT of an IN transfer
};

// OP_REP_IMPORT; the device's fields only when status is IMPORT_OK.
struct ImportReply {
  std::uint32_t status = 0;
  std::string busId;
  std::uint32_t busnum = 0;
  std::uint32_t devnum = 0;
  std::uint32_t speed = 0;
};

enum class Framing {
  Incomplete, // more bytes are needed
  Complete,
  Invalid,
};

template <typename Message> struct Decoded {
  Framing framing = Framing::Incomplete;
  Message message{};
  std::size_t size = 0; // the bytes the message takes, when complete
  std::string problem;  // why it is invalid
};

Decoded<OpRequest> DecodeOpRequest(Bytes input);
Decoded<UrbCommand> DecodeUrbCommand(Bytes input);
// dataFollows: the reply's URB was an IN transfer, so its data follows.
Decoded<UrbReply> DecodeUrbReply(Bytes input, bool dataFollows);
// An OP_REP_IMPORT, as a client reads it.
Decoded<ImportReply> DecodeImportReply(Bytes input);

ByteVector EncodeDevlistReply(const ExportedDevice &device);
// The device record follows only when status is IMPORT_OK.
ByteVector EncodeImportReply(std::uint32_t status, const ExportedDevice &device);
void AppendSubmitReply(ByteVector &bytes, std::uint32_t seqnum, std::int32_t status,
                       std::uint32_t actual, Bytes in);
void AppendUnlinkReply(ByteVector &bytes, std::uint32_t seqnum, std::int32_t status);

// A client's side, for tests and measurements.
ByteVector EncodeOpRequest(const OpRequest &request);
ByteVector EncodeUrbCommand(const UrbCommand &command);

} // namespace pelmora::usbip
