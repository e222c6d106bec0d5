// SPDX-License-Identifier: MIT
// The usbredir device server against a scripted peer on a real socket: what
// QEMU relies on (announcement, loopback, parked reads, cancel), and that
// malformed or hostile packets neither crash it nor stop it answering.
#include <gtest/gtest.h>

#include <random>

#include "usbredir_peer.h"

namespace {

using usbredir_peer::Bytes;
using usbredir_peer::Peer;
using namespace std::chrono_literals;

Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  }
  return bytes;
}

TEST(UsbredirDevice, AnnouncesAHighSpeedDeviceWithItsEndpointsBeforeConnecting) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  EXPECT_EQ(peer.device.speed, usb_redir_speed_high);
  EXPECT_EQ(peer.device.vendor_id, 0x1209);
  EXPECT_EQ(peer.interfaces.interface_count, 1u);
  EXPECT_EQ(peer.interfaces.interface_class[0], 0xFF);
  EXPECT_EQ(peer.endpoints.type[0x01], usb_redir_type_bulk);
  EXPECT_EQ(peer.endpoints.max_packet_size[0x01], 512);
  EXPECT_EQ(peer.endpoints.type[16 + 0x01], usb_redir_type_bulk);
  EXPECT_EQ(peer.endpoints.type[16 + 0x03], usb_redir_type_interrupt);
  EXPECT_EQ(peer.endpoints.type[0x02], usb_redir_type_invalid);
}

TEST(UsbredirDevice, AnswersDescriptorRequestsCutToTheRequestedLength) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  peer.Control(1, 0x80, 6, 0x0100, 0, 8);
  const auto head = peer.Await(1);
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, usb_redir_success);
  ASSERT_EQ(head->data.size(), 8u);
  EXPECT_EQ(head->data[1], 1);
  EXPECT_EQ(head->data[2] | head->data[3] << 8, 0x0210); // so the kernel reads the BOS

  peer.Control(2, 0x80, 6, 0x0F00, 0, 0xFFFF);
  const auto bos = peer.Await(2);
  ASSERT_TRUE(bos);
  ASSERT_GE(bos->data.size(), 5u);
  EXPECT_EQ(bos->length, bos->data.size());
  EXPECT_EQ(bos->data[2] | bos->data[3] << 8, static_cast<int>(bos->data.size()));

  peer.Control(3, 0x80, 6, 0x0700, 0, 64); // no such descriptor
  const auto unknown = peer.Await(3);
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, usb_redir_stall);
  EXPECT_TRUE(unknown->data.empty());
}

TEST(UsbredirDevice, LoopsOutDataBackWithOutCompletionsCarryingOnlyTheLength) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  const Bytes sent = Pattern(1000);
  peer.Bulk(1, 0x01, 1000, sent);
  const auto out = peer.Await(1);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->status, usb_redir_success);
  EXPECT_EQ(out->length, 1000u);
  EXPECT_TRUE(out->data.empty());

  peer.Bulk(2, 0x81, 4096);
  const auto in = peer.Await(2);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->status, usb_redir_success);
  EXPECT_EQ(in->data, sent);
}

TEST(UsbredirDevice, HoldsAWriteBackWhileTheQueueIsFullAndAnswersItAsReadsDrainIt) {
  Peer peer({"--queue-limit", "4096"});
  ASSERT_TRUE(peer.Connect());
  const Bytes sent = Pattern(10000);
  peer.Bulk(1, 0x01, 10000, sent);
  EXPECT_FALSE(peer.Await(1, 300ms));
  Bytes back;
  for (std::uint64_t id = 2; back.size() < sent.size(); ++id) {
    peer.Bulk(id, 0x81, 4096);
    const auto read = peer.Await(id);
    ASSERT_TRUE(read);
    back.insert(back.end(), read->data.begin(), read->data.end());
  }
  EXPECT_EQ(back, sent);
  const auto written = peer.Await(1);
  ASSERT_TRUE(written);
  EXPECT_EQ(written->status, usb_redir_success);
  EXPECT_EQ(written->length, 10000u);
}

TEST(UsbredirDevice, ParksAReadUntilDataArrivesAndAnswersACancelAsCancelled) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  peer.Bulk(1, 0x81, 512);
  EXPECT_FALSE(peer.Await(1, 300ms));
  peer.Bulk(2, 0x01, 3, {1, 2, 3});
  ASSERT_TRUE(peer.Await(2));
  const auto parked = peer.Await(1);
  ASSERT_TRUE(parked);
  EXPECT_EQ(parked->data, (Bytes{1, 2, 3}));

  peer.Bulk(3, 0x81, 512);
  EXPECT_FALSE(peer.Await(3, 200ms));
  peer.Cancel(3);
  const auto cancelled = peer.Await(3);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->status, usb_redir_cancelled);
  EXPECT_TRUE(cancelled->data.empty());
}

TEST(UsbredirDevice, AReadSmallerThanThePacketBabblesAndKeepsOnlyWhatFits) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  peer.Bulk(1, 0x01, 64, Pattern(64));
  ASSERT_TRUE(peer.Await(1));
  peer.Bulk(2, 0x81, 10);
  const auto in = peer.Await(2);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->status, usb_redir_babble);
  const Bytes sent = Pattern(64);
  EXPECT_EQ(in->data, Bytes(sent.begin(), sent.begin() + 10));
}

TEST(UsbredirDevice, UnplugsWithARequestOutstandingWhenScriptedTo) {
  Peer peer({"--disconnect-after", "1"});
  ASSERT_TRUE(peer.Connect());
  peer.Bulk(1, 0x01, 4, {1, 2, 3, 4});
  ASSERT_TRUE(peer.Await(1));
  peer.Bulk(2, 0x81, 512);
  // No answer: the device goes away instead, and the peer fails the request.
  EXPECT_FALSE(peer.Await(2, 1000ms));
  EXPECT_EQ(peer.Hangup(), 0);
}

TEST(UsbredirDevice, AnswersControlRequestsLateWhenScriptedToOrWhenCancelled) {
  Peer peer({"--control-delay", "300"});
  ASSERT_TRUE(peer.Connect());
  peer.Control(1, 0x80, 6, 0x0100, 0, 18);
  EXPECT_FALSE(peer.Await(1, 150ms));
  const auto late = peer.Await(1);
  ASSERT_TRUE(late);
  EXPECT_EQ(late->status, usb_redir_success);
  EXPECT_EQ(late->data.size(), 18u);
  peer.Control(2, 0x80, 6, 0x0100, 0, 18);
  peer.Cancel(2);
  const auto cancelled = peer.Await(2, 150ms);
  ASSERT_TRUE(cancelled);
  EXPECT_EQ(cancelled->status, usb_redir_cancelled);
}

// Every packet here is framed correctly but says something no device should
// have to accept; after each the device must still answer a plain request.
TEST(UsbredirDevice, SurvivesHostilePacketsAndKeepsAnswering) {
  Peer peer({});
  ASSERT_TRUE(peer.Connect());
  std::uint64_t id = 100;
  const auto stillAnswers = [&peer, &id](const char *after) {
    const std::uint64_t probe = ++id;
    peer.Control(probe, 0x80, 6, 0x0100, 0, 18);
    const auto reply = peer.Await(probe);
    EXPECT_TRUE(reply && reply->data.size() == 18) << "no answer after " << after;
  };
  const auto control = [](std::uint8_t endpoint, std::uint8_t type, std::uint8_t request,
                          std::uint16_t value, std::uint16_t length) {
    return Bytes{endpoint,
                 request,
                 type,
                 0,
                 static_cast<std::uint8_t>(value),
                 static_cast<std::uint8_t>(value >> 8),
                 0,
                 0,
                 static_cast<std::uint8_t>(length),
                 static_cast<std::uint8_t>(length >> 8)};
  };
  const auto bulk = [](std::uint8_t endpoint, std::uint32_t length) {
    return Bytes{endpoint,
                 0,
                 static_cast<std::uint8_t>(length),
                 static_cast<std::uint8_t>(length >> 8),
                 0,
                 0,
                 0,
                 0,
                 static_cast<std::uint8_t>(length >> 16),
                 static_cast<std::uint8_t>(length >> 24)};
  };

  ASSERT_TRUE(
      peer.Raw(usb_redir_control_packet, control(0x80, 0x80, 6, 0x0200, 9), Pattern(300), ++id));
  stillAnswers("an IN control request carrying data");
  ASSERT_TRUE(
      peer.Raw(usb_redir_control_packet, control(0x00, 0x40, 0x99, 0, 5000), Pattern(5000), ++id));
  stillAnswers("a vendor OUT request with 5000 bytes");
  ASSERT_TRUE(peer.Raw(usb_redir_control_packet, control(0x05, 0x80, 6, 0x0100, 18), {}, ++id));
  stillAnswers("a control request on endpoint 5");
  ASSERT_TRUE(peer.Raw(usb_redir_control_packet, Bytes(3, 0xFF), {}, ++id));
  stillAnswers("a control packet with a cut type header");
  ASSERT_TRUE(peer.Raw(usb_redir_bulk_packet, bulk(0x01, 10), Pattern(20), ++id));
  stillAnswers("a bulk OUT packet longer than its header says");
  ASSERT_TRUE(peer.Raw(usb_redir_bulk_packet, bulk(0x8F, 0xFFFFFFFF), {}, ++id));
  stillAnswers("a 4 GiB read from an endpoint that does not exist");
  ASSERT_TRUE(peer.Raw(usb_redir_bulk_packet, bulk(0x07, 8), Pattern(8), ++id));
  stillAnswers("a write to an endpoint that does not exist");
  ASSERT_TRUE(peer.Raw(usb_redir_interrupt_packet, Bytes{0x02, 0, 4, 0}, Pattern(4), ++id));
  stillAnswers("an interrupt OUT packet");
  ASSERT_TRUE(peer.Raw(usb_redir_iso_packet, Bytes{0x81, 0, 0, 1}, {}, ++id));
  stillAnswers("an iso packet");
  ASSERT_TRUE(peer.Raw(usb_redir_set_alt_setting, Bytes{7, 3}, {}, ++id));
  const auto alternate = peer.Await(id);
  ASSERT_TRUE(alternate);
  EXPECT_EQ(alternate->status, usb_redir_inval);
  ASSERT_TRUE(peer.Raw(usb_redir_start_iso_stream, Bytes{0x81, 8, 4}, {}, ++id));
  ASSERT_TRUE(peer.Raw(usb_redir_alloc_bulk_streams, Bytes(8, 0xFF), {}, ++id));
  ASSERT_TRUE(
      peer.Raw(usb_redir_start_bulk_receiving, Bytes{0, 0, 0, 0, 0, 16, 0, 0, 0x81, 4}, {}, ++id));
  ASSERT_TRUE(peer.Raw(usb_redir_cancel_data_packet, {}, {}, 987654321));
  ASSERT_TRUE(peer.Raw(usb_redir_filter_filter, {}, Bytes{'x', ',', 0}, ++id));
  ASSERT_TRUE(peer.Raw(usb_redir_hello, Bytes(64, 'h'), Bytes(4, 0xFF), ++id));
  ASSERT_TRUE(peer.Raw(4242, Bytes(4, 0), {}, ++id));
  stillAnswers("stream, filter, hello and unknown packets");

  const Bytes sent = Pattern(100);
  peer.Bulk(++id, 0x01, 100, sent);
  ASSERT_TRUE(peer.Await(id));
  peer.Bulk(++id, 0x81, 64u << 20); // room for far more than is queued
  const auto back = peer.Await(id);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->data, sent) << "the loopback broke after the hostile packets";

  // Unframed noise last: the stream cannot recover, the server must still end
  // cleanly when the peer goes.
  std::mt19937 random(5);
  Bytes noise(4096);
  for (auto &byte : noise) {
    byte = static_cast<std::uint8_t>(random());
  }
  ASSERT_TRUE(peer.RawBytes(noise));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(peer.Hangup(), 0) << peer.ServerErrors();
  EXPECT_EQ(peer.ServerErrors().find("Sanitizer"), std::string::npos) << peer.ServerErrors();
}

} // namespace
