// SPDX-License-Identifier: MIT
// Binding the first interface of the function that declares the class and
// driving its pipes with WinUSB's semantics.
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "host_backlog.h"

#include "emulated_usb_test.h"

namespace {

using pelmora::emulated::Completion;
using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;
using pelmora::emulated::OsDescriptors;
using pelmora::emulated::Speed;
using pelmora::emulated::TransferRecord;

constexpr UCHAR BULK_OUT = 0x01;
constexpr UCHAR BULK_IN = 0x81;
constexpr UCHAR INTERRUPT_IN = 0x83;

using Binding = EmulatedUsbTest;
using Pipes = EmulatedUsbTest;

DeviceSpec FullSpeed() {
  DeviceSpec spec;
  spec.speed = Speed::Full;
  spec.bulkPacketSize = 64;
  return spec;
}

bool Write(WINUSB_INTERFACE_HANDLE handle, const std::string &bytes, ULONG *taken = nullptr) {
  ULONG transferred = 0;
  std::string copy = bytes;
  const BOOL ok = WinUsb_WritePipe(handle, BULK_OUT, reinterpret_cast<PUCHAR>(copy.data()),
                                   static_cast<ULONG>(copy.size()), &transferred, nullptr);
  if (taken != nullptr) {
    *taken = transferred;
  }
  return ok;
}

// The bytes a read delivered, or "FALSE" when it failed.
std::string Read(WINUSB_INTERFACE_HANDLE handle, ULONG length, UCHAR pipe = BULK_IN) {
  std::string buffer(length, '\0');
  ULONG transferred = 0;
  if (!WinUsb_ReadPipe(handle, pipe, reinterpret_cast<PUCHAR>(buffer.data()), length, &transferred,
                       nullptr)) {
    return "FALSE";
  }
  return buffer.substr(0, transferred);
}

std::vector<std::uint32_t> Asked(const std::vector<TransferRecord> &log, std::uint8_t endpoint) {
  std::vector<std::uint32_t> lengths;
  for (const TransferRecord &record : log) {
    if (record.endpoint == endpoint) {
      lengths.push_back(record.requested);
    }
  }
  return lengths;
}

std::string Pattern(std::size_t length) {
  std::string bytes;
  for (std::size_t i = 0; i < length; ++i) {
    bytes += static_cast<char>('a' + i % 26);
  }
  return bytes;
}

TEST_F(Binding, BindsInterfaceZeroOfTheOpenedDevice) {
  Plug();
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  USB_INTERFACE_DESCRIPTOR descriptor{};
  ASSERT_TRUE(WinUsb_QueryInterfaceSettings(handle, 0, &descriptor));
  EXPECT_EQ(descriptor.bLength, 9);
  EXPECT_EQ(descriptor.bDescriptorType, 4);
  EXPECT_EQ(descriptor.bInterfaceNumber, 0);
  EXPECT_EQ(descriptor.bAlternateSetting, 0);
  EXPECT_EQ(descriptor.bNumEndpoints, 3);
  EXPECT_EQ(descriptor.bInterfaceClass, 0xFF);
  EXPECT_FALSE(WinUsb_QueryInterfaceSettings(handle, 1, &descriptor));
}

TEST_F(Binding, FindsInterfaceZeroAndItsSettingsByNumberNotByPosition) {
  DeviceSpec spec;
  spec.interfacesOutOfOrder = true;
  Plug(spec);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  USB_INTERFACE_DESCRIPTOR descriptor{};
  ASSERT_TRUE(WinUsb_QueryInterfaceSettings(handle, 0, &descriptor));
  EXPECT_EQ(descriptor.bInterfaceNumber, 0);
  EXPECT_EQ(descriptor.bAlternateSetting, 0);
  ASSERT_TRUE(WinUsb_QueryInterfaceSettings(handle, 1, &descriptor));
  EXPECT_EQ(descriptor.bAlternateSetting, 1);
  WINUSB_PIPE_INFORMATION pipe{};
  ASSERT_TRUE(WinUsb_QueryPipe(handle, 0, 1, &pipe));
  EXPECT_EQ(pipe.PipeId, BULK_IN);
  EXPECT_TRUE(Write(handle, "ping"));
  EXPECT_EQ(Read(handle, 4), "ping");
}

TEST_F(Binding, FailsWhenAKernelDriverHoldsTheInterfaceAndLeavesItThere) {
  Faults held;
  held.interfaceHeldByKernelDriver = true;
  auto device = Plug({}, held);
  EXPECT_EQ(Bind(), nullptr);
  // Still held: nothing detached the driver, so a second try fails the same way.
  EXPECT_EQ(Bind(), nullptr);
}

class CompositeBinding : public EmulatedUsbTest,
                         public ::testing::WithParamInterface<OsDescriptors> {};

// The loopback function follows a CDC-ACM-like one: its interface 2 is bound
// and carries the data, and interfaces 0 and 1 are neither claimed nor used.
TEST_P(CompositeBinding, BindsTheFunctionAtInterfaceTwoAndLeavesTheOthersAlone) {
  DeviceSpec spec;
  spec.composite = true;
  spec.osDescriptors = GetParam();
  auto device = Plug(spec);
  ASSERT_EQ(EnumeratedPaths(), std::vector<std::wstring>{L"/dev/bus/usb/001/002:2"});
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  USB_INTERFACE_DESCRIPTOR descriptor{};
  ASSERT_TRUE(WinUsb_QueryInterfaceSettings(handle, 0, &descriptor));
  EXPECT_EQ(descriptor.bInterfaceNumber, 2);
  WINUSB_PIPE_INFORMATION pipe{};
  ASSERT_TRUE(WinUsb_QueryPipe(handle, 0, 1, &pipe));
  EXPECT_EQ(pipe.PipeId, BULK_IN);
  EXPECT_TRUE(Write(handle, Pattern(1000)));
  EXPECT_EQ(Read(handle, 1000), Pattern(1000));
  const pelmora::emulated::Traffic traffic = device->TrafficSoFar();
  EXPECT_EQ(traffic.claimedInterfaces, 1u << 2);
  EXPECT_GT(traffic.TransfersOf(BULK_OUT), 0u);
  for (const std::uint8_t other : {0x02, 0x82, 0x84}) {
    EXPECT_EQ(traffic.TransfersOf(other), 0u) << int{other};
  }
}

INSTANTIATE_TEST_SUITE_P(MsOs20AndMsOs10, CompositeBinding,
                         ::testing::Values(OsDescriptors::MsOs20, OsDescriptors::MsOs10));

TEST_F(Binding, ClaimsTheInterfaceThePathNamesAndRefusesAMalformedNumber) {
  Plug();
  EXPECT_EQ(Open(L"/dev/bus/usb/001/002:256"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(L"/dev/bus/usb/001/002:x"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(Open(L"/dev/bus/usb/001/002:"), INVALID_HANDLE_VALUE);
  WINUSB_INTERFACE_HANDLE handle = nullptr;
  EXPECT_FALSE(WinUsb_Initialize(Open(L"/dev/bus/usb/001/002:1"), &handle)); // no interface 1
  EXPECT_TRUE(WinUsb_Initialize(Open(L"/dev/bus/usb/001/002"), &handle));    // interface 0
}

TEST_F(Binding, FailsForAnInvalidHandleOrAFileThatIsNoUsbDevice) {
  WINUSB_INTERFACE_HANDLE handle = nullptr;
  EXPECT_FALSE(WinUsb_Initialize(INVALID_HANDLE_VALUE, &handle));
  EXPECT_FALSE(WinUsb_Initialize(Open(L"/dev/null"), &handle));
  EXPECT_EQ(handle, nullptr);
}

TEST_F(Binding, RefusesQueriesOnHandlesItDidNotHandOut) {
  int notAHandle = 0;
  UCHAR speed = 0;
  ULONG length = 1;
  USB_INTERFACE_DESCRIPTOR descriptor{};
  WINUSB_PIPE_INFORMATION pipe{};
  EXPECT_FALSE(WinUsb_QueryDeviceInformation(&notAHandle, DEVICE_SPEED, &length, &speed));
  EXPECT_FALSE(WinUsb_QueryInterfaceSettings(&notAHandle, 0, &descriptor));
  EXPECT_FALSE(WinUsb_QueryPipe(nullptr, 0, 0, &pipe));
  EXPECT_EQ(Read(&notAHandle, 4), "FALSE");
}

class SpeedCode : public EmulatedUsbTest,
                  public ::testing::WithParamInterface<std::pair<Speed, UCHAR>> {};

TEST_P(SpeedCode, IsOneForLowTwoForFullThreeForHighAndFaster) {
  DeviceSpec spec;
  spec.speed = GetParam().first;
  Plug(spec);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  UCHAR speed = 0;
  ULONG length = 1;
  ASSERT_TRUE(WinUsb_QueryDeviceInformation(handle, DEVICE_SPEED, &length, &speed));
  EXPECT_EQ(speed, GetParam().second);
  EXPECT_EQ(length, 1u);
  length = 0;
  EXPECT_FALSE(WinUsb_QueryDeviceInformation(handle, DEVICE_SPEED, &length, &speed));
  length = 1;
  EXPECT_FALSE(WinUsb_QueryDeviceInformation(handle, 2, &length, &speed));
}

INSTANTIATE_TEST_SUITE_P(Speeds, SpeedCode,
                         ::testing::Values(std::pair{Speed::Low, UCHAR{1}},
                                           std::pair{Speed::Full, UCHAR{2}},
                                           std::pair{Speed::High, UCHAR{3}},
                                           std::pair{Speed::Super, UCHAR{3}}));

TEST_F(Binding, FailsTheSpeedQueryWhenTheSpeedIsUnknown) {
  DeviceSpec spec;
  spec.speed = Speed::Unknown;
  Plug(spec);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  UCHAR speed = 0;
  ULONG length = 1;
  EXPECT_FALSE(WinUsb_QueryDeviceInformation(handle, DEVICE_SPEED, &length, &speed));
}

TEST_F(Pipes, ReportAnIsochronousEndpointByItsType) {
  DeviceSpec spec;
  spec.isochronousEndpoint = true;
  Plug(spec);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  WINUSB_PIPE_INFORMATION pipe{};
  ASSERT_TRUE(WinUsb_QueryPipe(handle, 0, 3, &pipe));
  EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
  EXPECT_EQ(pipe.PipeId, 0x84);
  UCHAR byte = 0;
  ULONG transferred = 0;
  EXPECT_FALSE(WinUsb_ReadPipe(handle, 0x84, &byte, 1, &transferred, nullptr));
}

TEST_F(Pipes, AreTheEndpointsOfAlternateSettingZeroInDescriptorOrder) {
  Plug();
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  WINUSB_PIPE_INFORMATION pipe{};
  ASSERT_TRUE(WinUsb_QueryPipe(handle, 0, 0, &pipe));
  EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(pipe.PipeId, BULK_OUT);
  EXPECT_EQ(pipe.MaximumPacketSize, 512);
  ASSERT_TRUE(WinUsb_QueryPipe(handle, 0, 1, &pipe));
  EXPECT_EQ(pipe.PipeType, UsbdPipeTypeBulk);
  EXPECT_EQ(pipe.PipeId, BULK_IN);
  ASSERT_TRUE(WinUsb_QueryPipe(handle, 0, 2, &pipe));
  EXPECT_EQ(pipe.PipeType, UsbdPipeTypeInterrupt);
  EXPECT_EQ(pipe.PipeId, INTERRUPT_IN);
  EXPECT_EQ(pipe.MaximumPacketSize, 8);
  EXPECT_EQ(pipe.Interval, 4);
  EXPECT_FALSE(WinUsb_QueryPipe(handle, 0, 3, &pipe));
  EXPECT_FALSE(WinUsb_QueryPipe(handle, 1, 0, &pipe));
}

TEST_F(Pipes, CarryBytesOutAndBackInWholePackets) {
  auto device = Plug();
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  ULONG taken = 0;
  ASSERT_TRUE(Write(handle, "hello, device", &taken));
  EXPECT_EQ(taken, 13u);
  EXPECT_EQ(Read(handle, 13), "hello, device");
  EXPECT_EQ(Asked(device->Log(), BULK_IN), std::vector<std::uint32_t>{512});
}

TEST_F(Pipes, KeepTheRestOfAPacketForTheNextRead) {
  auto device = Plug(FullSpeed());
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  const std::string packet = Pattern(64);
  ASSERT_TRUE(Write(handle, packet));
  EXPECT_EQ(Read(handle, 10), packet.substr(0, 10));
  EXPECT_EQ(Read(handle, 100), packet.substr(10));
  // The second read was served from what the first one kept.
  EXPECT_EQ(Asked(device->Log(), BULK_IN), std::vector<std::uint32_t>{64});
}

TEST_F(Pipes, ReturnWhatOneTransferBroughtWhenTheDeviceSendsShortPackets) {
  Faults faults;
  faults.inPacketSize = 40;
  auto device = Plug(FullSpeed(), faults);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  const std::string bytes = Pattern(64);
  ASSERT_TRUE(Write(handle, bytes));
  EXPECT_EQ(Read(handle, 64), bytes.substr(0, 40));
  EXPECT_EQ(Read(handle, 24), bytes.substr(40));
  EXPECT_EQ(Asked(device->Log(), BULK_IN), (std::vector<std::uint32_t>{64, 64}));
}

TEST_F(Pipes, ReportHowMuchAShortOutCompletionTook) {
  Faults faults;
  faults.outTakeLimit = 5;
  auto device = Plug({}, faults);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  ULONG taken = 0;
  ASSERT_TRUE(Write(handle, "hello, device", &taken));
  EXPECT_EQ(taken, 5u);
  const auto received = device->Received();
  EXPECT_EQ(std::string(received.begin(), received.end()), "hello");
}

TEST_F(Pipes, FailOnAStallAndStayHaltedSinceNothingClearsIt) {
  Faults faults;
  faults.stallTransfer = 2;
  Plug({}, faults);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(Write(handle, "one"));
  EXPECT_EQ(Read(handle, 3), "FALSE");
  EXPECT_EQ(Read(handle, 3), "FALSE");
  EXPECT_TRUE(Write(handle, "two")); // only the stalled pipe is halted
}

TEST_F(Pipes, FailOnceTheDeviceIsGone) {
  Faults faults;
  faults.disconnectAfter = 1;
  Plug({}, faults);
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(Write(handle, "one"));
  EXPECT_EQ(Read(handle, 3), "FALSE");
  EXPECT_FALSE(Write(handle, "two"));
}

TEST_F(Pipes, ReadTheInterruptPipeWithAnInterruptTransfer) {
  auto device = Plug();
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  ASSERT_TRUE(Write(handle, "waiting"));
  // The device reports how many bytes wait, as 32 bits little-endian.
  EXPECT_EQ(Read(handle, 4, INTERRUPT_IN), std::string("\x07\0\0\0", 4));
  EXPECT_EQ(Asked(device->Log(), INTERRUPT_IN), std::vector<std::uint32_t>{8});
}

// A host that keeps submitting reads of an empty queue gets ENOMEM once the
// emulated device holds what its queue limit allows, each with its record's
// cost, as from usbfs past its memory limit.
TEST_F(Pipes, TheEmulatedDeviceRefusesUrbsPastWhatItHolds) {
  DeviceSpec spec;
  spec.queueLimit = 4096;
  Plug(spec);
  const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(Open(EnumeratedPaths().at(0))));
  constexpr std::size_t LENGTH = 1024;
  constexpr std::size_t COST = LENGTH + pelmora::emulated::HostBacklog::RECORD_COST;
  std::vector<usbdevfs_urb> urbs(16);
  std::vector<std::array<std::uint8_t, LENGTH>> buffers(urbs.size());
  std::size_t submitted = 0;
  int error = 0;
  for (; submitted < urbs.size(); ++submitted) {
    usbdevfs_urb &urb = urbs[submitted];
    urb.type = USBDEVFS_URB_TYPE_BULK;
    urb.endpoint = BULK_IN;
    urb.buffer = buffers[submitted].data();
    urb.buffer_length = LENGTH;
    if (ioctl(fd, USBDEVFS_SUBMITURB, &urb) != 0) {
      error = errno;
      break;
    }
  }
  EXPECT_EQ(submitted, (spec.queueLimit + COST - 1) / COST);
  EXPECT_EQ(error, ENOMEM);
  // Each one held is given back, and then there is room again.
  for (std::size_t i = 0; i < submitted; ++i) {
    EXPECT_EQ(ioctl(fd, USBDEVFS_DISCARDURB, &urbs[i]), 0);
    void *reaped = nullptr;
    EXPECT_EQ(ioctl(fd, USBDEVFS_REAPURBNDELAY, &reaped), 0);
  }
  EXPECT_EQ(ioctl(fd, USBDEVFS_SUBMITURB, &urbs[submitted]), 0);
  EXPECT_EQ(ioctl(fd, USBDEVFS_DISCARDURB, &urbs[submitted]), 0);
}

TEST_F(Pipes, RefuseTheWrongDirectionUnknownPipesAndOverlappedCalls) {
  Plug();
  WINUSB_INTERFACE_HANDLE handle = Bind();
  ASSERT_NE(handle, nullptr);
  UCHAR byte = 0;
  ULONG transferred = 0;
  EXPECT_FALSE(WinUsb_WritePipe(handle, BULK_IN, &byte, 1, &transferred, nullptr));
  EXPECT_FALSE(WinUsb_ReadPipe(handle, BULK_OUT, &byte, 1, &transferred, nullptr));
  EXPECT_FALSE(WinUsb_WritePipe(handle, 0x02, &byte, 1, &transferred, nullptr));
  EXPECT_FALSE(WinUsb_ReadPipe(handle, 0x82, &byte, 1, &transferred, nullptr));
  OVERLAPPED *overlapped = reinterpret_cast<OVERLAPPED *>(&byte);
  EXPECT_FALSE(WinUsb_WritePipe(handle, BULK_OUT, &byte, 1, &transferred, overlapped));
}

} // namespace
