// SPDX-License-Identifier: MIT
// Classifying the endpoints of alternate setting 0: the transfers use the
// bulk pipes found, and any other kind of pipe ends the setup.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "program_run.h"

namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

DeviceScript DeviceWith(std::vector<ScriptedPipe> pipes) {
  DeviceScript device = WorkingDevice();
  device.pipes = std::move(pipes);
  device.reads = {{TRUE, "r"}};
  return device;
}

// Runs a quiet round trip and returns the pipe ids the write and the read used.
std::pair<std::string, std::string> PipesUsed(const DeviceScript &device) {
  const ProgramRun run = RunProgram(device, {.arguments = {"1"}, .input = "w"});
  auto pipeOf = [](const std::vector<std::string> &calls) {
    if (calls.empty()) {
      return std::string("none");
    }
    const std::size_t at = calls[0].find("pipe=");
    return calls[0].substr(at + 5, calls[0].find(' ', at) - at - 5);
  };
  return {pipeOf(run.CallsTo("WinUsb_WritePipe")), pipeOf(run.CallsTo("WinUsb_ReadPipe"))};
}

TEST(PipeMap, UsesTheBulkOutAndBulkInPipes) {
  EXPECT_EQ(PipesUsed(DeviceWith({{UsbdPipeTypeBulk, 0x01}, {UsbdPipeTypeBulk, 0x81}})),
            std::make_pair(std::string("0x1"), std::string("0x81")));
}

TEST(PipeMap, TellsDirectionByBit7OfThePipeId) {
  EXPECT_EQ(PipesUsed(DeviceWith({{UsbdPipeTypeBulk, 0x86}, {UsbdPipeTypeBulk, 0x02}})),
            std::make_pair(std::string("0x2"), std::string("0x86")));
}

TEST(PipeMap, TheLastPipeOfAKindWins) {
  EXPECT_EQ(PipesUsed(DeviceWith({{UsbdPipeTypeBulk, 0x81},
                                  {UsbdPipeTypeBulk, 0x01},
                                  {UsbdPipeTypeBulk, 0x82},
                                  {UsbdPipeTypeBulk, 0x03}})),
            std::make_pair(std::string("0x3"), std::string("0x82")));
}

TEST(PipeMap, InterruptPipesOfEitherDirectionAreNeverUsedForData) {
  EXPECT_EQ(PipesUsed(DeviceWith({{UsbdPipeTypeInterrupt, 0x83},
                                  {UsbdPipeTypeBulk, 0x01},
                                  {UsbdPipeTypeInterrupt, 0x04},
                                  {UsbdPipeTypeBulk, 0x81}})),
            std::make_pair(std::string("0x1"), std::string("0x81")));
}

TEST(PipeMap, WithNoEndpointsTheTransfersAddressPipeZero) {
  const ProgramRun run = RunProgram(DeviceWith({}), {.arguments = {"1"}, .input = "w"});

  EXPECT_THAT(run.CallsTo("WinUsb_QueryPipe"), IsEmpty());
  EXPECT_THAT(run.CallsTo("WinUsb_WritePipe"), ElementsAre(HasSubstr("pipe=0x0 ")));
  EXPECT_THAT(run.CallsTo("WinUsb_ReadPipe"), ElementsAre(HasSubstr("pipe=0x0 ")));
}

TEST(PipeMap, QueriesEveryIndexOfAlternateSettingZero) {
  const ProgramRun run = RunProgram(WorkingDevice(), {});

  EXPECT_THAT(run.CallsTo("WinUsb_QueryPipe"), ElementsAre("interface=0x5678 alternate=0 index=0",
                                                           "interface=0x5678 alternate=0 index=1",
                                                           "interface=0x5678 alternate=0 index=2"));
}

class UnexpectedPipe : public ::testing::TestWithParam<int> {};

TEST_P(UnexpectedPipe, EndsTheSetupSilentlyWithoutQueryingFurther) {
  DeviceScript device = DeviceWith({{UsbdPipeTypeBulk, 0x01},
                                    {static_cast<USBD_PIPE_TYPE>(GetParam()), 0x02},
                                    {UsbdPipeTypeBulk, 0x81}});
  const ProgramRun run = RunProgram(device, {.input = "w"});

  EXPECT_EQ(run.CallsTo("WinUsb_QueryPipe").size(), 2u);
  EXPECT_THAT(run.CallsTo("WinUsb_WritePipe"), IsEmpty());
  EXPECT_THAT(run.out, AllOf(HasSubstr("WinUsb_QueryInterfaceSettings() returned TRUE.\n"),
                             Not(HasSubstr("Attempting"))));
  EXPECT_EQ(run.exitStatus, 0);
}

INSTANTIATE_TEST_SUITE_P(ControlAndIsochronous, UnexpectedPipe,
                         ::testing::Values(UsbdPipeTypeControl, UsbdPipeTypeIsochronous));

TEST(PipeMap, AFailedQueryEndsTheSetupInsteadOfReusingTheRecord) {
  DeviceScript device = DeviceWith({{UsbdPipeTypeBulk, 0x01},
                                    {UsbdPipeTypeBulk, 0x81, /*queryFails=*/true},
                                    {UsbdPipeTypeBulk, 0x82}});
  const ProgramRun run = RunProgram(device, {.arguments = {"1"}, .input = "w"});

  EXPECT_EQ(run.CallsTo("WinUsb_QueryPipe").size(), 2u);
  EXPECT_THAT(run.CallsTo("WinUsb_WritePipe"), IsEmpty());
}

TEST(PipeMap, AFailedLastQueryFailsTheSetup) {
  DeviceScript device = DeviceWith({{UsbdPipeTypeBulk, 0x01}, {UsbdPipeTypeBulk, 0x81}});
  device.endpointCountOverride = 3; // the third index does not exist
  const ProgramRun run = RunProgram(device, {.input = "w"});

  EXPECT_EQ(run.CallsTo("WinUsb_QueryPipe").size(), 3u);
  EXPECT_THAT(run.CallsTo("WinUsb_WritePipe"), IsEmpty());
}

TEST(PipeMap, HandlesTheLargestEndpointCount) {
  DeviceScript device = WorkingDevice();
  device.pipes.assign(255, {UsbdPipeTypeBulk, 0x05});
  device.pipes[254] = {UsbdPipeTypeBulk, 0x85};
  const ProgramRun run = RunProgram(device, {.input = "w"});

  EXPECT_EQ(run.CallsTo("WinUsb_QueryPipe").size(), 255u);
  EXPECT_THAT(run.CallsTo("WinUsb_WritePipe"), ElementsAre(HasSubstr("pipe=0x5 ")));
}

} // namespace
