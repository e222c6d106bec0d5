// SPDX-License-Identifier: MIT
// pelmora-winusb-report: what Windows will make of each USB device, and
// which one pelmora-winusb-test would use, and why.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "device_discovery.h"
#include "device_report.h"
#include "report_json.h"
#include "report_options.h"
#include "report_sources.h"
#include "report_text.h"
#include "run_state.h"

namespace {

using namespace pelmora::report;

constexpr int FOUND = 0;
constexpr int NOT_FOUND = 1;
constexpr int UNUSABLE = 2;
// A dump of any real bus is a few hundred KiB at most.
constexpr std::streamsize LONGEST_DUMP = std::streamsize{64} * 1024 * 1024;

int Fail(const std::string &message) {
  (void)std::fprintf(stderr, "pelmora-winusb-report: %s\n", message.c_str());
  return UNUSABLE;
}

bool ReadFile(const std::string &path, std::string &text, std::string &problem) {
  std::FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    problem = std::strerror(errno);
    return false;
  }
  char chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0 &&
         static_cast<std::streamsize>(text.size()) <= LONGEST_DUMP) {
    text.append(chunk, got);
  }
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  (void)std::fclose(file);
  if (failed) {
    problem = std::string("cannot be read: ") + std::strerror(error);
    return false;
  }
  if (static_cast<std::streamsize>(text.size()) > LONGEST_DUMP) {
    problem = "larger than 64 MiB, which no dump is";
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char *argv[]) {
  std::string problem;
  const auto options = ParseOptions(argc, argv, problem);
  if (!options) {
    (void)std::fprintf(stderr, "pelmora-winusb-report: %s\n%s", problem.c_str(), USAGE);
    return UNUSABLE;
  }
  if (options->help) {
    (void)std::fputs(USAGE, stdout);
    return FOUND;
  }
  const pelmora::usb::GuidText guid = pelmora::linux_platform::GuidTextOf(DeviceInterfaceGuid);
  std::vector<pelmora::linux_platform::ExplainedDevice> devices;
  if (!options->from.empty()) {
    std::string text;
    if (!ReadFile(options->from, text, problem)) {
      return Fail(options->from + ": " + problem);
    }
    const auto recorded = ReadDump(text, problem);
    if (!recorded) {
      return Fail(options->from + ": " + problem);
    }
    devices = ExplainRecordedDevices(*recorded, guid);
  } else {
    auto present = ExplainPresentDevices(options->device, guid);
    if (!present) {
      (void)std::fprintf(stderr, "pelmora-winusb-report: libusb cannot start\n");
      return NOT_FOUND;
    }
    devices = std::move(*present);
  }
  if (!options->save.empty()) {
    std::ofstream file(options->save, std::ios::binary | std::ios::trunc);
    file << WriteDump(guid, devices);
    file.close();
    if (!file) {
      return Fail("cannot write the dump to " + options->save + ": " + std::strerror(errno));
    }
  }
  const Report report = BuildReport(std::move(devices), guid);
  const std::string output = options->json ? ReportJson(report) : ReportText(report);
  (void)std::fwrite(output.data(), 1, output.size(), stdout);
  if (std::fflush(stdout) != 0) {
    return Fail(std::string("cannot write the report: ") + std::strerror(errno));
  }
  return report.pick ? FOUND : NOT_FOUND;
}
