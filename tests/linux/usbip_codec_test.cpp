// SPDX-License-Identifier: MIT
// The USB/IP messages as the kernel lays them out, and what the USB/IP
// device's session answers: the bytes a real importer would see.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "usbip_codec.h"
#include "usbip_session.h"

namespace {

using namespace pelmora::usbip;

std::uint32_t Be32(const ByteVector &bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes.at(at) << 24 | bytes.at(at + 1) << 16 |
                                    bytes.at(at + 2) << 8 | bytes.at(at + 3));
}

UrbCommand Submit(std::uint32_t seqnum, std::uint32_t direction, std::uint32_t endpoint,
                  std::uint32_t length, Bytes out = {}) {
  UrbCommand command;
  command.command = CMD_SUBMIT;
  command.seqnum = seqnum;
  command.devid = DEVICE_ID;
  command.direction = direction;
  command.endpoint = endpoint;
  command.length = length;
  command.out = out;
  return command;
}

UrbCommand Control(std::uint32_t seqnum, std::array<std::uint8_t, 8> setup) {
  const bool in = (setup[0] & 0x80) != 0;
  const auto length = static_cast<std::uint32_t>(setup[6] | setup[7] << 8);
  UrbCommand command = Submit(seqnum, in ? DIRECTION_IN : DIRECTION_OUT, 0, length);
  command.setup = setup;
  return command;
}

UrbCommand Unlink(std::uint32_t seqnum, std::uint32_t victim) {
  UrbCommand command;
  command.command = CMD_UNLINK;
  command.seqnum = seqnum;
  command.devid = DEVICE_ID;
  command.unlinkSeqnum = victim;
  return command;
}

ByteVector Encoded(const UrbCommand &command) { return EncodeUrbCommand(command); }

ByteVector With(ByteVector bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) {
    bytes.at(at + static_cast<std::size_t>(i)) = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  }
  return bytes;
}

ByteVector Cut(ByteVector bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

const ByteVector FIVE_BYTES = {1, 2, 3, 4, 5};

struct CommandRow {
  const char *name;
  ByteVector input;
  Framing framing;
  std::size_t size;    // when complete
  std::string problem; // part of it, when invalid
};

template <typename Decode> void ExpectFraming(std::span<const CommandRow> rows, Decode decode) {
  for (const CommandRow &row : rows) {
    SCOPED_TRACE(row.name);
    const auto decoded = decode(row.input);
    EXPECT_EQ(decoded.framing, row.framing);
    EXPECT_EQ(decoded.size, row.size);
    EXPECT_NE(decoded.problem.find(row.problem), std::string::npos) << decoded.problem;
  }
}

TEST(UsbipCodec, FramesAClientsCommandsAndRefusesWhatNoImporterSends) {
  const ByteVector out = Encoded(Submit(7, DIRECTION_OUT, 1, 5, FIVE_BYTES));
  const ByteVector longest = Encoded(Submit(8, DIRECTION_OUT, 1, LONGEST_TRANSFER));
  const CommandRow rows[] = {
      {"bulk OUT and its data", out, Framing::Complete, 53, ""},
      {"bulk OUT whose data is cut short", Cut(out, 52), Framing::Incomplete, 0, ""},
      {"a header cut short", Cut(out, 47), Framing::Incomplete, 0, ""},
      {"bulk IN, no data follows", Encoded(Submit(9, DIRECTION_IN, 1, 512)), Framing::Complete, 48,
       ""},
      {"the longest OUT waits for its data", longest, Framing::Incomplete, 0, ""},
      {"a length above the limit, refused from the header alone",
       With(Cut(longest, 48), 24, LONGEST_TRANSFER + 1), Framing::Invalid, 0, "1048577 bytes"},
      {"a length of 2^32 - 1", With(Cut(longest, 48), 24, 0xFFFFFFFF), Framing::Invalid, 0,
       "above the 1048576"},
      {"isochronous packets", With(Encoded(Submit(1, DIRECTION_IN, 1, 64)), 32, 3),
       Framing::Invalid, 0, "isochronous transfer of 3 packets"},
      {"number_of_packets 0xFFFFFFFF is no isochronous transfer",
       With(Encoded(Submit(1, DIRECTION_IN, 1, 64)), 32, NOT_ISOCHRONOUS), Framing::Complete, 48,
       ""},
      {"unlink", Encoded(Unlink(10, 9)), Framing::Complete, 48, ""},
      {"an unknown command", With(Encoded(Unlink(10, 9)), 0, 5), Framing::Invalid, 0,
       "unknown command 0x0005"},
      {"a direction of 2", With(Encoded(Submit(1, DIRECTION_IN, 1, 64)), 12, 2), Framing::Invalid,
       0, "direction 2"},
      {"endpoint 16", With(Encoded(Submit(1, DIRECTION_IN, 1, 64)), 16, 16), Framing::Invalid, 0,
       "endpoint 16"},
  };
  ExpectFraming(rows, DecodeUrbCommand);
  const Decoded<UrbCommand> decoded = DecodeUrbCommand(out);
  EXPECT_EQ(decoded.message.seqnum, 7u);
  EXPECT_EQ(decoded.message.devid, DEVICE_ID);
  EXPECT_EQ(ByteVector(decoded.message.out.begin(), decoded.message.out.end()), FIVE_BYTES);
  EXPECT_EQ(DecodeUrbCommand(Encoded(Unlink(10, 9))).message.unlinkSeqnum, 9u);
}

TEST(UsbipCodec, FramesTheRequestsBeforeAnImport) {
  const ByteVector import = EncodeOpRequest({OP_REQ_IMPORT, "1-1"});
  const CommandRow rows[] = {
      {"device list", EncodeOpRequest({OP_REQ_DEVLIST, ""}), Framing::Complete, 8, ""},
      {"import", import, Framing::Complete, IMPORT_REQUEST_SIZE, ""},
      {"import cut short", Cut(import, 39), Framing::Incomplete, 0, ""},
      {"a header cut short", Cut(import, 7), Framing::Incomplete, 0, ""},
      {"another version", With(import, 0, 0x01060000 | OP_REQ_IMPORT), Framing::Invalid, 0,
       "protocol version 0x0106, not 0x0111"},
      {"an unknown request", With(import, 0, 0x01118004), Framing::Invalid, 0,
       "unknown request 0x8004"},
  };
  ExpectFraming(rows, DecodeOpRequest);
  EXPECT_EQ(DecodeOpRequest(import).message.busId, "1-1");
}

TEST(UsbipCodec, EncodesTheServersRepliesBigEndianAtTheKernelsOffsets) {
  ExportedDevice device;
  device.busId = "1-1";
  device.busnum = 1;
  device.devnum = 2;
  device.speed = 3;
  device.vendorId = 0x1209;
  device.productId = 0x0001;
  device.interfaces = {{0xFF, 0x01, 0x02}, {0x02, 0x02, 0x01}};
  const ByteVector list = EncodeDevlistReply(device);
  ASSERT_EQ(list.size(), 12 + DEVICE_RECORD_SIZE + 2 * 4);
  EXPECT_EQ(Be32(list, 0), 0x01110005u);
  EXPECT_EQ(Be32(list, 8), 1u); // devices
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(&list[12 + 256])), "1-1");
  EXPECT_EQ(Be32(list, 12 + 288), 1u);
  EXPECT_EQ(Be32(list, 12 + 292), 2u);
  EXPECT_EQ(Be32(list, 12 + 296), 3u);
  EXPECT_EQ(Be32(list, 12 + 300), 0x12090001u);
  EXPECT_EQ(list[12 + 311], 2); // bNumInterfaces
  EXPECT_EQ(Be32(list, 12 + DEVICE_RECORD_SIZE), 0xFF010200u);

  const ByteVector imported = EncodeImportReply(IMPORT_OK, device);
  ASSERT_EQ(imported.size(), OP_HEADER_SIZE + DEVICE_RECORD_SIZE);
  const Decoded<ImportReply> reply = DecodeImportReply(imported);
  EXPECT_EQ(reply.framing, Framing::Complete);
  EXPECT_EQ(reply.message.busId, "1-1");
  EXPECT_EQ(reply.message.busnum << 16 | reply.message.devnum, 0x00010002u);
  EXPECT_EQ(reply.message.speed, 3u);
  const ByteVector busy = EncodeImportReply(IMPORT_BUSY, device);
  EXPECT_EQ(busy.size(), OP_HEADER_SIZE); // no device follows a refusal
  EXPECT_EQ(DecodeImportReply(busy).message.status, IMPORT_BUSY);

  ByteVector replies;
  AppendSubmitReply(replies, 7, -32, 3, FIVE_BYTES);
  AppendUnlinkReply(replies, 8, -104);
  ASSERT_EQ(replies.size(), 48 + 5 + 48);
  EXPECT_EQ(Be32(replies, 0), RET_SUBMIT);
  EXPECT_EQ(Be32(replies, 20), 0xFFFFFFE0u);
  EXPECT_EQ(Be32(replies, 24), 3u);
  EXPECT_EQ(Be32(replies, 32), NOT_ISOCHRONOUS);
  const Decoded<UrbReply> submitted = DecodeUrbReply(replies, true);
  EXPECT_EQ(submitted.size, 48u + 3u); // the data is what the length says
  EXPECT_EQ(submitted.message.status, -32);
  const Decoded<UrbReply> unlinked = DecodeUrbReply(Bytes(replies).subspan(53), false);
  EXPECT_EQ(unlinked.message.command, RET_UNLINK);
  EXPECT_EQ(unlinked.message.seqnum, 8u);
  EXPECT_EQ(unlinked.message.status, -104);
}

// A session fed a client's bytes, and what it answered.
struct Client {
  DeviceSlot slot{{}, {}};
  Session session{slot, nullptr};

  void Send(const ByteVector &bytes) { session.Receive(bytes); }
  void Import() {
    Send(EncodeOpRequest({OP_REQ_IMPORT, BUS_ID}));
    Answers();
  }
  // Every reply so far, with IN data for the seqnums in inSeqnums.
  std::vector<UrbReply> Answers(std::initializer_list<std::uint32_t> inSeqnums = {}) {
    ByteVector bytes;
    session.Output().Pop(session.Output().Size(), &bytes);
    held.insert(held.end(), bytes.begin(), bytes.end());
    std::vector<UrbReply> replies;
    std::size_t at = 0;
    if (!imported) {
      const Decoded<ImportReply> reply = DecodeImportReply(held);
      at = reply.size;
      imported = reply.message.status == IMPORT_OK;
    }
    while (at < held.size()) {
      const Bytes rest = Bytes(held).subspan(at);
      const std::uint32_t seqnum = DecodeUrbReply(rest, false).message.seqnum;
      const bool in = std::find(inSeqnums.begin(), inSeqnums.end(), seqnum) != inSeqnums.end();
      const Decoded<UrbReply> reply = DecodeUrbReply(rest, in);
      replies.push_back(reply.message);
      at += reply.size;
    }
    held.clear();
    return replies;
  }
  ByteVector held;
  bool imported = false;
};

TEST(UsbipSession, AnswersAnUnlinkOfAWaitingReadAndNeverCompletesIt) {
  Client client;
  client.Import();
  client.Send(Encoded(Submit(1, DIRECTION_IN, 1, 512)));
  client.Send(Encoded(Unlink(2, 1)));
  client.Send(Encoded(Unlink(3, 1))); // answered already: nothing to take back
  client.Send(Encoded(Submit(4, DIRECTION_OUT, 1, 5, FIVE_BYTES)));
  client.Send(Encoded(Submit(5, DIRECTION_IN, 1, 512)));
  const std::vector<UrbReply> replies = client.Answers({5});
  ASSERT_EQ(replies.size(), 4u);
  EXPECT_EQ(replies[0].seqnum, 2u);
  EXPECT_EQ(replies[0].status, -104);
  EXPECT_EQ(replies[1].seqnum, 3u);
  EXPECT_EQ(replies[1].status, 0);
  EXPECT_EQ(replies[2].seqnum, 4u);
  EXPECT_EQ(replies[3].seqnum, 5u); // the data went to the later read, not the unlinked one
  EXPECT_EQ(ByteVector(replies[3].in.begin(), replies[3].in.end()), FIVE_BYTES);
}

TEST(UsbipSession, AnswersEnumerationAndDropsSetupPacketsThatMakeNoSense) {
  struct Row {
    const char *name;
    std::array<std::uint8_t, 8> setup;
    std::uint32_t transferLength;
    std::int32_t status;
    std::uint32_t actual;
    std::string problem;
    bool otherDirection = false; // the transfer's direction is not the request's
  };
  const Row rows[] = {
      {"GET_DESCRIPTOR device", {0x80, 6, 0, 1, 0, 0, 18, 0}, 18, 0, 18, ""},
      {"SET_CONFIGURATION 1", {0x00, 9, 1, 0, 0, 0, 0, 0}, 0, 0, 0, ""},
      {"CLEAR_FEATURE halt of 0x81", {0x02, 1, 0, 0, 0x81, 0, 0, 0}, 0, 0, 0, ""},
      {"an unknown vendor request stalls", {0xC0, 0x55, 0, 0, 0, 0, 4, 0}, 4, -32, 0, ""},
      {"wLength beyond the transfer", {0x80, 6, 0, 1, 0, 0, 18, 0}, 8, 0, 0, "asking for 18 bytes"},
      {"an OUT request on an IN transfer",
       {0x40, 0x55, 0, 0, 0, 0, 2, 0},
       2,
       0,
       0,
       "direction",
       true},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Client client;
    client.Import();
    UrbCommand command = Control(1, row.setup);
    command.length = row.transferLength;
    if (row.otherDirection) {
      command.direction = DIRECTION_IN;
    }
    client.Send(Encoded(command));
    const std::vector<UrbReply> replies = client.Answers({1});
    EXPECT_NE(client.session.Failure().find(row.problem), std::string::npos);
    if (!row.problem.empty()) {
      EXPECT_TRUE(replies.empty());
      EXPECT_FALSE(client.session.Reading());
      continue;
    }
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].status, row.status);
    EXPECT_EQ(replies[0].actual, row.actual);
  }
}

TEST(UsbipSession, StopsReadingOnceWhatWaitsReachesItsLimits) {
  struct Row {
    const char *name;
    std::function<ByteVector(std::uint32_t)> urb;
    std::size_t readingUntil; // the URBs after which it still reads
  };
  const ByteVector large(LONGEST_TRANSFER, 0x5A);
  const Row rows[] = {
      {"a flood of reads: the number waiting is capped",
       [](std::uint32_t n) { return Encoded(Submit(n, DIRECTION_IN, 1, 512)); },
       pelmora::emulated::HostBacklog::MOST_TRANSFERS - 1},
      {"writes of 1 MiB once the queue is full: their bytes count",
       [&large](std::uint32_t n) {
         return Encoded(Submit(n, DIRECTION_OUT, 1, LONGEST_TRANSFER, large));
       },
       16 + 1},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    Client client;
    client.Import();
    std::uint32_t sent = 0;
    while (client.session.Reading() && sent < 100000) {
      client.Send(row.urb(++sent));
    }
    EXPECT_EQ(sent, row.readingUntil + 1);
  }
}

} // namespace
