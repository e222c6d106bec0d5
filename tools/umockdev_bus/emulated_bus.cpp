// SPDX-License-Identifier: MIT
#include "emulated_bus.h"

#include <umockdev.h>

#include <cstdio>
#include <stdexcept>

#include "usbfs_handler.h"

namespace pelmora::emulated {

namespace {

// umockdev reads node contents and binary attributes as upper-case hex.
std::string Hex(const ByteVector &bytes) {
  std::string text;
  char digits[3];
  for (const std::uint8_t byte : bytes) {
    (void)std::snprintf(digits, sizeof digits, "%02X", byte);
    text += digits;
  }
  return text;
}

const char *SysfsSpeed(Speed speed) {
  switch (speed) {
  case Speed::Low:
    return "1.5";
  case Speed::Full:
    return "12";
  case Speed::High:
    return "480";
  case Speed::Super:
    return "5000";
  case Speed::Unknown:
    return "0";
  }
  return "480";
}

std::string Format(const char *format, unsigned a, unsigned b) {
  char text[64];
  (void)std::snprintf(text, sizeof text, format, a, b);
  return text;
}

} // namespace

EmulatedBus::EmulatedBus() : testbed_(umockdev_testbed_new()) {
  if (testbed_ == nullptr) {
    throw std::runtime_error("umockdev cannot make a testbed");
  }
}

// The testbed goes first, so no ioctl reaches a handler being destroyed.
EmulatedBus::~EmulatedBus() {
  g_object_unref(testbed_);
  handlers_.clear();
}

std::string EmulatedBus::RootDir() const {
  gchar *root = umockdev_testbed_get_root_dir(testbed_);
  std::string text = root;
  g_free(root);
  return text;
}

std::string EmulatedBus::Add(std::shared_ptr<LoopbackDevice> device, Placement placement) {
  const DeviceSpec &spec = device->Spec();
  const std::string node = Format("bus/usb/%03u/%03u", placement.bus, placement.address);
  const std::string name = Format("%u-%u", placement.bus, placement.port);
  const std::string descriptors = Hex(CachedDescriptors(spec));
  const std::string record =
      "P: /devices/pelmora/usb" + std::to_string(placement.bus) + "/" + name + "\n" + "N: " + node +
      "=" + descriptors + "\n" + "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n" + "E: DEVNAME=/dev/" +
      node + "\n" + Format("E: BUSNUM=%03u\nE: DEVNUM=%03u\n", placement.bus, placement.address) +
      Format("A: busnum=%u\nA: devnum=%u\n", placement.bus, placement.address) +
      "A: speed=" + SysfsSpeed(spec.speed) + "\n" +
      Format("A: idVendor=%04x\nA: idProduct=%04x\n", spec.vendorId, spec.productId) +
      "A: bConfigurationValue=" + std::to_string(CONFIGURATION_VALUE) + "\n" +
      "A: bNumConfigurations=1\n" + "H: descriptors=" + descriptors + "\n";
  GError *error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("umockdev cannot add the device: " + message);
  }
  auto handler = std::make_unique<UsbfsHandler>(std::move(device), placement.address);
  std::string path = "/dev/" + node;
  if (!umockdev_testbed_attach_ioctl(testbed_, path.c_str(), handler->Base(), &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    g_clear_error(&error);
    throw std::runtime_error("umockdev cannot attach the device: " + message);
  }
  handlers_.push_back(std::move(handler));
  return path;
}

} // namespace pelmora::emulated
