// SPDX-License-Identifier: MIT
// Finding devices by the interface class their Microsoft OS descriptors
// declare, and the device-setup calls as the program makes them.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <map>
#include <memory>
#include <utility>

#include "device_discovery.h"
#include "device_report.h"
#include "emulated_usb_test.h"
#include "report_sources.h"
#include "run_state.h"

namespace {

using pelmora::emulated::DeviceSpec;
using pelmora::emulated::EmulatedBus;
using pelmora::emulated::Faults;
using pelmora::emulated::GuidScope;
using pelmora::emulated::OsDescriptors;

constexpr DWORD FLAGS = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;
const std::wstring FIRST_NODE = L"/dev/bus/usb/001/002:0";

using Discovery = EmulatedUsbTest;

DeviceSpec WithGuid(const std::string &guid) {
  DeviceSpec spec;
  spec.interfaceGuid = guid;
  return spec;
}

TEST_F(Discovery, FindsADeviceThroughItsMsOs20DescriptorSet) {
  Plug();
  EXPECT_EQ(EnumeratedPaths(), std::vector<std::wstring>{FIRST_NODE});
}

TEST_F(Discovery, FindsADeviceThroughItsMsOs10ExtendedProperties) {
  DeviceSpec spec;
  spec.osDescriptors = OsDescriptors::MsOs10;
  Plug(spec);
  EXPECT_EQ(EnumeratedPaths(), std::vector<std::wstring>{FIRST_NODE});
}

TEST_F(Discovery, IgnoresDevicesOfAnotherClassOrWithoutOsDescriptorsAndNeverAsksAHub) {
  Plug(WithGuid("{6120D798-D192-4463-B0DE-2B65ED2F4871}"), {}, {1, 1, 2});
  DeviceSpec none;
  none.osDescriptors = OsDescriptors::None;
  Plug(none, {}, {1, 2, 3});
  DeviceSpec hub;
  hub.deviceClass = 9;
  auto asked = Plug(hub, {}, {1, 3, 4});
  EXPECT_TRUE(EnumeratedPaths().empty());
  EXPECT_EQ(asked->ControlRequests(), 0u);
}

TEST_F(Discovery, FindsSetsLongerThanOneRequestCarriesAndHeadersThatOverstateTheirLength) {
  DeviceSpec long20;
  long20.fillerLength = 5000;
  DeviceSpec long10 = long20;
  long10.osDescriptors = OsDescriptors::MsOs10;
  DeviceSpec overstated20;
  overstated20.overstatedLengths = true;
  DeviceSpec overstated10 = overstated20;
  overstated10.osDescriptors = OsDescriptors::MsOs10;
  Plug(long20, {}, {1, 1, 2});
  Plug(long10, {}, {1, 2, 3});
  Plug(overstated20, {}, {1, 3, 4});
  Plug(overstated10, {}, {1, 4, 5});
  EXPECT_EQ(EnumeratedPaths().size(), 4u);
}

TEST_F(Discovery, AcceptsTheGuidWithoutBracesInAnyCaseAsASingleString) {
  DeviceSpec spec = WithGuid("6120d798-d192-4463-b0de-2b65ed2f4870");
  spec.multiStringProperty = false;
  Plug(spec);
  EXPECT_EQ(EnumeratedPaths().size(), 1u);
}

TEST_F(Discovery, NamesTheFunctionThatDeclaresTheClassButNoInterfaceTheDeviceLacks) {
  DeviceSpec composite20;
  composite20.composite = true;
  Plug(composite20, {}, {1, 1, 2});
  DeviceSpec composite10 = composite20;
  composite10.osDescriptors = OsDescriptors::MsOs10;
  Plug(composite10, {}, {1, 2, 3});
  DeviceSpec missing;
  missing.scope = GuidScope::Function;
  missing.functionSubsetInterface = 1;
  Plug(missing, {}, {1, 3, 4});
  // Named 2 before 0, both with the class: the lower interface wins.
  DeviceSpec backwards20 = composite20;
  backwards20.declaringFunctions = {2, 0};
  Plug(backwards20, {}, {1, 4, 5});
  DeviceSpec backwards10 = composite10;
  backwards10.declaringFunctions = {2, 0};
  Plug(backwards10, {}, {1, 5, 6});
  // A compat ID section, answered with the class, for an interface the
  // configuration lacks.
  DeviceSpec absent10;
  absent10.osDescriptors = OsDescriptors::MsOs10;
  absent10.declaringFunctions = {5};
  Plug(absent10, {}, {1, 6, 7});
  EXPECT_EQ(EnumeratedPaths(),
            (std::vector<std::wstring>{L"/dev/bus/usb/001/002:2", L"/dev/bus/usb/001/003:2",
                                       L"/dev/bus/usb/001/005:0", L"/dev/bus/usb/001/006:0"}));
}

TEST_F(Discovery, ReadsAConfigurationSubsetByTheIndexOfTheActiveConfiguration) {
  DeviceSpec byIndex;
  byIndex.scope = GuidScope::Configuration;
  byIndex.subsetConfigurationField = 0;
  Plug(byIndex, {}, {1, 1, 2});
  DeviceSpec byValue = byIndex;
  byValue.subsetConfigurationField = 1; // the configuration's value, not its index
  Plug(byValue, {}, {1, 2, 3});
  EXPECT_EQ(EnumeratedPaths(), std::vector<std::wstring>{L"/dev/bus/usb/001/002:0"});
}

TEST_F(Discovery, OrdersDevicesByBusNumberThenPortPath) {
  Plug({}, {}, {2, 1, 2});
  Plug({}, {}, {1, 3, 4});
  Plug({}, {}, {1, 2, 9});
  EXPECT_EQ(EnumeratedPaths(),
            (std::vector<std::wstring>{L"/dev/bus/usb/001/009:0", L"/dev/bus/usb/001/004:0",
                                       L"/dev/bus/usb/002/002:0"}));
}

TEST_F(Discovery, SkipsDevicesThatDoNotAnswerOrAnswerInconsistently) {
  auto unplugged = Plug({}, {}, {1, 1, 2});
  unplugged->Unplug();
  Faults silent;
  silent.silentControl = true;
  auto silentDevice = Plug({}, silent, {1, 2, 4});
  Faults changing;
  changing.bosChangesAfterFirstRead = true;
  Plug({}, changing, {1, 3, 5});
  // Answers, but later than a silent request is waited for.
  Faults tooLate;
  tooLate.controlDelayMs = 400;
  auto lateDevice = Plug({}, tooLate, {1, 4, 6});
  Plug({}, {}, {1, 5, 3});
  EXPECT_EQ(EnumeratedPaths(), std::vector<std::wstring>{L"/dev/bus/usb/001/003:0"});
  // Each given up at its first unanswered request.
  EXPECT_EQ(silentDevice->ControlRequests(), 1u);
  EXPECT_EQ(lateDevice->ControlRequests(), 1u);
}

TEST_F(Discovery, WaitsForADeviceThatAnswersUntilItsRequestsTogetherTakeTheDeviceBudget) {
  DeviceSpec composite10;
  composite10.composite = true;
  composite10.osDescriptors = OsDescriptors::MsOs10;
  Faults slow;
  slow.controlDelayMs = 40;
  Plug(composite10, slow, {1, 1, 2}); // 8 requests
  Faults slower;
  slower.controlDelayMs = 290;
  Plug({}, slower, {1, 2, 3}); // 3 requests
  // 8 requests of 290 ms each take more than the budget.
  auto slowest = Plug(composite10, slower, {1, 3, 4});
  EXPECT_EQ(EnumeratedPaths(),
            (std::vector<std::wstring>{L"/dev/bus/usb/001/002:2", L"/dev/bus/usb/001/003:0"}));
  EXPECT_LE(slowest->ControlRequests(), 7u);
}

TEST_F(Discovery, ProbesNoFurtherThanTheMembersAskedFor) {
  Plug({}, {}, {1, 1, 2});
  auto second = Plug({}, {}, {1, 2, 3});
  HDEVINFO set = SetupDiGetClassDevsW(&DeviceInterfaceGuid, nullptr, nullptr, FLAGS);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 0, &data));
  EXPECT_EQ(second->ControlRequests(), 0u);
  EXPECT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 1, &data));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 2, &data));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Discovery, AnswersTheSizeQueryWithFailureAndTheRequiredSize) {
  Plug();
  HDEVINFO set = SetupDiGetClassDevsW(&DeviceInterfaceGuid, nullptr, nullptr, FLAGS);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 0, &data));
  EXPECT_EQ(data.Flags, 1u); // active

  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 64, &required, nullptr));
  EXPECT_EQ(required, 0u);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
  const DWORD expected = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                         (FIRST_NODE.size() + 1) * sizeof(WCHAR);
  EXPECT_EQ(required, expected);

  std::vector<std::uint8_t> storage(required);
  auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(storage.data());
  detail->cbSize = required; // the allocated size is not the record's size
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
  EXPECT_FALSE(
      SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required - 1, nullptr, nullptr));
  EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::wstring(detail->DevicePath), FIRST_NODE);

  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 1, &data));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Discovery, GivesNoDetailWhenNothingWasEnumerated) {
  HDEVINFO set = SetupDiGetClassDevsW(&DeviceInterfaceGuid, nullptr, nullptr, FLAGS);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 0, &data));
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(required, 0u);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(Discovery, RefusesSetsItDidNotHandOutAndRecordsOfTheWrongSize) {
  Plug();
  EXPECT_EQ(SetupDiGetClassDevsW(&DeviceInterfaceGuid, nullptr, nullptr, DIGCF_PRESENT),
            INVALID_HANDLE_VALUE);
  int notASet = 0;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(&notASet, nullptr, &DeviceInterfaceGuid, 0, &data));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(INVALID_HANDLE_VALUE));

  HDEVINFO set = SetupDiGetClassDevsW(&DeviceInterfaceGuid, nullptr, nullptr, FLAGS);
  data.cbSize = sizeof data - 1;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &DeviceInterfaceGuid, 0, &data));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set)); // already destroyed
}

TEST(OpeningAPath, FailsForAnEmptyOrMissingPath) {
  const auto open = [](const wchar_t *path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 3, nullptr, OPEN_EXISTING, 0, nullptr);
  };
  EXPECT_EQ(open(L""), INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(L"/dev/bus/usb/255/255"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(open(L"/dev/nul\u00e9"), INVALID_HANDLE_VALUE);
}

TEST_F(Discovery, LeavesErrnoAsItFoundItOnSuccessAndOnFailure) {
  Plug();
  errno = EXDEV; // any value the caller had
  EXPECT_EQ(EnumeratedPaths().size(), 1u);
  EXPECT_EQ(errno, EXDEV);
  EXPECT_EQ(Open(L"/dev/bus/usb/009/009"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(errno, EXDEV);
  WINUSB_INTERFACE_HANDLE handle = nullptr;
  EXPECT_FALSE(WinUsb_Initialize(INVALID_HANDLE_VALUE, &handle));
  EXPECT_EQ(errno, EXDEV);
  errno = 0;
  EXPECT_NE(Bind(), nullptr);
  EXPECT_EQ(errno, 0);
}

// The report's verdict is the program's own: for every variant of the
// device, the report names the paths the program finds, in its order, and
// the interface each names is the one the program then claims.
TEST_F(Discovery, AgreesWithTheReportOnEveryVariantOfTheDevice) {
  std::vector<std::pair<DeviceSpec, Faults>> variants;
  const auto add = [&variants](auto change, Faults faults = {}) {
    DeviceSpec spec;
    change(spec);
    variants.emplace_back(spec, faults);
  };
  const auto same = [](DeviceSpec &) {};
  const auto composite10 = [](DeviceSpec &s) {
    s.composite = true;
    s.osDescriptors = OsDescriptors::MsOs10;
  };
  add(same);
  add([](DeviceSpec &s) { s.osDescriptors = OsDescriptors::MsOs10; });
  add([](DeviceSpec &s) { s.osDescriptors = OsDescriptors::None; });
  add([](DeviceSpec &s) { s.composite = true; });
  add(composite10);
  add([](DeviceSpec &s) { s.interfaceGuid = "{00000000-0000-0000-0000-000000000001}"; });
  add([](DeviceSpec &s) {
    s.interfaceGuid = "6120d798-d192-4463-b0de-2b65ed2f4870";
    s.multiStringProperty = false;
  });
  add([](DeviceSpec &s) { s.scope = GuidScope::Device; });
  add([](DeviceSpec &s) {
    s.scope = GuidScope::Function;
    s.functionSubsetInterface = 1;
  });
  add([](DeviceSpec &s) { s.scope = GuidScope::Configuration; });
  add([](DeviceSpec &s) {
    s.scope = GuidScope::Configuration;
    s.subsetConfigurationField = 1;
  });
  add([](DeviceSpec &s) { s.interfacesOutOfOrder = true; });
  add([](DeviceSpec &s) { s.isochronousEndpoint = true; });
  add([](DeviceSpec &s) { s.fillerLength = 5000; });
  add([](DeviceSpec &s) { s.overstatedLengths = true; });
  add([](DeviceSpec &s) {
    s.overstatedLengths = true;
    s.osDescriptors = OsDescriptors::MsOs10;
  });
  add([](DeviceSpec &s) {
    s.composite = true;
    s.declaringFunctions = {2, 0};
  });
  add([&composite10](DeviceSpec &s) {
    composite10(s);
    s.declaringFunctions = {2, 0};
  });
  add([](DeviceSpec &s) {
    s.osDescriptors = OsDescriptors::MsOs10;
    s.declaringFunctions = {5};
  });
  add([](DeviceSpec &s) { s.speed = pelmora::emulated::Speed::Full; });
  add([](DeviceSpec &s) { s.deviceClass = 9; });
  Faults silent;
  silent.silentControl = true;
  add(same, silent);
  Faults changing;
  changing.bosChangesAfterFirstRead = true;
  add(same, changing);
  Faults slow;
  slow.controlDelayMs = 40;
  add(composite10, slow);

  std::map<std::string, std::shared_ptr<pelmora::emulated::LoopbackDevice>> byNode;
  for (std::size_t i = 0; i < variants.size(); ++i) {
    const auto port = static_cast<std::uint8_t>(i + 1);
    const auto address = static_cast<std::uint8_t>(i + 2);
    byNode[pelmora::linux_platform::NodePath({1, address, {}, {}, {}, {}, {}})] =
        Plug(variants[i].first, variants[i].second, {1, port, address});
  }
  const pelmora::usb::GuidText guid = pelmora::linux_platform::GuidTextOf(DeviceInterfaceGuid);
  const auto present = pelmora::report::ExplainPresentDevices(std::nullopt, guid);
  ASSERT_TRUE(present);
  const pelmora::report::Report report = pelmora::report::BuildReport(*present, guid);
  std::vector<std::wstring> reported;
  for (const pelmora::report::DeviceReport &device : report.devices) {
    if (device.program.interface) {
      reported.emplace_back(device.program.path.begin(), device.program.path.end());
    }
  }
  ASSERT_TRUE(report.pick);
  EXPECT_EQ(*report.pick, 0u);
  const std::vector<std::wstring> found = EnumeratedPaths();
  ASSERT_EQ(reported, found);
  for (const std::wstring &path : found) {
    const std::string text(path.begin(), path.end());
    const auto colon = text.rfind(':');
    WINUSB_INTERFACE_HANDLE handle = nullptr;
    EXPECT_TRUE(WinUsb_Initialize(Open(path), &handle)) << text;
    EXPECT_EQ(byNode[text.substr(0, colon)]->TrafficSoFar().claimedInterfaces,
              1U << std::stoul(text.substr(colon + 1)))
        << text;
  }
}

} // namespace
