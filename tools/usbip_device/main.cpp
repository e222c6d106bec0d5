// SPDX-License-Identifier: MIT
// Serves the project's loopback device over USB/IP, so that any computer with
// a USB/IP client can attach it, and logs every transfer, one line each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "device_options.h"
#include "device_slot.h"
#include "tcp_listener.h"
#include "tcp_tool_options.h"
#include "usbip_server.h"

namespace {

constexpr std::uint16_t USBIP_PORT = 3240;

constexpr char USAGE[] =
    "usage: pelmora-usbip-device [options]\n"
    "Serves the emulated USB loopback device (bulk OUT 0x01, bulk IN 0x81, interrupt IN 0x83)\n"
    "over USB/IP as bus id 1-1, to one importer at a time, until SIGINT or SIGTERM.\n"
    "Attach it with, on Linux: usbip attach -r 127.0.0.1 -b 1-1\n"
    "options:\n"
    "  --listen ADDRESS       listen on this IPv4 address (default 127.0.0.1); 0.0.0.0 lets\n"
    "                         anyone who can reach the port attach the device\n"
    "  --port N               listen on port N (default 3240; 0: any free port)\n"
    "  --port-file PATH       write the port listened on to PATH\n"
    "  --log PATH             write one line per transfer to PATH\n";

volatile std::sig_atomic_t stopRequested = 0;

// SIGINT and SIGTERM reach the server only while it waits, so that none
// slips in between its look at the flag and its wait.
sigset_t CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = [](int) { stopRequested = 1; };
  sigemptyset(&action.sa_mask);
  (void)sigaction(SIGINT, &action, nullptr);
  (void)sigaction(SIGTERM, &action, nullptr);
  sigset_t blocked;
  sigset_t waitMask;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGINT);
  sigaddset(&blocked, SIGTERM);
  (void)sigprocmask(SIG_BLOCK, &blocked, &waitMask);
  sigdelset(&waitMask, SIGINT);
  sigdelset(&waitMask, SIGTERM);
  return waitMask;
}

} // namespace

int main(int argc, char **argv) {
  const pelmora::emulated::ToolUsage usage =
      pelmora::emulated::TcpToolUsage("pelmora-usbip-device", USAGE);
  pelmora::emulated::TcpToolOptions options;
  options.port = USBIP_PORT;
  in_addr address{htonl(INADDR_LOOPBACK)};
  const auto listen = [&address, &usage](std::string_view option, const char *value,
                                         const std::function<void()> &takeValue) {
    if (option != "--listen") {
      return false;
    }
    takeValue();
    if (inet_pton(AF_INET, value, &address) != 1) {
      usage.usage("--listen needs an IPv4 address such as 127.0.0.1, not '" + std::string(value) +
                  "'");
    }
    return true;
  };
  pelmora::emulated::DeviceLog log(nullptr, std::fclose);
  int status = 0;
  if (!pelmora::emulated::ReadTcpToolOptions(argc, argv, listen, usage, options, log, status)) {
    return status;
  }
  const sigset_t waitMask = CatchStopSignals();
  const int listener =
      pelmora::emulated::ListenOn("pelmora-usbip-device", address, options.port, 8);
  if (listener < 0) {
    return 1;
  }
  const std::uint16_t bound = pelmora::emulated::BoundPort(listener);
  if (!options.portFile.empty() && !pelmora::emulated::WritePortFile(options.portFile, bound)) {
    std::perror(options.portFile.c_str());
    return 1;
  }
  char text[INET_ADDRSTRLEN] = "?";
  (void)inet_ntop(AF_INET, &address, text, sizeof text);
  (void)std::printf("listening on %s:%u\n", text, bound);
  (void)std::fflush(stdout);

  pelmora::usbip::DeviceSlot slot(options.spec, options.faults);
  {
    pelmora::usbip::Server server(slot, log.get());
    status = server.Serve(listener, stopRequested, waitMask);
  }
  close(listener);
  return status;
}
