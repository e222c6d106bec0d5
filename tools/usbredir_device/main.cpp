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
#include "tcp_tool_options.h"

namespace {

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

} // namespace

int main(int argc, char **argv) {
  const pelmora::emulated::ToolUsage usage =
      pelmora::emulated::TcpToolUsage("pelmora-usbredir-device", USAGE);
  pelmora::emulated::TcpToolOptions options;
  pelmora::emulated::DeviceLog log(nullptr, std::fclose);
  int status = 0;
  if (!pelmora::emulated::ReadTcpToolOptions(
          argc, argv, [](std::string_view, const char *, const auto &) { return false; }, usage,
          options, log, status)) {
    return status;
  }
  const std::uint16_t port = options.port;
  const std::string &portFile = options.portFile;

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
  LoopbackDevice device(options.spec, options.faults);
  Server server(device, log.get());
  status = server.Serve(client);
  close(client);
  return status;
}
