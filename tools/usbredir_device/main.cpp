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
#include <string>
#include <string_view>

#include "device_options.h"
#include "loopback_device.h"
#include "redir_server.h"

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
  (void)std::fputs(pelmora::emulated::LOG_LIMIT_HELP, stream);
  (void)std::fputs(pelmora::emulated::QUEUE_LIMIT_HELP, stream);
}

[[noreturn]] void Usage(const std::string &problem) {
  (void)std::fprintf(stderr, "pelmora-usbredir-device: %s\n", problem.c_str());
  PrintUsage(stderr);
  std::exit(2);
}

unsigned long Number(std::string_view option, const char *text, unsigned long largest) {
  char *end = nullptr;
  const unsigned long value = text != nullptr ? std::strtoul(text, &end, 10) : 0;
  if (text == nullptr || *text == '\0' || *end != '\0' || value > largest) {
    Usage(std::string(option) + " needs a number up to " + std::to_string(largest));
  }
  return value;
}

int Listen(std::uint16_t port) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
      listen(listener, 1) < 0) {
    std::perror("pelmora-usbredir-device: listen on 127.0.0.1");
    std::exit(1);
  }
  return listener;
}

std::uint16_t BoundPort(int listener) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
  return ntohs(address.sin_port);
}

// Written whole and renamed, so a reader never sees half a number.
bool WritePortFile(const std::string &path, std::uint16_t port) {
  const std::string partial = path + ".partial";
  std::FILE *file = std::fopen(partial.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  const bool written = std::fprintf(file, "%u\n", port) > 0;
  return std::fclose(file) == 0 && written && std::rename(partial.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char **argv) {
  DeviceSpec spec;
  Faults faults;
  std::string portFile;
  std::string logPath;
  unsigned long port = 0;
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
      port = Number(option, takes(), 65535);
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
  if (!pelmora::emulated::OpenDeviceLog(logPath, spec.logLimit, log)) {
    return 1;
  }

  const int listener = Listen(static_cast<std::uint16_t>(port));
  const std::uint16_t bound = BoundPort(listener);
  if (!portFile.empty() && !WritePortFile(portFile, bound)) {
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
