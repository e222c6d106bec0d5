// SPDX-License-Identifier: MIT
// Serves the project's loopback device over USB/IP, so that any computer with
// a USB/IP client can attach it, and logs every transfer, one line each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "device_options.h"
#include "device_slot.h"
#include "tcp_listener.h"
#include "usbip_server.h"

namespace {

using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;

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

void PrintUsage(std::FILE *stream) {
  (void)std::fputs(USAGE, stream);
  (void)std::fputs(pelmora::emulated::DEVICE_OPTIONS_HELP, stream);
  (void)std::fputs(pelmora::emulated::QUEUE_LIMIT_HELP, stream);
}

[[noreturn]] void Usage(const std::string &problem) {
  (void)std::fprintf(stderr, "pelmora-usbip-device: %s\n", problem.c_str());
  PrintUsage(stderr);
  std::exit(2);
}

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
  DeviceSpec spec;
  Faults faults;
  std::string portFile;
  std::string logPath;
  in_addr address{htonl(INADDR_LOOPBACK)};
  std::uint16_t port = USBIP_PORT;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    const auto takes = [&] {
      if (value == nullptr) {
        Usage(std::string(option) + " needs a value");
      }
      ++i;
      return value;
    };
    if (option == "--listen") {
      if (inet_pton(AF_INET, takes(), &address) != 1) {
        Usage("--listen needs an IPv4 address such as 127.0.0.1, not '" + std::string(value) + "'");
      }
    } else if (option == "--port") {
      const std::optional<std::uint16_t> number = pelmora::emulated::PortNumber(takes());
      if (!number) {
        Usage("--port needs a number up to 65535");
      }
      port = *number;
    } else if (option == "--port-file") {
      portFile = takes();
    } else if (option == "--log") {
      logPath = takes();
    } else if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (std::string problem;
               pelmora::emulated::ApplyDeviceOption(argc, argv, i, spec, faults, problem) !=
               pelmora::emulated::DeviceOption::Applied) {
      Usage(problem);
    }
  }
  if (const std::string problem = pelmora::emulated::CheckDeviceOptions(spec, faults);
      !problem.empty()) {
    Usage(problem);
  }

  pelmora::emulated::DeviceLog log(nullptr, std::fclose);
  if (!pelmora::emulated::OpenDeviceLog(logPath, log)) {
    return 1;
  }
  const sigset_t waitMask = CatchStopSignals();
  const int listener = pelmora::emulated::ListenOn("pelmora-usbip-device", address, port, 8);
  if (listener < 0) {
    return 1;
  }
  const std::uint16_t bound = pelmora::emulated::BoundPort(listener);
  if (!portFile.empty() && !pelmora::emulated::WritePortFile(portFile, bound)) {
    std::perror(portFile.c_str());
    return 1;
  }
  char text[INET_ADDRSTRLEN] = "?";
  (void)inet_ntop(AF_INET, &address, text, sizeof text);
  (void)std::printf("listening on %s:%u\n", text, bound);
  (void)std::fflush(stdout);

  pelmora::usbip::DeviceSlot slot(spec, faults);
  int status = 0;
  {
    pelmora::usbip::Server server(slot, log.get());
    status = server.Serve(listener, stopRequested, waitMask);
  }
  close(listener);
  return status;
}
