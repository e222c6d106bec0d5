// SPDX-License-Identifier: MIT
// Reading the count back from the bulk IN pipe: chunks of at most 4096
// bytes, counted down by what each read delivered, written out unchanged.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "diagnostics.h"
#include "program_run.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

ProgramRun Download(const std::string &count, std::deque<ScriptedRead> reads) {
  DeviceScript device = WorkingDevice();
  device.reads = std::move(reads);
  return RunProgram(device, {.arguments = {count}, .input = ""});
}

TEST(Download, OnePacketThatCoversTheCountEndsTheDownload) {
  const std::string packet(64, 'p');
  const ProgramRun run = Download("64", {{TRUE, packet}, {TRUE, "unwanted"}});

  EXPECT_THAT(run.CallsTo("WinUsb_ReadPipe"),
              ElementsAre("interface=0x5678 pipe=0x81 length=64 overlapped=0x0"));
  EXPECT_EQ(run.out, packet);
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(Download, ShortReadsAreFollowedByReadsForTheRest) {
  const ProgramRun run =
      Download("64", {{TRUE, std::string(40, 'a')}, {TRUE, std::string(24, 'b')}});

  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(64, 24));
  EXPECT_EQ(run.out, std::string(40, 'a') + std::string(24, 'b'));
}

TEST(Download, LargeCountsAreReadInChunksOf4096AndThenTheRemainder) {
  const ProgramRun run = Download("10000", {{TRUE, std::string(4096, 'a')},
                                            {TRUE, std::string(4096, 'b')},
                                            {TRUE, std::string(1808, 'c')}});

  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(4096, 4096, 1808));
  EXPECT_EQ(run.out.size(), 10000u);
}

TEST(Download, AZeroLengthReadAsksForTheSameLengthAgain) {
  const ProgramRun run = Download("8", {{TRUE, "abc"}, {TRUE, ""}, {TRUE, "defgh"}});

  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(8, 5, 5));
  EXPECT_EQ(run.out, "abcdefgh");
}

TEST(Download, EachReadReachesStandardOutputBeforeTheNextRead) {
  ScriptedRead interrupted;
  interrupted.interrupted = true;
  const ProgramRun run = Download("10", {{TRUE, "abc"}, interrupted});

  EXPECT_EQ(run.exitStatus, 128 + SIGINT);
  EXPECT_EQ(run.out, "abc");
}

TEST(Download, WritesEveryByteValueUnchanged) {
  std::string reply("\0\n\x1a\r\n\xff\r", 7);
  const ProgramRun run = Download("7", {{TRUE, reply}});

  EXPECT_EQ(run.out, reply);
}

TEST(Download, AFailedReadEndsTheDownloadAndKeepsWhatArrived) {
  const ProgramRun run = Download("100", {{TRUE, "first"}, {FALSE, ""}, {TRUE, "never"}});

  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(100, 95));
  EXPECT_EQ(run.out, "first");
  EXPECT_EQ(run.err, Diagnostic("GetDevicePath.\n") +
                         Diagnostic("GetDevicePath() returned TRUE.\n") +
                         Diagnostic("WinUsb_ReadPipe() returned FALSE.\n"));
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(Download, ADeviceClaimingMoreThanAskedForNeitherOverreadsNorOvercounts) {
  ScriptedRead boastful{TRUE, "abcd"};
  boastful.overrideTransferred = true;
  boastful.transferred = 1u << 31;
  const ProgramRun run = Download("4", {boastful, {TRUE, "more"}});

  EXPECT_THAT(run.Lengths("WinUsb_ReadPipe"), ElementsAre(4));
  EXPECT_EQ(run.out, "abcd");
}

TEST(Download, WaitsForTheUploadToFinishFirst) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "ok"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"2"}, .input = std::string(9000, 'u')});

  ASSERT_GE(run.calls.size(), 4u);
  EXPECT_THAT(run.calls[run.calls.size() - 1], HasSubstr("WinUsb_ReadPipe"));
  EXPECT_EQ(run.received.size(), 9000u);
  EXPECT_EQ(run.out, "ok");
}

} // namespace
