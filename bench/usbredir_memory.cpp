// SPDX-License-Identifier: MIT
// The usbredir device server's resident memory over a long round trip:
//   usbredir_memory MIB [server options...]
// moves MIB MiB out and back in 64 KiB steps, each written whole and read
// back whole before the next, checks every byte, and prints the server's
// resident memory after the first step and its peak at the end, in KiB, and
// the CPU time it spent.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "process_status.h"
#include "usbredir_peer.h"

namespace {

using usbredir_peer::Bytes;
using usbredir_peer::Peer;

constexpr std::uint32_t STEP = 65536;

bool Step(Peer &peer, std::uint64_t &id, const Bytes &out) {
  peer.Bulk(++id, 0x01, STEP, out);
  const auto written = peer.Await(id);
  if (!written || written->status != usb_redir_success || written->length != STEP) {
    (void)std::fprintf(stderr, "usbredir_memory: a 64 KiB write was not taken whole\n");
    return false;
  }
  Bytes back;
  while (back.size() < STEP) {
    peer.Bulk(++id, 0x81, STEP);
    const auto read = peer.Await(id);
    if (!read || read->status != usb_redir_success) {
      (void)std::fprintf(stderr, "usbredir_memory: a read failed after %zu bytes\n", back.size());
      return false;
    }
    back.insert(back.end(), read->data.begin(), read->data.end());
  }
  if (back != out) {
    (void)std::fprintf(stderr, "usbredir_memory: the bytes that came back differ\n");
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char **argv) {
  const long mib = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  if (mib <= 0) {
    (void)std::fprintf(stderr, "usage: usbredir_memory MIB [server options...]\n");
    return 2;
  }
  Peer peer(std::vector<std::string>(argv + 2, argv + argc));
  if (!peer.Connect()) {
    (void)std::fprintf(stderr, "usbredir_memory: no connection: %s\n", peer.ServerErrors().c_str());
    return 1;
  }
  Bytes out(STEP);
  std::uint64_t id = 0;
  long first = 0;
  for (long step = 0; step < mib * 1048576 / STEP; ++step) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(step) * 13);
    }
    if (!Step(peer, id, out)) {
      return 1;
    }
    if (step == 0) {
      first = peer.ServerStatusKib("VmRSS");
    }
  }
  const long peak = peer.ServerStatusKib("VmHWM");
  std::printf("usbredir server, %ld MiB in 64 KiB steps: CPU %ld ms, resident %ld KiB after the "
              "first step, peak %ld KiB, growth %ld KiB\n",
              mib, process_status::CpuMilliseconds(peer.ServerPid()), first, peak, peak - first);
  return 0;
}
