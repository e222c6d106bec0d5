// SPDX-License-Identifier: MIT
// The emulated device keeps USB's packet rules, so the layer's tests mean
// what they would mean on hardware.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device_options.h"
#include "loopback_device.h"

namespace {

using namespace pelmora::emulated;

DeviceSpec FullSpeed() {
  DeviceSpec spec;
  spec.speed = Speed::Full;
  spec.bulkPacketSize = 64;
  return spec;
}

ByteVector Bytes(std::size_t length) { return ByteVector(length, 0x5A); }

TEST(LoopbackDevice, OverflowsATransferSmallerThanThePacketItMeets) {
  LoopbackDevice device(FullSpeed());
  device.Transfer(0x01, 64, Bytes(64));
  // What a plain 10-byte read would meet on a real bus.
  const TransferResult result = device.Transfer(0x81, 10, {});
  EXPECT_EQ(result.status, Completion::Overflow);
  EXPECT_EQ(result.actual, 10u);
}

TEST(LoopbackDevice, EndsAnInTransferAtAShortPacketOrWhenTheQueueEmpties) {
  Faults faults;
  faults.inPacketSize = 40;
  LoopbackDevice device(FullSpeed(), faults);
  device.Transfer(0x01, 100, Bytes(100));
  EXPECT_EQ(device.Transfer(0x81, 128, {}).actual, 40u);
  device.SetFaults({});
  EXPECT_EQ(device.Transfer(0x81, 128, {}).actual, 60u);
}

TEST(LoopbackDevice, LetsAnInTransferWaitOrStallWhenNothingIsQueued) {
  LoopbackDevice device;
  device.KeepRecords();
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Pending);
  EXPECT_TRUE(device.Log().empty()); // a waiting transfer is not finished
  Faults faults;
  faults.stallWhenEmpty = true;
  device.SetFaults(faults);
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Stall);
}

TEST(LoopbackDevice, TakesAtMostTheScriptedBytesPerOutCompletion) {
  Faults faults;
  faults.outTakeLimit = 3;
  LoopbackDevice device({}, faults);
  device.KeepRecords();
  EXPECT_EQ(device.Transfer(0x01, 5, Bytes(5)).actual, 3u);
  EXPECT_EQ(device.Received().size(), 3u);
}

TEST(LoopbackDevice, RandomVariationShortensTransfersButKeepsEveryByteInOrder) {
  Faults faults;
  faults.randomSeed = 7;
  LoopbackDevice device({}, faults);
  ByteVector sent;
  for (std::size_t i = 0; i < 64 * 4096; ++i) {
    sent.push_back(static_cast<std::uint8_t>(i * 31 + i / 4096));
  }
  int shortOut = 0;
  for (std::size_t offset = 0; offset < sent.size();) {
    const auto length =
        static_cast<std::uint32_t>(std::min<std::size_t>(4096, sent.size() - offset));
    const std::uint32_t taken =
        device.Transfer(0x01, length, {sent.data() + offset, length}).actual;
    ASSERT_GE(taken, 1u);
    shortOut += taken < length;
    offset += taken;
  }
  ByteVector back;
  int shortIn = 0;
  while (back.size() < sent.size()) {
    const TransferResult result = device.Transfer(0x81, 4096, {});
    ASSERT_EQ(result.status, Completion::Done);
    shortIn += result.actual < 4096;
    back.insert(back.end(), result.data.begin(), result.data.end());
  }
  EXPECT_EQ(back, sent);
  EXPECT_GT(shortOut, 0);
  EXPECT_GT(shortIn, 0);
}

TEST(LoopbackDevice, HoldsOutBackWhileTheQueueIsFullAndTakesTheRestAsInDrainsIt) {
  DeviceSpec spec = FullSpeed();
  spec.queueLimit = 1000;
  LoopbackDevice device(spec);
  ByteVector sent(1500);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sent[i] = static_cast<std::uint8_t>(i * 7);
  }
  // The first 960 bytes (15 whole packets) fit; the write waits for the rest.
  TransferResult out = device.Transfer(0x01, 1500, sent);
  EXPECT_EQ(out.status, Completion::Pending);
  EXPECT_EQ(out.actual, 960u);
  const std::span<const std::uint8_t> rest = std::span(sent).subspan(960);
  EXPECT_EQ(device.Transfer(0x01, 540, rest).actual, 0u);
  const TransferResult first = device.Transfer(0x81, 640, {});
  out = device.Transfer(0x01, 540, rest);
  EXPECT_EQ(out.status, Completion::Done);
  EXPECT_EQ(out.actual, 540u);
  const TransferResult second = device.Transfer(0x81, 1024, {});
  ByteVector back = first.data;
  back.insert(back.end(), second.data.begin(), second.data.end());
  EXPECT_EQ(back, sent);
}

TEST(LoopbackDevice, StallsTheScriptedTransferAndIsGoneAfterTheScriptedCount) {
  Faults faults;
  faults.stallTransfer = 2;
  faults.disconnectAfter = 3;
  LoopbackDevice device({}, faults);
  device.KeepRecords();
  EXPECT_EQ(device.Transfer(0x01, 1, Bytes(1)).status, Completion::Done);
  EXPECT_EQ(device.Transfer(0x01, 1, Bytes(1)).status, Completion::Stall);
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Done);
  EXPECT_EQ(device.Transfer(0x01, 1, Bytes(1)).status, Completion::NoDevice);
  EXPECT_FALSE(device.Connected());
  EXPECT_EQ(device.Control({0x80, 0x06, 0x0100, 0, 18}).status, Completion::NoDevice);
  ASSERT_EQ(device.Log().size(), 4u);
  EXPECT_EQ(device.Log()[2].endpoint, 0x81);
  EXPECT_EQ(device.Log()[2].requested, 512u);
  EXPECT_EQ(device.Log()[2].actual, 1u);
}

TEST(LoopbackDevice, StaysHaltedAfterAStallUntilTheHaltIsCleared) {
  Faults faults;
  faults.stallTransfer = 1;
  faults.stallWhenEmpty = true;
  LoopbackDevice device({}, faults);
  EXPECT_EQ(device.Transfer(0x01, 1, Bytes(1)).status, Completion::Stall);
  EXPECT_EQ(device.Transfer(0x01, 1, Bytes(1)).status, Completion::Stall);
  device.ClearHalt(0x01);
  EXPECT_EQ(device.Transfer(0x01, 1, Bytes(1)).status, Completion::Done);
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Done);
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Stall);
  device.SetFaults({});
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Stall);
  // CLEAR_FEATURE(ENDPOINT_HALT), as a host's stack sends it.
  EXPECT_EQ(device.Control({0x02, 0x01, 0, 0x81, 0}).status, Completion::Done);
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Pending);
  faults.stallTransfer = 0;
  device.SetFaults(faults);
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Stall);
  device.Reconfigure(); // SET_CONFIGURATION and SET_INTERFACE clear every halt
  device.SetFaults({});
  EXPECT_EQ(device.Transfer(0x81, 512, {}).status, Completion::Pending);
}

bool Answers(LoopbackDevice &device, const SetupPacket &setup) {
  return device.Control(setup).status == Completion::Done;
}

TEST(LoopbackDevice, AnswersOnlyTheOsDescriptorRequestsOfItsKind) {
  LoopbackDevice ms20;
  EXPECT_TRUE(Answers(ms20, {0xC0, MS_OS_20_VENDOR_CODE, 0, 7, 0xFFFF}));
  EXPECT_FALSE(Answers(ms20, {0x80, 0x06, 0x03EE, 0, 18}));
  DeviceSpec spec;
  spec.osDescriptors = OsDescriptors::MsOs10;
  LoopbackDevice ms10(spec);
  EXPECT_FALSE(Answers(ms10, {0xC0, MS_OS_20_VENDOR_CODE, 0, 7, 0xFFFF}));
  EXPECT_TRUE(Answers(ms10, {0x80, 0x06, 0x03EE, 0, 18}));
  EXPECT_TRUE(Answers(ms10, {0xC1, MS_OS_10_VENDOR_CODE, 0, 5, 10}));
  EXPECT_TRUE(Answers(ms10, {0xC0, MS_OS_10_VENDOR_CODE, 0, 4, 16}));
  // The interface goes in the low byte of wValue; the high byte stalls, as
  // the kernel's gadget framework does.
  spec.composite = true;
  LoopbackDevice composite(spec);
  EXPECT_TRUE(Answers(composite, {0xC1, MS_OS_10_VENDOR_CODE, 0x0002, 5, 10}));
  EXPECT_FALSE(Answers(composite, {0xC1, MS_OS_10_VENDOR_CODE, 0x0200, 5, 10}));
}

} // namespace

namespace {

TEST(DeviceOptions, ApplyTheirValueAndStepPastIt) {
  char *argv[] = {const_cast<char *>("host"), const_cast<char *>("--stall"),
                  const_cast<char *>("3"), const_cast<char *>("--full-speed")};
  DeviceSpec spec;
  Faults faults;
  std::string problem;
  int index = 1;
  EXPECT_EQ(ApplyDeviceOption(4, argv, index, spec, faults, problem), DeviceOption::Applied);
  EXPECT_EQ(index, 2);
  EXPECT_EQ(faults.stallTransfer, 3u);
  index = 3;
  EXPECT_EQ(ApplyDeviceOption(4, argv, index, spec, faults, problem), DeviceOption::Applied);
  EXPECT_EQ(spec.bulkPacketSize, 64);
}

TEST(DeviceOptions, RefuseMissingOrMalformedNumbersAndLeaveOthersAlone) {
  for (const char *value : {"", "x", "-1", "4294967296", "12abc"}) {
    char *argv[] = {const_cast<char *>("host"), const_cast<char *>("--out-take"),
                    const_cast<char *>(value)};
    DeviceSpec spec;
    Faults faults;
    std::string problem;
    int index = 1;
    EXPECT_EQ(ApplyDeviceOption(3, argv, index, spec, faults, problem), DeviceOption::Invalid)
        << value;
    EXPECT_NE(problem.find("--out-take"), std::string::npos);
  }
  char *argv[] = {const_cast<char *>("host"), const_cast<char *>("--in-packet"),
                  const_cast<char *>("--port")};
  DeviceSpec spec;
  Faults faults;
  std::string problem;
  int index = 1;
  EXPECT_EQ(ApplyDeviceOption(2, argv, index, spec, faults, problem), DeviceOption::Invalid);
  index = 2;
  EXPECT_EQ(ApplyDeviceOption(3, argv, index, spec, faults, problem), DeviceOption::NotOurs);
}

TEST(DeviceOptions, RefuseADeviceThatCouldNeverTakeAWrite) {
  Faults faults;
  faults.outTakeLimit = 0;
  EXPECT_NE(CheckDeviceOptions({}, faults), "");
  DeviceSpec spec;
  spec.queueLimit = 512;
  EXPECT_NE(CheckDeviceOptions(spec, {}), "");
  EXPECT_EQ(CheckDeviceOptions({}, {}), "");
}

// Whatever is planted at a log's path, a tool that may run as root refuses it
// before serving, names the path and the reason, and changes nothing.
TEST(DeviceOptions, RefuseALogPathThatCouldAimTheLogElsewhereAndLeaveWhatItNamesAlone) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("device-log-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path target = dir / "target";
  struct Planted {
    const char *what;
    const char *reason;
    bool (*plant)(const fs::path &log, const fs::path &target);
  };
  const Planted rows[] = {
      {"a symbolic link", "symbolic link",
       [](const fs::path &log, const fs::path &to) {
         fs::create_symlink(to, log);
         return true;
       }},
      // Opening one for writing would wait for a reader for ever.
      {"a FIFO", "not a regular file",
       [](const fs::path &log, const fs::path &) { return mkfifo(log.c_str(), 0600) == 0; }},
      {"a hard link", "hard links",
       [](const fs::path &log, const fs::path &to) {
         fs::create_hard_link(to, log);
         return true;
       }},
      // Only root can give a file away.
      {"another user's file", "belongs to user",
       [](const fs::path &log, const fs::path &) {
         std::ofstream(log) << "precious";
         return geteuid() == 0 && chown(log.c_str(), 65534, 65534) == 0;
       }},
  };
  for (const Planted &row : rows) {
    fs::remove(dir / "log");
    std::ofstream(target) << "precious";
    if (!row.plant(dir / "log", target)) {
      (void)std::fprintf(stderr, "cannot plant %s here: not tried\n", row.what);
      continue;
    }
    DeviceLog log(nullptr, std::fclose);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(OpenDeviceLog(dir / "log", DEFAULT_LOG_LIMIT, log)) << row.what;
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find((dir / "log").string()), std::string::npos) << row.what << ": " << said;
    EXPECT_NE(said.find(row.reason), std::string::npos) << row.what << ": " << said;
    std::string kept;
    std::ifstream(fs::is_fifo(dir / "log") ? target : dir / "log") >> kept;
    EXPECT_EQ(kept, "precious") << row.what;
  }
  DeviceLog log(nullptr, std::fclose);
  EXPECT_TRUE(OpenDeviceLog(dir / "new.log", DEFAULT_LOG_LIMIT, log));
  EXPECT_EQ(fs::status(dir / "new.log").permissions(),
            fs::perms::owner_read | fs::perms::owner_write);
  fs::remove_all(dir);
}

TEST(DeviceOptions, ALogStopsAtItsLimitWithALastLineSayingSo) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("device-log-limit-" + std::to_string(getpid()));
  {
    std::ofstream(path) << std::string(500, 'x'); // an old log, emptied
    DeviceLog log(nullptr, std::fclose);
    ASSERT_TRUE(OpenDeviceLog(path, 100, log));
    for (int line = 0; line < 20; ++line) {
      (void)std::fprintf(log.get(), "line %02d of the log\n", line); // 19 bytes each
    }
  }
  std::ifstream file(path);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  std::filesystem::remove(path);
  const std::string kept = "line 00 of the log\nline 01 of the log\nline 02 of the log\n"
                           "line 03 of the log\nline 04 of the log\n";
  EXPECT_EQ(text.substr(0, kept.size()), kept);
  EXPECT_EQ(text.substr(kept.size()),
            "log stopped: it reached its limit of 100 bytes (--log-limit)\n");
}

} // namespace
