// SPDX-License-Identifier: MIT
// Hosts the emulated loopback device and runs a command against it:
//   pelmora-emulated-device [options] -- command [arguments...]
// The command runs with umockdev's preload library, so it sees the device
// as /dev/bus/usb/001/002; its exit status becomes this command's.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "device_options.h"
#include "emulated_bus.h"

namespace {

using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;

constexpr int USAGE_ERROR = 2;

constexpr char USAGE_HEAD[] =
    "usage: pelmora-emulated-device [options] -- command [arguments...]\n"
    "Hosts an emulated USB loopback device (bulk OUT 0x01, bulk IN 0x81, interrupt IN 0x83)\n"
    "and runs the command against it.\n"
    "options:\n";
constexpr char USAGE_TAIL[] =
    "  --kernel-driver        the loopback's interface is held by a kernel driver\n"
    "  --log                  list every pipe transfer on standard error at the end\n";

void PrintUsage(std::FILE *stream) {
  (void)std::fputs(USAGE_HEAD, stream);
  (void)std::fputs(pelmora::emulated::DEVICE_OPTIONS_HELP, stream);
  (void)std::fputs(pelmora::emulated::QUEUE_LIMIT_HELP, stream);
  (void)std::fputs(USAGE_TAIL, stream);
}

[[noreturn]] void Usage(const std::string &problem) {
  (void)std::fprintf(stderr, "pelmora-emulated-device: %s\n", problem.c_str());
  PrintUsage(stderr);
  std::exit(USAGE_ERROR);
}

// Adds umockdev's preload library in front of any the caller set. A command
// built with AddressSanitizer would refuse a library loaded before its
// runtime, so it is told not to check.
void PreloadUmockdev() {
  std::string preload = "libumockdev-preload.so.0";
  if (const char *existing = std::getenv("LD_PRELOAD"); existing != nullptr && *existing) {
    preload += ":";
    preload += existing;
  }
  setenv("LD_PRELOAD", preload.c_str(), 1);
  std::string asanOptions = "verify_asan_link_order=0";
  if (const char *existing = std::getenv("ASAN_OPTIONS"); existing != nullptr && *existing) {
    asanOptions = std::string(existing) + ":" + asanOptions;
  }
  setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
}

const char *StatusName(pelmora::emulated::Completion status) {
  switch (status) {
  case pelmora::emulated::Completion::Done:
    return "done";
  case pelmora::emulated::Completion::Stall:
    return "stall";
  case pelmora::emulated::Completion::Overflow:
    return "overflow";
  case pelmora::emulated::Completion::NoDevice:
    return "no device";
  default:
    return "other";
  }
}

} // namespace

int main(int argc, char *argv[]) {
  DeviceSpec spec;
  Faults faults;
  bool log = false;
  int first = 1;
  for (; first < argc; ++first) {
    const std::string_view option = argv[first];
    if (option == "--") {
      ++first;
      break;
    } else if (option == "--kernel-driver") {
      faults.interfaceHeldByKernelDriver = true;
    } else if (option == "--log") {
      log = true;
    } else if (option == "--log-limit") {
      Usage("--log-limit bounds a log file; this command lists transfers on standard error");
    } else if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (std::string problem;
               pelmora::emulated::ApplyDeviceOption(argc, argv, first, spec, faults, problem) !=
               pelmora::emulated::DeviceOption::Applied) {
      Usage(problem);
    }
  }
  if (first >= argc) {
    Usage("no command given after --");
  }
  if (const std::string problem = pelmora::emulated::CheckDeviceOptions(spec, faults);
      !problem.empty()) {
    Usage(problem);
  }

  try {
    auto device = std::make_shared<pelmora::emulated::LoopbackDevice>(spec, faults);
    if (log) {
      device->KeepRecords();
    }
    pelmora::emulated::EmulatedBus bus;
    bus.Add(device);
    (void)std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
      std::perror("pelmora-emulated-device: fork");
      return 1;
    }
    if (child == 0) {
      // GLib ignores SIGPIPE in this process; the command must meet a closed
      // pipe as it would anywhere else.
      (void)std::signal(SIGPIPE, SIG_DFL);
      PreloadUmockdev();
      execvp(argv[first], argv + first);
      (void)std::fprintf(stderr, "pelmora-emulated-device: cannot run %s: %s\n", argv[first],
                         std::strerror(errno));
      _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (log) {
      for (const auto &record : device->Log()) {
        (void)std::fprintf(stderr, "transfer endpoint 0x%02X asked %u got %u: %s\n",
                           record.endpoint, record.requested, record.actual,
                           StatusName(record.status));
      }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  } catch (const std::exception &error) {
    (void)std::fprintf(stderr, "pelmora-emulated-device: %s\n", error.what());
    return 1;
  }
}
