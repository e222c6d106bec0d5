// SPDX-License-Identifier: MIT
// How long the device lookup takes to find one matching device behind 0, 3
// and 8 other devices on the emulated usbfs bus, when those others answer
// their descriptor requests (they declare another class), when they never
// answer at all, and when they answer each request after 290 ms or 40 ms;
// with the requests the others were sent, and how long those requests take
// at the others' delay; and how long pelmora-winusb-report takes to explain
// every device of the same bus. The lookup is the program's own,
// GetDevicePath; its diagnostics are silenced.
//   lookup_time [--smoke]   (--smoke: one run each, up to 3 others)
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device_discovery.h"
#include "device_path.h"
#include "device_report.h"
#include "emulated_bus.h"
#include "platform.h"
#include "report_sources.h"
#include "report_text.h"
#include "run_state.h"
#include "usb_context.h"

namespace {

using pelmora::emulated::DeviceSpec;
using pelmora::emulated::EmulatedBus;
using pelmora::emulated::Faults;
using pelmora::emulated::LoopbackDevice;

// How the other devices answer.
struct Behaviour {
  const char *name;
  Faults faults;
};

Faults Silent() {
  Faults faults;
  faults.silentControl = true;
  return faults;
}

Faults AnsweringAfter(std::uint32_t milliseconds) {
  Faults faults;
  faults.controlDelayMs = milliseconds;
  return faults;
}

struct Lookup {
  double milliseconds; // negative when it found the wrong device
  std::uint32_t othersRequests;
  double reportMilliseconds; // negative when the report picked another device
};

// The report on every device of the bus, to its text; the path it picks.
std::string ReportPick() {
  const pelmora::usb::GuidText guid = pelmora::linux_platform::GuidTextOf(DeviceInterfaceGuid);
  const auto devices = pelmora::report::ExplainPresentDevices(std::nullopt, guid);
  if (!devices) {
    return {};
  }
  const pelmora::report::Report report = pelmora::report::BuildReport(*devices, guid);
  (void)pelmora::report::ReportText(report);
  return report.pick ? report.devices[*report.pick].program.path : std::string();
}

// The lookup on a bus with the others on ports 1 to others and the match
// after them.
Lookup Measure(unsigned others, const Faults &faults) {
  EmulatedBus bus;
  DeviceSpec other;
  other.interfaceGuid = "{00000000-0000-0000-0000-000000000000}";
  std::vector<std::shared_ptr<LoopbackDevice>> asked;
  for (unsigned i = 0; i < others; ++i) {
    const auto port = static_cast<std::uint8_t>(i + 1);
    asked.push_back(std::make_shared<LoopbackDevice>(other, faults));
    bus.Add(asked.back(), {1, port, static_cast<std::uint8_t>(port + 1)});
  }
  const auto port = static_cast<std::uint8_t>(others + 1);
  bus.Add(std::make_shared<LoopbackDevice>(), {1, port, static_cast<std::uint8_t>(port + 1)});
  char expected[32];
  (void)std::snprintf(expected, sizeof expected, "/dev/bus/usb/001/%03u:0", port + 1U);

  WCHAR path[DEVICE_PATH_CCH] = {};
  const auto start = std::chrono::steady_clock::now();
  const BOOL found = GetDevicePath(path);
  const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
  pelmora::linux_platform::ReleaseUsbForTests();
  std::uint32_t requests = 0;
  for (const auto &device : asked) {
    requests += device->ControlRequests();
  }
  const bool right =
      found && std::wstring(path) == std::wstring(expected, expected + std::strlen(expected));

  const auto reportStart = std::chrono::steady_clock::now();
  const std::string picked = ReportPick();
  const std::chrono::duration<double, std::milli> reportTook =
      std::chrono::steady_clock::now() - reportStart;
  pelmora::linux_platform::ReleaseUsbForTests();
  return {right ? took.count() : -1, requests, picked == expected ? reportTook.count() : -1};
}

} // namespace

int main(int argc, char *argv[]) {
  const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
  const std::vector<unsigned> counts =
      smoke ? std::vector<unsigned>{0, 3} : std::vector<unsigned>{0, 3, 8};
  const int repeats = smoke ? 1 : 3;
  if (std::freopen("/dev/null", "w", stderr) == nullptr) {
    return 1;
  }
  (void)std::printf("%-14s %-13s %10s %9s %12s %10s\n", "other devices", "they are", "lookup ms",
                    "requests", "requests ms", "report ms");
  const Behaviour behaviours[] = {{"well-behaved", {}},
                                  {"silent", Silent()},
                                  {"slow-290ms", AnsweringAfter(290)},
                                  {"slow-40ms", AnsweringAfter(40)}};
  for (const Behaviour &behaviour : behaviours) {
    for (const unsigned others : counts) {
      Lookup best{-1, 0, -1};
      for (int i = 0; i < repeats; ++i) {
        const Lookup lookup = Measure(others, behaviour.faults);
        if (lookup.milliseconds < 0 || lookup.reportMilliseconds < 0) {
          (void)std::printf("lookup_time: the %s missed the matching device\n",
                            lookup.milliseconds < 0 ? "lookup" : "report");
          return 1;
        }
        if (best.milliseconds < 0 || lookup.milliseconds < best.milliseconds) {
          best.milliseconds = lookup.milliseconds;
          best.othersRequests = lookup.othersRequests;
        }
        if (best.reportMilliseconds < 0 || lookup.reportMilliseconds < best.reportMilliseconds) {
          best.reportMilliseconds = lookup.reportMilliseconds;
        }
      }
      (void)std::printf("%-14u %-13s %10.1f %9u %12u %10.1f\n", others, behaviour.name,
                        best.milliseconds, best.othersRequests,
                        best.othersRequests * behaviour.faults.controlDelayMs,
                        best.reportMilliseconds);
    }
  }
  return 0;
}
