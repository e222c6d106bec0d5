// SPDX-License-Identifier: MIT
// What each channel carries: progress on standard output in verbose mode
// only, diagnostics in the perror form on standard error in every mode.
#include <gtest/gtest.h>

#include "diagnostics.h"
#include "program_run.h"

namespace {

const std::string PREAMBLE = "pelmora WinUSB test application.\n"
                             "DeviceInterface GUID to search for: "
                             "98-D7-20-61-92-D1-63-44-B0-DE-2B-65-ED-2F-48-70-\n";

TEST(VerboseMessages, AWorkingDeviceShowsEveryStepInOrder) {
  const ProgramRun run = RunProgram(WorkingDevice(), {.input = "0123456789"});

  EXPECT_EQ(run.out, PREAMBLE + "OpenDevice() returned: 0x00001234\n"
                                "WinUsb_Initialize() returned TRUE.\n"
                                "WinUsb_QueryDeviceInformation() returned TRUE.\n"
                                "WinUsb_QueryInterfaceSettings() returned TRUE.\n"
                                "Attempting WinUsb_WritePipe() for 10 bytes.\n");
  EXPECT_EQ(run.err,
            Diagnostic("GetDevicePath.\n") + Diagnostic("GetDevicePath() returned TRUE.\n"));
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(VerboseMessages, AnAbsentDeviceShowsTheInvalidHandleAndStops) {
  const ProgramRun run = RunProgram(DeviceScript{}, {.input = "never read"});

  EXPECT_EQ(run.out, PREAMBLE + "OpenDevice() returned: 0xFFFFFFFF\n"
                                "WinUsb_Initialize() returned FALSE.\n");
  EXPECT_EQ(run.err,
            Diagnostic("GetDevicePath.\n") + Diagnostic("GetDevicePath() returned FALSE.\n"));
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_TRUE(run.CallsTo("WinUsb_WritePipe").empty());
}

TEST(VerboseMessages, TheHandleShowsAsEightUpperCaseHexDigits) {
  DeviceScript device = WorkingDevice();
  device.deviceHandle = 0xABCDEF;
  const ProgramRun run = RunProgram(device, {});

  EXPECT_NE(run.out.find("OpenDevice() returned: 0x00ABCDEF\n"), std::string::npos) << run.out;
}

TEST(VerboseMessages, AHandleWiderThan32BitsShowsItsLow32Bits) {
  if (sizeof(void *) < 8) {
    GTEST_SKIP() << "handles are 32 bits wide here";
  }
  DeviceScript device = WorkingDevice();
  device.deviceHandle = static_cast<std::uintptr_t>(0x12345678ABCDULL);
  const ProgramRun run = RunProgram(device, {});

  EXPECT_NE(run.out.find("OpenDevice() returned: 0x5678ABCD\n"), std::string::npos) << run.out;
}

TEST(QuietMessages, AWorkingRunWritesOnlyTheLookupsFourLinesToStandardError) {
  DeviceScript device = WorkingDevice();
  device.reads = {{TRUE, "pong"}};
  const ProgramRun run = RunProgram(device, {.arguments = {"4"}, .input = "ping"});

  EXPECT_EQ(run.err,
            Diagnostic("GetDevicePath.\n") + Diagnostic("GetDevicePath() returned TRUE.\n"));
  EXPECT_EQ(run.out, "pong");
}

TEST(QuietMessages, SetupFailuresPrintNothingButTheLookupOutcome) {
  const ProgramRun run = RunProgram(DeviceScript{}, {.arguments = {"4"}});

  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err,
            Diagnostic("GetDevicePath.\n") + Diagnostic("GetDevicePath() returned FALSE.\n"));
  EXPECT_EQ(run.exitStatus, 0);
}

TEST(Diagnostics, ShowTheTextOfErrnoAsTheLibraryKnowsIt) {
  // A closed standard input fails the switch to binary with EBADF.
  const ProgramRun run = RunProgram(WorkingDevice(), {.inputKind = InputKind::Closed});

  EXPECT_EQ(run.err, "Cannot set mode (for stdin): Bad file descriptor\n");
}

} // namespace
