// SPDX-License-Identifier: MIT
// The real program, run as a child against the emulated bus: every flow in
// both modes, with the exact texts it prints.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "emulated_usb_test.h"
#include "preloaded_run.h"

namespace {

using pelmora::emulated::Completion;
using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;
using pelmora::emulated::OsDescriptors;
using pelmora::emulated::Speed;
using pelmora::emulated::TransferRecord;

constexpr std::uint8_t BULK_OUT = 0x01;
constexpr std::uint8_t BULK_IN = 0x81;

using Program = EmulatedUsbTest;

ChildRun RunProgram(const std::vector<std::string> &arguments, const std::string &input) {
  return RunPreloaded(PELMORA_PROGRAM, arguments, input);
}

std::string Diagnostic(const std::string &message) { return message + ": " + NoErrorText() + "\n"; }

std::string LookupDiagnostics(bool found) {
  return Diagnostic("GetDevicePath.\n") + Diagnostic(found ? "GetDevicePath() returned TRUE.\n"
                                                           : "GetDevicePath() returned FALSE.\n");
}

const std::string PREAMBLE = "pelmora WinUSB test application.\n"
                             "DeviceInterface GUID to search for: "
                             "98-D7-20-61-92-D1-63-44-B0-DE-2B-65-ED-2F-48-70-\n";

const std::string SESSION_TRUE = "WinUsb_Initialize() returned TRUE.\n"
                                 "WinUsb_QueryDeviceInformation() returned TRUE.\n"
                                 "WinUsb_QueryInterfaceSettings() returned TRUE.\n";

// The verbose output with the open line's descriptor value replaced by FD,
// when it is one (a small number, not the invalid handle's 0xFFFFFFFF).
std::string WithoutDescriptor(std::string out) {
  const std::string prefix = "OpenDevice() returned: 0x";
  const std::size_t at = out.find(prefix);
  if (at == std::string::npos || out.size() < at + prefix.size() + 9) {
    return out;
  }
  const std::string digits = out.substr(at + prefix.size(), 8);
  if (digits.find_first_not_of("0123456789ABCDEF") != std::string::npos ||
      std::stoul(digits, nullptr, 16) > 0xFFFF || out[at + prefix.size() + 8] != '\n') {
    return out;
  }
  return out.replace(at + prefix.size() - 2, 10, "FD");
}

std::string Pattern(std::size_t length) {
  std::string bytes;
  for (std::size_t i = 0; i < length; ++i) {
    bytes += static_cast<char>(i * 7 % 251);
  }
  return bytes;
}

std::vector<std::uint32_t> Lengths(const std::vector<TransferRecord> &log, std::uint8_t endpoint,
                                   bool asked) {
  std::vector<std::uint32_t> lengths;
  for (const TransferRecord &record : log) {
    if (record.endpoint == endpoint) {
      lengths.push_back(asked ? record.requested : record.actual);
    }
  }
  return lengths;
}

std::string Received(const pelmora::emulated::LoopbackDevice &device) {
  const auto bytes = device.Received();
  return std::string(bytes.begin(), bytes.end());
}

DeviceSpec FullSpeed() {
  DeviceSpec spec;
  spec.speed = Speed::Full;
  spec.bulkPacketSize = 64;
  return spec;
}

TEST_F(Program, VerboseRunSendsStandardInputAndReportsEveryStep) {
  auto device = Plug();
  const ChildRun run = RunProgram({}, "0123456789");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(WithoutDescriptor(run.out), PREAMBLE + "OpenDevice() returned: FD\n" + SESSION_TRUE +
                                            "Attempting WinUsb_WritePipe() for 10 bytes.\n");
  EXPECT_EQ(run.err, LookupDiagnostics(true));
  EXPECT_EQ(Received(*device), "0123456789");
  EXPECT_TRUE(Lengths(device->Log(), BULK_IN, true).empty());
}

TEST_F(Program, QuietRunPrintsOnlyTheBytesReadBack) {
  auto device = Plug();
  const ChildRun run = RunProgram({"13"}, "hello, device");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "hello, device");
  EXPECT_EQ(run.err, LookupDiagnostics(true));
}

TEST_F(Program, QuietRunCarriesEveryByteValueUnchanged) {
  Plug();
  const std::string bytes = std::string("\0\n\x1A\r\xFF", 5) + Pattern(300);
  const ChildRun run = RunProgram({"305"}, bytes);
  EXPECT_EQ(run.out, bytes);
}

TEST_F(Program, FindsADeviceDescribedOnlyByMsOs10Descriptors) {
  DeviceSpec spec;
  spec.osDescriptors = OsDescriptors::MsOs10;
  Plug(spec);
  const ChildRun run = RunProgram({"5"}, "hello");
  EXPECT_EQ(run.out, "hello");
  EXPECT_EQ(run.err, LookupDiagnostics(true));
}

TEST_F(Program, ReportsNoDeviceWhenOnlyAnotherClassIsPresent) {
  DeviceSpec other;
  other.interfaceGuid = "{00000000-D192-4463-B0DE-2B65ED2F4870}";
  auto device = Plug(other);
  const ChildRun run = RunProgram({}, "unsent");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, PREAMBLE + "OpenDevice() returned: 0xFFFFFFFF\n"
                                "WinUsb_Initialize() returned FALSE.\n");
  EXPECT_EQ(run.err, LookupDiagnostics(false));
  EXPECT_TRUE(device->Log().empty());
}

TEST_F(Program, QuietRunWithoutADevicePrintsOnlyTheLookup) {
  const ChildRun run = RunProgram({"4"}, "data");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, LookupDiagnostics(false));
}

TEST_F(Program, UsesTheFirstOfTwoMatchingDevicesByBusAndPort) {
  auto later = Plug({}, {}, {1, 4, 2});
  auto first = Plug({}, {}, {1, 3, 7});
  const ChildRun run = RunProgram({"2"}, "hi");
  EXPECT_EQ(run.out, "hi");
  EXPECT_EQ(Received(*first), "hi");
  EXPECT_TRUE(later->Log().empty());
}

TEST_F(Program, SendsInputInChunksOfAtMost4096Bytes) {
  auto device = Plug();
  const ChildRun run = RunProgram({}, Pattern(5000));
  EXPECT_THAT(run.out, ::testing::EndsWith("Attempting WinUsb_WritePipe() for 4096 bytes.\n"
                                           "Attempting WinUsb_WritePipe() for 904 bytes.\n"));
  EXPECT_EQ(Lengths(device->Log(), BULK_OUT, true), (std::vector<std::uint32_t>{4096, 904}));
  EXPECT_EQ(Received(*device), Pattern(5000));
}

TEST_F(Program, EndsInputOfWholeChunksWithAnEmptyOne) {
  auto device = Plug();
  const ChildRun run = RunProgram({}, Pattern(4096));
  EXPECT_THAT(run.out, ::testing::EndsWith("Attempting WinUsb_WritePipe() for 4096 bytes.\n"
                                           "Attempting WinUsb_WritePipe() for 0 bytes.\n"));
  EXPECT_EQ(Lengths(device->Log(), BULK_OUT, true), std::vector<std::uint32_t>{4096});
}

TEST_F(Program, WritesTheRestOfAChunkAfterShortWrites) {
  Faults faults;
  faults.outTakeLimit = 512;
  auto device = Plug({}, faults);
  const ChildRun run = RunProgram({"4097"}, Pattern(4097));
  EXPECT_EQ(Lengths(device->Log(), BULK_OUT, true),
            (std::vector<std::uint32_t>{4096, 3584, 3072, 2560, 2048, 1536, 1024, 512, 1}));
  EXPECT_EQ(run.out, Pattern(4097));
}

TEST_F(Program, CountsReadsDownWhenTheDeviceSendsShortPackets) {
  Faults faults;
  faults.inPacketSize = 40;
  auto device = Plug(FullSpeed(), faults);
  const ChildRun run = RunProgram({"64"}, Pattern(64));
  EXPECT_EQ(run.out, Pattern(64));
  // Asked for 64, then 24 rounded up to a whole packet.
  EXPECT_EQ(Lengths(device->Log(), BULK_IN, true), (std::vector<std::uint32_t>{64, 64}));
  EXPECT_EQ(Lengths(device->Log(), BULK_IN, false), (std::vector<std::uint32_t>{40, 24}));
}

TEST_F(Program, ReadsTenBytesOutOfA64BytePacket) {
  auto device = Plug(FullSpeed());
  const ChildRun run = RunProgram({"10"}, Pattern(64));
  EXPECT_EQ(run.out, Pattern(10));
  EXPECT_EQ(run.err, LookupDiagnostics(true));
  EXPECT_EQ(Lengths(device->Log(), BULK_IN, false), std::vector<std::uint32_t>{64});
}

TEST_F(Program, ReadsMoreThanOneChunkInPiecesOfAtMost4096) {
  auto device = Plug();
  const ChildRun run = RunProgram({"5000"}, Pattern(5000));
  EXPECT_EQ(run.out, Pattern(5000));
  EXPECT_EQ(Lengths(device->Log(), BULK_IN, true), (std::vector<std::uint32_t>{4096, 1024}));
}

TEST_F(Program, ReportsAFailedWriteAndReadsNothing) {
  Faults faults;
  faults.stallTransfer = 1;
  auto device = Plug({}, faults);
  const ChildRun run = RunProgram({"4"}, "data");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, LookupDiagnostics(true) + Diagnostic("WinUsb_WritePipe() returned FALSE.\n"));
  EXPECT_TRUE(Lengths(device->Log(), BULK_IN, true).empty());
}

TEST_F(Program, ReportsAFailedReadAfterTheBytesAlreadyRead) {
  Faults faults;
  faults.stallWhenEmpty = true;
  Plug({}, faults);
  // A count of -1 reads until a read fails.
  const ChildRun run = RunProgram({"-1"}, "abc");
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_EQ(run.out, "abc");
  EXPECT_EQ(run.err, LookupDiagnostics(true) + Diagnostic("WinUsb_ReadPipe() returned FALSE.\n"));
}

TEST_F(Program, ReportsAReadFailingOnADeviceThatWasUnplugged) {
  Faults faults;
  faults.disconnectAfter = 1;
  Plug({}, faults);
  const ChildRun run = RunProgram({"3"}, "abc");
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, LookupDiagnostics(true) + Diagnostic("WinUsb_ReadPipe() returned FALSE.\n"));
}

TEST_F(Program, StopsAfterASpeedQueryThatFails) {
  DeviceSpec spec;
  spec.speed = Speed::Unknown;
  auto device = Plug(spec);
  const ChildRun run = RunProgram({}, "unsent");
  EXPECT_EQ(WithoutDescriptor(run.out), PREAMBLE +
                                            "OpenDevice() returned: FD\n"
                                            "WinUsb_Initialize() returned TRUE.\n"
                                            "WinUsb_QueryDeviceInformation() returned FALSE.\n");
  EXPECT_EQ(run.err, LookupDiagnostics(true));
  EXPECT_TRUE(device->Log().empty());
}

TEST_F(Program, StopsSilentlyAtAnIsochronousPipe) {
  DeviceSpec spec;
  spec.isochronousEndpoint = true;
  auto device = Plug(spec);
  const ChildRun run = RunProgram({}, "unsent");
  EXPECT_EQ(WithoutDescriptor(run.out), PREAMBLE + "OpenDevice() returned: FD\n" + SESSION_TRUE);
  EXPECT_EQ(run.err, LookupDiagnostics(true));
  EXPECT_TRUE(device->Log().empty());
}

TEST_F(Program, FailsTheBindingWhenAKernelDriverHoldsTheInterface) {
  Faults faults;
  faults.interfaceHeldByKernelDriver = true;
  auto device = Plug({}, faults);
  const ChildRun run = RunProgram({}, "unsent");
  EXPECT_EQ(WithoutDescriptor(run.out),
            PREAMBLE + "OpenDevice() returned: FD\nWinUsb_Initialize() returned FALSE.\n");
  EXPECT_EQ(run.err, LookupDiagnostics(true));
  EXPECT_TRUE(device->Log().empty());
}

} // namespace
