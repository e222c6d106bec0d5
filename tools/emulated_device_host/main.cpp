// Hosts the emulated loopback device and runs a command against it:
//   pelmora-emulated-device [options] -- command [arguments...]
// The command runs with umockdev's preload library, so it sees the device
// as /dev/bus/usb/001/002; its exit status becomes this command's.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "emulated_bus.h"

namespace {

using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;

constexpr int USAGE_ERROR = 2;

constexpr char USAGE[] =
    "usage: pelmora-emulated-device [options] -- command [arguments...]\n"
    "Hosts an emulated USB loopback device (bulk OUT 0x01, bulk IN 0x81, interrupt IN 0x83)\n"
    "and runs the command against it.\n"
    "options:\n"
    "  --ms-os-1              declare the interface class in Microsoft OS 1.0 descriptors\n"
    "  --guid TEXT            declare this interface class GUID instead\n"
    "  --full-speed           a full-speed device (64-byte bulk packets)\n"
    "  --in-packet BYTES      send IN data in packets of at most BYTES\n"
    "  --out-take BYTES       take at most BYTES per OUT transfer\n"
    "  --stall N              stall the Nth pipe transfer\n"
    "  --disconnect-after N   unplug after N pipe transfers\n"
    "  --stall-when-empty     stall an IN transfer that finds nothing to send, instead of\n"
    "                         waiting for data as a real device would\n"
    "  --kernel-driver        interface 0 is held by a kernel driver\n"
    "  --random-seed N        with N > 0, randomly shorten some OUT completions and IN packets\n"
    "  --log                  list every pipe transfer on standard error at the end\n";

[[noreturn]] void Usage(const std::string &problem) {
  (void)std::fprintf(stderr, "pelmora-emulated-device: %s\n%s", problem.c_str(), USAGE);
  std::exit(USAGE_ERROR);
}

unsigned long Number(const char *option, const char *text) {
  if (text == nullptr) {
    Usage(std::string(option) + " needs a number");
  }
  char *end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value > 0xFFFFFFFFul) {
    Usage(std::string(option) + " needs a number, not '" + text + "'");
  }
  return value;
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
    const char *value = first + 1 < argc ? argv[first + 1] : nullptr;
    if (option == "--") {
      ++first;
      break;
    } else if (option == "--ms-os-1") {
      spec.osDescriptors = pelmora::emulated::OsDescriptors::MsOs10;
    } else if (option == "--guid" && value != nullptr) {
      spec.interfaceGuid = value;
      ++first;
    } else if (option == "--full-speed") {
      spec.speed = pelmora::emulated::Speed::Full;
      spec.bulkPacketSize = 64;
    } else if (option == "--in-packet") {
      faults.inPacketSize = static_cast<std::uint32_t>(Number(argv[first], value));
      ++first;
    } else if (option == "--out-take") {
      faults.outTakeLimit = static_cast<std::uint32_t>(Number(argv[first], value));
      ++first;
    } else if (option == "--stall") {
      faults.stallTransfer = static_cast<unsigned>(Number(argv[first], value));
      ++first;
    } else if (option == "--disconnect-after") {
      faults.disconnectAfter = static_cast<unsigned>(Number(argv[first], value));
      ++first;
    } else if (option == "--stall-when-empty") {
      faults.stallWhenEmpty = true;
    } else if (option == "--random-seed") {
      faults.randomSeed = static_cast<std::uint32_t>(Number(argv[first], value));
      ++first;
    } else if (option == "--kernel-driver") {
      faults.interfaceHeldByKernelDriver = true;
    } else if (option == "--log") {
      log = true;
    } else if (option == "--help" || option == "-h") {
      (void)std::fputs(USAGE, stdout);
      return 0;
    } else {
      Usage("unknown option '" + std::string(option) + "'");
    }
  }
  if (first >= argc) {
    Usage("no command given after --");
  }
  if (faults.outTakeLimit == 0) {
    Usage("--out-take needs at least 1 byte, or no write would ever finish");
  }

  try {
    auto device = std::make_shared<pelmora::emulated::LoopbackDevice>(spec, faults);
    pelmora::emulated::EmulatedBus bus;
    bus.Add(device);
    (void)std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
      std::perror("pelmora-emulated-device: fork");
      return 1;
    }
    if (child == 0) {
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
