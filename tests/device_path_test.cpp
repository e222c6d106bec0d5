// SPDX-License-Identifier: MIT
// Finding the device interface path: the first present interface of the
// class, copied whole or not at all.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cwchar>

#include "device_path.h"
#include "diagnostics.h"
#include "program_run.h"
#include "run_state.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::wstring PathOfLength(std::size_t length) {
  std::wstring path = L"\\\\?\\usb#";
  path.resize(length, L'x');
  return path;
}

TEST(CopyDevicePath, CopiesAPathOf260CharactersWhole) {
  const std::wstring source = PathOfLength(260);
  WCHAR destination[DEVICE_PATH_CCH + 1];
  std::wmemset(destination, L'#', DEVICE_PATH_CCH + 1);

  EXPECT_EQ(CopyDevicePath(destination, source.c_str()), 0);
  EXPECT_EQ(std::wstring(destination), source);
  EXPECT_EQ(destination[DEVICE_PATH_CCH], L'#') << "wrote past the buffer";
}

TEST(CopyDevicePath, CutsALongerPathTo260CharactersAndSaysSo) {
  for (const std::size_t length : {261u, 262u, 1000u}) {
    const std::wstring source = PathOfLength(length);
    WCHAR destination[DEVICE_PATH_CCH + 1];
    std::wmemset(destination, L'#', DEVICE_PATH_CCH + 1);

    EXPECT_EQ(CopyDevicePath(destination, source.c_str()), static_cast<HRESULT>(0x8007007A));
    EXPECT_EQ(std::wstring(destination), source.substr(0, 260));
    EXPECT_EQ(destination[DEVICE_PATH_CCH], L'#') << "wrote past the buffer";
  }
}

TEST(CopyDevicePath, CopiesAnEmptyPath) {
  WCHAR destination[DEVICE_PATH_CCH] = {L'#'};
  EXPECT_EQ(CopyDevicePath(destination, L""), 0);
  EXPECT_EQ(destination[0], 0);
}

TEST(Lookup, AsksForPresentInterfacesOfTheClassAndReleasesTheSet) {
  const ProgramRun run = RunProgram(WorkingDevice(), {});

  EXPECT_THAT(run.CallsTo("SetupDiGetClassDevsW"),
              ElementsAre("guid=6120D798-D192-4463-B0DE-2B65ED2F4870 enumerator=null "
                          "window=0x0 flags=0x12"));
  EXPECT_THAT(run.CallsTo("SetupDiEnumDeviceInterfaces"),
              ElementsAre("devinfo=0x0 guid=6120D798-D192-4463-B0DE-2B65ED2F4870 index=0 "
                          "cbSize=" +
                          std::to_string(sizeof(SP_DEVICE_INTERFACE_DATA))));
  const std::string fixedPart = std::to_string(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
  const std::string required =
      std::to_string(sizeof(DWORD) + (WorkingDevice().paths[0].size() + 1) * sizeof(WCHAR));
  EXPECT_THAT(run.CallsTo("SetupDiGetDeviceInterfaceDetailW"),
              ElementsAre("buffer=null size=0 cbSize=- devinfo=0x0",
                          "buffer=set size=" + required + " cbSize=" + fixedPart + " devinfo=0x0"));
  EXPECT_THAT(run.CallsTo("SetupDiDestroyDeviceInfoList"), ElementsAre("set=0xD5E7"));
}

TEST(Lookup, OpensTheFirstOfTwoMatchingDevices) {
  DeviceScript device = WorkingDevice();
  device.paths.push_back(L"\\\\?\\second-device");
  const ProgramRun run = RunProgram(device, {});

  EXPECT_THAT(run.CallsTo("CreateFileW"),
              ElementsAre(StartsWith("path=\\\\?\\usb#vid_1209&pid_0001#pelmora#")));
  EXPECT_THAT(run.err, HasSubstr("GetDevicePath() returned TRUE.\n"));
}

TEST(Lookup, WithNoDeviceReportsFalseOpensAnEmptyPathAndReleasesTheSet) {
  const ProgramRun run = RunProgram(DeviceScript{}, {});

  EXPECT_THAT(run.err, HasSubstr(Diagnostic("GetDevicePath() returned FALSE.\n")));
  EXPECT_THAT(run.CallsTo("CreateFileW"), ElementsAre(StartsWith("path= ")));
  EXPECT_THAT(run.CallsTo("SetupDiDestroyDeviceInfoList"), ElementsAre("set=0xD5E7"));
  // Nothing was found, so no detail record was read.
  EXPECT_EQ(run.CallsTo("SetupDiGetDeviceInterfaceDetailW").size(), 1u);
}

TEST(Lookup, AFailedDetailQueryReportsFalse) {
  DeviceScript device = WorkingDevice();
  device.detailQueryFails = true;
  const ProgramRun run = RunProgram(device, {});

  EXPECT_THAT(run.err, HasSubstr("GetDevicePath() returned FALSE.\n"));
  EXPECT_THAT(run.CallsTo("CreateFileW"), ElementsAre(StartsWith("path= ")));
  EXPECT_THAT(run.CallsTo("SetupDiDestroyDeviceInfoList"), ElementsAre("set=0xD5E7"));
}

TEST(Lookup, APathOf260CharactersIsFoundAndOpened) {
  DeviceScript device = WorkingDevice();
  device.paths = {PathOfLength(260)};
  const ProgramRun run = RunProgram(device, {.input = "data"});

  EXPECT_THAT(run.err, HasSubstr("GetDevicePath() returned TRUE.\n"));
  EXPECT_THAT(run.CallsTo("WinUsb_Initialize"), ElementsAre("device=0x1234"));
  EXPECT_EQ(run.received, "data");
}

TEST(Lookup, APathThatHadToBeCutIsNotFoundAndNothingIsOpened) {
  DeviceScript device = WorkingDevice();
  // A device whose name is the cut one must not be opened in its place.
  device.paths = {PathOfLength(261), PathOfLength(260)};
  const ProgramRun run = RunProgram(device, {.input = "data"});

  EXPECT_THAT(run.err, HasSubstr(Diagnostic("GetDevicePath() returned FALSE.\n")));
  EXPECT_THAT(run.CallsTo("CreateFileW"), ElementsAre(StartsWith("path= ")));
  EXPECT_THAT(run.out, HasSubstr("OpenDevice() returned: 0xFFFFFFFF\n"
                                 "WinUsb_Initialize() returned FALSE.\n"));
  EXPECT_EQ(run.received, "");
  EXPECT_EQ(run.exitStatus, 0);
}

} // namespace
