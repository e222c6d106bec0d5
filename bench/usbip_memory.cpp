// SPDX-License-Identifier: MIT
// The USB/IP device server's resident memory and CPU time under a client:
//   usbip_memory PORT PID round-trip|writes|reads|echoes MIB STEP
// imports the device served on 127.0.0.1:PORT by process PID, then
//   round-trip: moves MIB MiB out and back in STEP-byte URBs, each written
//               whole and read back whole before the next, checking every byte;
//   writes:     sends MIB MiB of bulk OUT in STEP-byte URBs and never reads;
//   reads:      sends MIB MiB worth of STEP-byte bulk IN URBs and never reads;
//   echoes:     sends MIB MiB out and asks for it back, STEP bytes at a time,
//               and never reads the answers;
// the last three until the server stops taking them for a second. Prints the
// server's resident memory after the import and its peak, in KiB, and the CPU
// time it spent meanwhile.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "device_slot.h"
#include "process_status.h"
#include "usbip_codec.h"

namespace {

using namespace pelmora::usbip;
using process_status::StatusKib;

class Client {
public:
  explicit Client(int socket) : socket_(socket) {}

  bool SendAll(const ByteVector &bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const ssize_t sent = send(socket_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (sent <= 0) {
        return false;
      }
      at += static_cast<std::size_t>(sent);
    }
    return true;
  }

  // Sends without waiting longer than a second for room; false once the
  // server stopped taking bytes.
  bool SendOrStall(const ByteVector &bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      pollfd watched{socket_, POLLOUT, 0};
      if (poll(&watched, 1, 1000) <= 0) {
        return false;
      }
      const ssize_t sent =
          send(socket_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent <= 0) {
        return false;
      }
      at += static_cast<std::size_t>(sent);
    }
    return true;
  }

  template <typename Decode> bool Await(Decode decode) {
    for (;;) {
      const auto decoded = decode(Bytes(input_));
      if (decoded.framing == Framing::Complete) {
        consumed_ = decoded.size;
        return true;
      }
      if (decoded.framing == Framing::Invalid) {
        return false;
      }
      std::uint8_t buffer[65536];
      const ssize_t got = recv(socket_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        return false;
      }
      input_.insert(input_.end(), buffer, buffer + got);
    }
  }
  // The reply Await found; valid until the next call.
  UrbReply Reply(bool in) const { return DecodeUrbReply(input_, in).message; }
  void Consume() {
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(consumed_));
  }

private:
  int socket_;
  ByteVector input_;
  std::size_t consumed_ = 0;
};

UrbCommand Bulk(std::uint32_t seqnum, bool in, std::uint32_t length, Bytes out) {
  UrbCommand command;
  command.command = CMD_SUBMIT;
  command.seqnum = seqnum;
  command.devid = DEVICE_ID;
  command.direction = in ? DIRECTION_IN : DIRECTION_OUT;
  command.endpoint = 1;
  command.length = length;
  command.out = out;
  return command;
}

bool RoundTrip(Client &client, long steps, std::uint32_t step) {
  ByteVector out(step);
  std::uint32_t seqnum = 0;
  for (long n = 0; n < steps; ++n) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = static_cast<std::uint8_t>(i * 7 + static_cast<std::size_t>(n) * 13);
    }
    if (!client.SendAll(EncodeUrbCommand(Bulk(++seqnum, false, step, out))) ||
        !client.Await([](Bytes b) { return DecodeUrbReply(b, false); }) ||
        client.Reply(false).actual != step) {
      (void)std::fprintf(stderr, "usbip_memory: a write was not taken whole\n");
      return false;
    }
    client.Consume();
    ByteVector back;
    while (back.size() < step) {
      if (!client.SendAll(EncodeUrbCommand(Bulk(++seqnum, true, step, {}))) ||
          !client.Await([](Bytes b) { return DecodeUrbReply(b, true); }) ||
          client.Reply(true).status != 0) {
        (void)std::fprintf(stderr, "usbip_memory: a read failed after %zu bytes\n", back.size());
        return false;
      }
      const Bytes in = client.Reply(true).in;
      back.insert(back.end(), in.begin(), in.end());
      client.Consume();
    }
    if (back != out) {
      (void)std::fprintf(stderr, "usbip_memory: the bytes that came back differ\n");
      return false;
    }
  }
  return true;
}

// Sends URBs until the server stops taking them: OUT ones, IN ones, or each
// OUT followed by an IN; how many it took.
long Flood(Client &client, long steps, std::uint32_t step, const std::string &mode) {
  const ByteVector out(step, 0x5A);
  long sent = 0;
  for (std::uint32_t seqnum = 1; sent < steps; ++sent) {
    if ((mode != "reads" &&
         !client.SendOrStall(EncodeUrbCommand(Bulk(seqnum++, false, step, out)))) ||
        (mode != "writes" &&
         !client.SendOrStall(EncodeUrbCommand(Bulk(seqnum++, true, step, {}))))) {
      break;
    }
  }
  return sent;
}

} // namespace

int main(int argc, char **argv) {
  const auto number = [argc, argv](int index) {
    return argc == 6 ? std::strtol(argv[index], nullptr, 10) : 0;
  };
  const long port = number(1);
  const auto server = static_cast<pid_t>(number(2));
  const std::string mode = argc == 6 ? argv[3] : "";
  const long mib = number(4);
  const long step = number(5);
  if (port <= 0 || port > 65535 || server <= 0 || mib <= 0 || step <= 0 ||
      step > LONGEST_TRANSFER ||
      (mode != "round-trip" && mode != "writes" && mode != "reads" && mode != "echoes")) {
    (void)std::fprintf(stderr,
                       "usage: usbip_memory PORT PID round-trip|writes|reads|echoes MIB STEP\n");
    return 2;
  }
  const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int yes = 1;
  (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  Client client(socket);
  if (connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
      !client.SendAll(EncodeOpRequest({OP_REQ_IMPORT, BUS_ID})) ||
      !client.Await(DecodeImportReply)) {
    (void)std::fprintf(stderr, "usbip_memory: cannot import the device on port %ld\n", port);
    return 1;
  }
  client.Consume();
  const long first = StatusKib(server, "VmRSS");
  const long cpu = process_status::CpuMilliseconds(server);
  const long steps = mib * 1048576 / step;
  long taken = steps;
  if (mode == "round-trip" && !RoundTrip(client, steps, static_cast<std::uint32_t>(step))) {
    return 1;
  }
  if (mode != "round-trip") {
    taken = Flood(client, steps, static_cast<std::uint32_t>(step), mode);
  }
  const long peak = StatusKib(server, "VmHWM");
  std::printf("usbip server, %s of %ld MiB in %ld-byte URBs (%ld sent): CPU %ld ms, resident "
              "%ld KiB after the import, peak %ld KiB, growth %ld KiB\n",
              mode.c_str(), mib, step, taken, process_status::CpuMilliseconds(server) - cpu, first,
              peak, peak - first);
  close(socket);
  return 0;
}
