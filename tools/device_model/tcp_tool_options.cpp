// SPDX-License-Identifier: MIT
#include "tcp_tool_options.h"

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "tcp_listener.h"

namespace pelmora::emulated {

ToolUsage TcpToolUsage(const char *tool, const char *usageText) {
  const auto print = [usageText](std::FILE *stream) {
    (void)std::fputs(usageText, stream);
    (void)std::fputs(DEVICE_OPTIONS_HELP, stream);
    (void)std::fputs(LOG_LIMIT_HELP, stream);
    (void)std::fputs(QUEUE_LIMIT_HELP, stream);
  };
  return {[print] { print(stdout); },
          [print, tool](const std::string &problem) {
            (void)std::fprintf(stderr, "%s: %s\n", tool, problem.c_str());
            print(stderr);
            std::exit(2);
          }};
}

bool ReadTcpToolOptions(int argc, char **argv, const OwnOption &own, const ToolUsage &usage,
                        TcpToolOptions &options, DeviceLog &log, int &status) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    const auto takes = [&] {
      if (value == nullptr) {
        usage.usage(std::string(option) + " needs a value");
      }
      ++i;
      return value;
    };
    if (option == "--port") {
      const std::optional<std::uint16_t> number = PortNumber(takes());
      if (!number) {
        usage.usage("--port needs a number up to 65535");
      }
      options.port = number.value_or(0);
    } else if (option == "--port-file") {
      options.portFile = takes();
    } else if (option == "--log") {
      options.logPath = takes();
    } else if (option == "--help" || option == "-h") {
      usage.help();
      status = 0;
      return false;
    } else if (std::string problem; !own(option, value, [&] { takes(); }) &&
                                    ApplyDeviceOption(argc, argv, i, options.spec, options.faults,
                                                      problem) != DeviceOption::Applied) {
      usage.usage(problem);
    }
  }
  if (const std::string problem = CheckDeviceOptions(options.spec, options.faults);
      !problem.empty()) {
    usage.usage(problem);
  }
  if (!OpenDeviceLog(options.logPath, options.spec.logLimit, log)) {
    status = 1;
    return false;
  }
  return true;
}

} // namespace pelmora::emulated
