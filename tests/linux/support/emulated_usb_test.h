// SPDX-License-Identifier: MIT
// A test on its own emulated USB bus: devices are plugged in per test, and
// libusb and every open descriptor are released before the bus goes away.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emulated_bus.h"
#include "loopback_device.h"
#include "platform.h"

class EmulatedUsbTest : public ::testing::Test {
protected:
  void TearDown() override;

  std::shared_ptr<pelmora::emulated::LoopbackDevice>
  Plug(pelmora::emulated::DeviceSpec spec = {}, pelmora::emulated::Faults faults = {},
       pelmora::emulated::Placement placement = {});

  // The device paths the enumeration offers, in its order.
  std::vector<std::wstring> EnumeratedPaths();

  // Opens a path as the program does; the descriptor is closed at the end.
  HANDLE Open(const std::wstring &path);

  // Opens the first enumerated device and binds it; nullptr on failure.
  WINUSB_INTERFACE_HANDLE Bind();

  pelmora::emulated::EmulatedBus bus_;

private:
  std::vector<int> descriptors_;
};

// The C library's text for errno 0, as diagnostics show it.
std::string NoErrorText();
