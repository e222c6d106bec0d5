// SPDX-License-Identifier: MIT
// The usbredir device server's resident memory against a client chosen to
// hurt it:
//   usbredir_hostile PATTERN QUEUE_LIMIT [server options...]
// starts the server with --queue-limit QUEUE_LIMIT and sends, without ever
// reading an answer, as much of the pattern as the server takes:
//   out      fills the queue, then 1,048,576 one-byte writes
//   in       2,000,000 reads of an empty queue
//   control  2,000,000 device descriptor requests
// Once the server stops taking packets (2 s without room in the socket) it
// prints the server's resident memory after connecting and its peak, in KiB.
// Exits 1 when the server died.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "usbredir_peer.h"

namespace {

using usbredir_peer::Bytes;
using usbredir_peer::Peer;

constexpr std::size_t BATCH = 65536;
constexpr long FILL = 65536;
constexpr auto PATIENCE = std::chrono::milliseconds(2000);

template <typename Header> Bytes HeaderBytes(const Header &header) {
  const auto *bytes = reinterpret_cast<const std::uint8_t *>(&header);
  return Bytes(bytes, bytes + sizeof header);
}

struct Pattern {
  long count;
  std::uint32_t type;
  Bytes typeHeader;
  Bytes data;
};

std::optional<Pattern> PatternNamed(std::string_view name) {
  if (name == "out") {
    usb_redir_bulk_packet_header header{};
    header.endpoint = 0x01;
    header.length = 1;
    return Pattern{1048576, usb_redir_bulk_packet, HeaderBytes(header), Bytes(1, 0x5A)};
  }
  if (name == "in") {
    usb_redir_bulk_packet_header header{};
    header.endpoint = 0x81;
    header.length = 512;
    return Pattern{2000000, usb_redir_bulk_packet, HeaderBytes(header), {}};
  }
  if (name == "control") {
    usb_redir_control_packet_header header{0x80, 0x06, 0x80, 0, 0x0100, 0, 18};
    return Pattern{2000000, usb_redir_control_packet, HeaderBytes(header), {}};
  }
  return std::nullopt;
}

} // namespace

int main(int argc, char **argv) {
  const std::optional<Pattern> pattern = argc > 2 ? PatternNamed(argv[1]) : std::nullopt;
  const long limit = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 0;
  if (!pattern || limit <= 0) {
    (void)std::fprintf(stderr,
                       "usage: usbredir_hostile out|in|control QUEUE_LIMIT [server options...]\n");
    return 2;
  }
  std::vector<std::string> options = {"--queue-limit", argv[2]};
  options.insert(options.end(), argv + 3, argv + argc);
  Peer peer(options);
  if (!peer.Connect()) {
    (void)std::fprintf(stderr, "usbredir_hostile: no connection: %s\n",
                       peer.ServerErrors().c_str());
    return 1;
  }
  const long first = peer.ServerStatusKib("VmRSS");
  std::uint64_t id = 0;
  // Filled as a host fills it, in writes of 64 KiB.
  for (long filled = 0; std::string_view(argv[1]) == "out" && filled < limit; filled += FILL) {
    const auto size = static_cast<std::uint32_t>(std::min(FILL, limit - filled));
    peer.Bulk(++id, 0x01, size, Bytes(size, 0xA5));
    const auto written = peer.Await(id);
    if (!written || written->status != usb_redir_success) {
      (void)std::fprintf(stderr, "usbredir_hostile: the queue did not take %ld bytes\n", limit);
      return 1;
    }
  }
  long sent = 0;
  bool taken = true;
  while (taken && sent < pattern->count) {
    Bytes batch;
    long inBatch = 0;
    for (; inBatch < static_cast<long>(BATCH) && sent + inBatch < pattern->count; ++inBatch) {
      Peer::Frame(batch, pattern->type, pattern->typeHeader, pattern->data, ++id);
    }
    const std::size_t took = peer.Offer(batch, PATIENCE);
    taken = took == batch.size();
    sent += taken ? inBatch : static_cast<long>(took / (batch.size() / inBatch));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const long peak = peer.ServerStatusKib("VmHWM");
  if (!peer.ServerRuns()) {
    (void)std::fprintf(stderr, "usbredir_hostile: the server died: %s\n",
                       peer.ServerErrors().c_str());
    return 1;
  }
  std::printf("usbredir server, %s with --queue-limit %ld: the socket took %ld of %ld packets; "
              "resident %ld KiB after connecting, peak %ld KiB, growth %ld KiB\n",
              argv[1], limit, sent, pattern->count, first, peak, peak - first);
  return 0;
}
