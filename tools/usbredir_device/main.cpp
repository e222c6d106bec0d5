// SPDX-License-Identifier: MIT
// Serves the project's loopback device to one QEMU usb-redir client over TCP
// on 127.0.0.1, and logs every transfer's length, one line each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "device_options.h"
#include "loopback_device.h"
#include "redir_server.h"
#include "tcp_listener.h"

namespace {

using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;
using pelmora::emulated::LoopbackDevice;
using pelmora::usbredir::Server;

constexpr char USAGE[] =
    "usage: pelmora-usbredir-device [options]\n"
    "Serves the emulated USB loopback device (bulk OUT 0x01, bulk IN 0x81, interrupt IN 0x83)\n"
    "to one QEMU usb-redir client on 127.0.0.1 and ends when that client disconnects.\n"
    "options:\n"
    "  --port N               listen on port N (default: any free port)\n"
    "  --port-file PATH       write the port listened on to PATH\n"
    "  --log PATH             write one line per transfer to PATH\n";

void PrintUsage(std::FILE *stream) {
  (void)std::fputs(USAGE, stream);
  (void)std::fputs(pelmora::emulated::DEVICE_OPTIONS_HELP, stream);
  (void)std::fputs(pelmora::emulated::QUEUE_LIMIT_HELP, stream);
}

[[noreturn]] void Usage(const std::string &problem) {
  (void)std::fprintf(stderr, "pelmora-usbredir-device: %s\n", problem.c_str());
  PrintUsage(stderr);
  std::exit(2);
}

} // namespace

int main(int argc, char **argv) {
  DeviceSpec spec;
  Faults faults;
  std::string portFile;
  std::string logPath;
  std::uint16_t port = 0;
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
    if (option == "--port") {
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

  const int listener =
      pelmora::emulated::ListenOn("pelmora-usbredir-device", {htonl(INADDR_LOOPBACK)}, port, 1);
  if (listener < 0) {
    return 1;
  }
  const std::uint16_t bound = pelmora::emulated::BoundPort(listener);
  if (!portFile.empty() && !pelmora::emulated::WritePortFile(portFile, bound)) {
    std::perror(portFile.c_str());
    return 1;
  }
  // Only informative: the port file is what scripts read.
  (void)std::printf("listening on 127.0.0.1:%u\n", bound);
  (void)std::fflush(stdout);

  const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  close(listener);
  if (client < 0) {
    std::perror("pelmora-usbredir-device: accept");
    return 1;
  }
  const int yes = 1;
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  LoopbackDevice device(spec, faults);
  Server server(device, log.get());
  const int status = server.Serve(client);
  close(client);
  return status;
}
