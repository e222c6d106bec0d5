// SPDX-License-Identifier: MIT
// Sending standard input to the bulk OUT pipe: chunks of at most 4096 bytes,
// each written completely before the next is read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "diagnostics.h"
#include "program_run.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

std::string Bytes(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  }
  return bytes;
}

std::string AttemptLines(std::initializer_list<int> lengths) {
  std::string lines;
  for (const int length : lengths) {
    lines += "Attempting WinUsb_WritePipe() for " + std::to_string(length) + " bytes.\n";
  }
  return lines;
}

std::string AttemptLinesOf(const std::string &out) {
  std::string lines;
  for (std::size_t at = out.find("Attempting"); at != std::string::npos;
       at = out.find("Attempting", at + 1)) {
    lines += out.substr(at, out.find('\n', at) + 1 - at);
  }
  return lines;
}

TEST(Upload, EmptyInputAnnouncesAnEmptyChunkAndWritesNothing) {
  const ProgramRun run = RunProgram(WorkingDevice(), {.input = ""});

  EXPECT_EQ(AttemptLinesOf(run.out), AttemptLines({0}));
  EXPECT_THAT(run.CallsTo("WinUsb_WritePipe"), IsEmpty());
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(Upload, AShortInputIsOneWriteWithoutAnOverlappedRecord) {
  const ProgramRun run = RunProgram(WorkingDevice(), {.input = "0123456789"});

  EXPECT_THAT(run.CallsTo("WinUsb_WritePipe"),
              ElementsAre("interface=0x5678 pipe=0x1 length=10 overlapped=0x0"));
  EXPECT_EQ(run.received, "0123456789");
}

TEST(Upload, InputOfExactlyOneChunkEndsWithAnEmptyChunk) {
  const std::string input = Bytes(4096);
  const ProgramRun run = RunProgram(WorkingDevice(), {.input = input});

  EXPECT_THAT(run.Lengths("WinUsb_WritePipe"), ElementsAre(4096));
  EXPECT_EQ(AttemptLinesOf(run.out), AttemptLines({4096, 0}));
  EXPECT_EQ(run.received, input);
}

TEST(Upload, SplitsInputIntoChunksOfAtMost4096Bytes) {
  const std::string input = Bytes(3 * 4096 + 1);
  const ProgramRun run = RunProgram(WorkingDevice(), {.input = input});

  EXPECT_THAT(run.Lengths("WinUsb_WritePipe"), ElementsAre(4096, 4096, 4096, 1));
  EXPECT_EQ(AttemptLinesOf(run.out), AttemptLines({4096, 4096, 4096, 1}));
  EXPECT_EQ(run.received, input);
}

TEST(Upload, SendsEveryByteValueUnchanged) {
  std::string input;
  for (int i = 0; i < 256; ++i) {
    input += static_cast<char>(i);
  }
  input += "\r\n\x1a\r\n";
  const ProgramRun run = RunProgram(WorkingDevice(), {.arguments = {"1"}, .input = input});

  EXPECT_EQ(run.received, input);
}

TEST(Upload, ShortWritesAreFollowedByTheRestOfTheChunk) {
  DeviceScript device = WorkingDevice();
  device.maxBytesPerWrite = 512;
  const std::string input = Bytes(4096 + 700);
  const ProgramRun run = RunProgram(device, {.input = input});

  EXPECT_THAT(run.Lengths("WinUsb_WritePipe"),
              ElementsAre(4096, 3584, 3072, 2560, 2048, 1536, 1024, 512, 700, 188));
  EXPECT_EQ(AttemptLinesOf(run.out), AttemptLines({4096, 700}));
  EXPECT_EQ(run.received, input);
}

TEST(Upload, AWriteThatTakesNothingIsIssuedAgain) {
  DeviceScript device = WorkingDevice();
  device.writeTakes = {0, 3, 0};
  const ProgramRun run = RunProgram(device, {.input = "0123456789"});

  EXPECT_THAT(run.Lengths("WinUsb_WritePipe"), ElementsAre(10, 10, 7, 7));
  EXPECT_EQ(run.received, "0123456789");
}

TEST(Upload, ADeviceClaimingToTakeMoreThanGivenLosesNoBytes) {
  DeviceScript device = WorkingDevice();
  device.writeTakes = {100000};
  const std::string input = Bytes(5000);
  const ProgramRun run = RunProgram(device, {.input = input});

  EXPECT_THAT(run.Lengths("WinUsb_WritePipe"), ElementsAre(4096, 904));
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(Upload, AFailedWriteAbandonsTheRestAndSkipsTheDownload) {
  DeviceScript device = WorkingDevice();
  device.maxBytesPerWrite = 1000;
  device.failingWrite = 2;
  device.reads = {{TRUE, "never"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"5"}, .input = Bytes(3 * 4096)});

  EXPECT_THAT(run.Lengths("WinUsb_WritePipe"), ElementsAre(4096, 3096));
  EXPECT_EQ(run.received.size(), 1000u);
  EXPECT_THAT(run.err, HasSubstr(Diagnostic("WinUsb_WritePipe() returned FALSE.\n")));
  EXPECT_THAT(run.CallsTo("WinUsb_ReadPipe"), IsEmpty());
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(Upload, TheFirstWriteFailingIsReportedInVerboseModeToo) {
  DeviceScript device = WorkingDevice();
  device.failingWrite = 1;
  const ProgramRun run = RunProgram(device, {.input = "abc"});

  EXPECT_EQ(run.err, Diagnostic("GetDevicePath.\n") +
                         Diagnostic("GetDevicePath() returned TRUE.\n") +
                         Diagnostic("WinUsb_WritePipe() returned FALSE.\n"));
  EXPECT_EQ(AttemptLinesOf(run.out), AttemptLines({3}));
  EXPECT_EQ(run.exitStatus, 0);
}

} // namespace
