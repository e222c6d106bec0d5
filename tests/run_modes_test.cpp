// SPDX-License-Identifier: MIT
// The count argument chooses the run mode: verbose with no count, quiet with
// one. Standard input is sent in both; only quiet mode reads back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program_run.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

const char BANNER[] = "pelmora WinUSB test application.\n";

class RunModes : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RunModes, VerboseWithoutACountSendsInputAndReadsNothing) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "unread"}};
  const ProgramRun run = RunProgram(device, {.arguments = GetParam(), .input = "abc"});

  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_THAT(run.out, StartsWith(BANNER));
  EXPECT_EQ(run.received, "abc");
  EXPECT_THAT(run.CallsTo("WinUsb_ReadPipe"), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(CountsThatMeanNone, RunModes,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"0"},
                                           std::vector<std::string>{"abc"},
                                           std::vector<std::string>{"4294967296"},
                                           std::vector<std::string>{"", "64"}));

TEST(QuietMode, ReadsTheCountAfterSendingAllInput) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "reply-bytes!"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"12abc"}, .input = "request"});

  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "reply-bytes!");
  EXPECT_EQ(run.received, "request");
  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(12));
  // Every write comes before the first read.
  std::size_t lastWrite = 0, firstRead = run.calls.size();
  for (std::size_t i = 0; i < run.calls.size(); ++i) {
    if (run.calls[i].rfind("WinUsb_WritePipe", 0) == 0) {
      lastWrite = i;
    }
    if (run.calls[i].rfind("WinUsb_ReadPipe", 0) == 0 && firstRead == run.calls.size()) {
      firstRead = i;
    }
  }
  EXPECT_LT(lastWrite, firstRead);
}

TEST(QuietMode, PrintsNothingButDeviceDataOnStandardOutput) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "0123456789"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"10"}, .input = "0123456789"});

  EXPECT_EQ(run.out, "0123456789");
  EXPECT_THAT(run.err, Not(HasSubstr("OpenDevice")));
}

TEST(QuietMode, FurtherArgumentsChangeNothing) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "ab"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"2", "0", "abc"}, .input = ""});

  EXPECT_EQ(run.out, "ab");
  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(2));
}

TEST(QuietMode, ANegativeCountIsAHugeUnsignedCount) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, std::string(4096, 'x')}, {TRUE, std::string(4096, 'y')}};
  const ProgramRun run = RunProgram(device, {.arguments = {"-1"}, .input = ""});

  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, std::string(4096, 'x') + std::string(4096, 'y'));
  // Reads of a whole chunk until the device fails one.
  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(4096, 4096, 4096));
}

TEST(QuietMode, ACountPastTheThirtyTwoBitRangeWraps) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "z"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"4294967297"}, .input = ""});

  EXPECT_EQ(run.out, "z");
  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(1));
}

} // namespace
