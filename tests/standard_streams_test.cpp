// SPDX-License-Identifier: MIT
// The standard streams: switching them to binary, and what happens when
// one of them fails. Exit status 1 always means a standard stream failed.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

#include "diagnostics.h"
#include "platform.h"
#include "program_run.h"

namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

TEST(StreamModes, AClosedStandardInputEndsTheRunBeforeTheLookup) {
  const ProgramRun run = RunProgram(WorkingDevice(), {.inputKind = InputKind::Closed});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, Diagnostic("Cannot set mode (for stdin)", EBADF));
  EXPECT_THAT(run.calls, IsEmpty());
  EXPECT_EQ(run.out, "");
}

TEST(StreamModes, AClosedStandardOutputEndsAQuietRunFirst) {
  const ProgramRun run = RunProgram(
      WorkingDevice(),
      {.arguments = {"4"}, .inputKind = InputKind::Closed, .outputKind = OutputKind::Closed});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_EQ(run.err, Diagnostic("Cannot set mode (for stdout)", EBADF));
  EXPECT_THAT(run.calls, IsEmpty());
}

TEST(StreamModes, AVerboseRunDoesNotSwitchStandardOutput) {
  const ProgramRun run =
      RunProgram(WorkingDevice(), {.input = "data", .outputKind = OutputKind::Closed});

  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.received, "data");
}

TEST(StandardOutputFailure, StopsReadingFromTheDeviceAndExitsWithOne) {
  DeviceScript device = WorkingDevice();
  for (int i = 0; i < 50; ++i) {
    device.reads.push_back({TRUE, std::string(4096, 'd')});
  }
  const ProgramRun run =
      RunProgram(device, {.arguments = {"204800"}, .outputKind = OutputKind::Full});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_THAT(run.err, EndsWith(Diagnostic("Cannot write to stdout", ENOSPC)));
  // Reading stops once a chunk could not be written out.
  EXPECT_LT(run.CallsTo("WinUsb_ReadPipe").size(), 50u);
}

TEST(StandardOutputFailure, IsFoundEvenWhenOnlyTheFinalFlushFails) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "tiny"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"4"}, .outputKind = OutputKind::Full});

  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_THAT(run.err, EndsWith(Diagnostic("Cannot write to stdout", ENOSPC)));
}

TEST(StandardInputFailure, SendsWhatWasReadThenReportsAndSkipsTheDownload) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "never"}};
  const std::string input(5000, 'i');
  const ProgramRun run = RunProgram(
      device, {.arguments = {"5"}, .input = input, .inputKind = InputKind::BytesThenError});

  EXPECT_EQ(run.received, input);
  EXPECT_THAT(run.Lengths("WinUsb_WritePipe"), ElementsAre(4096, 904));
  EXPECT_THAT(run.err, EndsWith(Diagnostic("Cannot read from stdin", EAGAIN)));
  EXPECT_THAT(run.CallsTo("WinUsb_ReadPipe"), IsEmpty());
  EXPECT_EQ(run.exitStatus, 1);
}

TEST(StandardInputFailure, IsReportedAfterTheChunkInVerboseMode) {
  const ProgramRun run =
      RunProgram(WorkingDevice(), {.input = "abc", .inputKind = InputKind::BytesThenError});

  EXPECT_THAT(run.out, EndsWith("Attempting WinUsb_WritePipe() for 3 bytes.\n"));
  EXPECT_EQ(run.received, "abc");
  EXPECT_EQ(run.exitStatus, 1);
}

// The runtime services themselves.

TEST(RuntimeServices, SetModeFailsOnlyForADescriptorThatIsNotOpen) {
  errno = 0;
  EXPECT_NE(_setmode(STDIN_FILENO, _O_BINARY), -1);
  EXPECT_EQ(errno, 0);
  const int closed = open("/dev/null", O_RDONLY);
  close(closed);
  EXPECT_EQ(_setmode(closed, _O_BINARY), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(RuntimeServices, LocalAllocLeavesErrnoAloneWhenItSucceeds) {
  errno = 1234;
  HLOCAL block = LocalAlloc(LMEM_FIXED, 0);
  EXPECT_NE(block, nullptr);
  HLOCAL large = LocalAlloc(LMEM_FIXED, 1 << 20);
  EXPECT_NE(large, nullptr);
  EXPECT_EQ(LocalFree(block), nullptr);
  EXPECT_EQ(LocalFree(large), nullptr);
  EXPECT_EQ(errno, 1234);
}

TEST(RuntimeServices, PerrorFormIsOneWholeLineAndKeepsErrno) {
  const int capture = memfd_create("stderr", 0);
  const int saved = dup(STDERR_FILENO);
  dup2(capture, STDERR_FILENO);
  errno = ENOENT;
  _wperror(L"Opening\n");
  const int errnoAfter = errno;
  dup2(saved, STDERR_FILENO);
  close(saved);

  char text[256] = {};
  lseek(capture, 0, SEEK_SET);
  const ssize_t length = read(capture, text, sizeof text - 1);
  close(capture);
  EXPECT_EQ(std::string(text, length > 0 ? length : 0), "Opening\n: " + ErrorText(ENOENT) + "\n");
  EXPECT_EQ(errnoAfter, ENOENT);
}

} // namespace
