// SPDX-License-Identifier: MIT
// Opening the device and binding its interface: each step runs only after
// the previous one succeeded, and a failure ends the run quietly.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program_run.h"

namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

TEST(Session, OpensThePathForOverlappedReadAndWriteByBothSharers) {
  const ProgramRun run = RunProgram(WorkingDevice(), {});

  EXPECT_THAT(run.CallsTo("CreateFileW"),
              ElementsAre(EndsWith(" access=0xC0000000 share=0x3 security=0x0 disposition=3 "
                                   "flags=0x40000080 template=0x0")));
}

TEST(Session, BindsTheOpenedHandleThenQueriesSpeedAndAlternateSettingZero) {
  const ProgramRun run = RunProgram(WorkingDevice(), {});

  EXPECT_THAT(run.CallsTo("WinUsb_Initialize"), ElementsAre("device=0x1234"));
  EXPECT_THAT(run.CallsTo("WinUsb_QueryDeviceInformation"),
              ElementsAre("interface=0x5678 type=1 length=1"));
  EXPECT_THAT(run.CallsTo("WinUsb_QueryInterfaceSettings"),
              ElementsAre("interface=0x5678 alternate=0"));
}

struct SetupFailure {
  const char *name;
  void (*script)(DeviceScript &);
  const char *lastVerboseLine;
  std::size_t queriesRun;
};

void PrintTo(const SetupFailure &failure, std::ostream *out) { *out << failure.name; }

class FailedSetup : public ::testing::TestWithParam<SetupFailure> {};

TEST_P(FailedSetup, EndsTheRunBeforeAnyTransferWithExitStatusZero) {
  DeviceScript device = WorkingDevice();
  GetParam().script(device);
  const ProgramRun verbose = RunProgram(device, {.input = "data"});

  EXPECT_THAT(verbose.out, EndsWith(GetParam().lastVerboseLine));
  EXPECT_EQ(verbose.exitStatus, 0);
  EXPECT_EQ(verbose.received, "");
  EXPECT_THAT(verbose.CallsTo("WinUsb_QueryPipe"), IsEmpty());
  EXPECT_EQ(verbose.CallsTo("WinUsb_QueryDeviceInformation").size() +
                verbose.CallsTo("WinUsb_QueryInterfaceSettings").size(),
            GetParam().queriesRun);

  const ProgramRun quiet = RunProgram(device, {.arguments = {"8"}, .input = "data"});
  EXPECT_EQ(quiet.out, "");
  EXPECT_THAT(quiet.err, Not(HasSubstr("WinUsb")));
  EXPECT_THAT(quiet.CallsTo("WinUsb_ReadPipe"), IsEmpty());
  EXPECT_EQ(quiet.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FailedSetup,
    ::testing::Values(SetupFailure{"Binding", [](DeviceScript &d) { d.initializeFails = true; },
                                   "WinUsb_Initialize() returned FALSE.\n", 0},
                      SetupFailure{"SpeedQuery", [](DeviceScript &d) { d.speedQueryFails = true; },
                                   "WinUsb_Initialize() returned TRUE.\n"
                                   "WinUsb_QueryDeviceInformation() returned FALSE.\n",
                                   1},
                      SetupFailure{"InterfaceQuery",
                                   [](DeviceScript &d) { d.interfaceQueryFails = true; },
                                   "WinUsb_QueryDeviceInformation() returned TRUE.\n"
                                   "WinUsb_QueryInterfaceSettings() returned FALSE.\n",
                                   2}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
