// SPDX-License-Identifier: MIT
// What an emulated loopback device is and which faults it shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pelmora::emulated {

// Unknown: the device reports no speed that usbfs knows.
enum class Speed { Low, Full, High, Super, Unknown };

// Which Microsoft OS descriptors declare the interface class.
enum class OsDescriptors { MsOs20, MsOs10, None };

// Where a Microsoft OS 2.0 set puts the class property. By shape: at device
// scope when the configuration has one interface, else in a function subset
// for the loopback's interface (what Windows asks of composite devices).
enum class GuidScope { ByShape, Device, Function, Configuration };

// How many bytes a loopback queue holds unless told otherwise.
inline constexpr std::uint32_t DEFAULT_QUEUE_LIMIT = 16 * 1024 * 1024;
// How many bytes a device tool's log file takes unless told otherwise.
inline constexpr std::uint32_t DEFAULT_LOG_LIMIT = 64 * 1024 * 1024;

struct DeviceSpec {
  std::uint16_t vendorId = 0x1209;
  std::uint16_t productId = 0x0001;
  Speed speed = Speed::High;
  OsDescriptors osDescriptors = OsDescriptors::MsOs20;
  std::string interfaceGuid = "{6120D798-D192-4463-B0DE-2B65ED2F4870}";
  // DeviceInterfaceGUIDs (REG_MULTI_SZ) or else DeviceInterfaceGUID (REG_SZ).
  bool multiStringProperty = true;
  GuidScope scope = GuidScope::ByShape;
  // The bFirstInterface of the function subset of GuidScope::Function.
  std::uint8_t functionSubsetInterface = 0;
  // What a configuration subset's bConfigurationValue field holds; it is read
  // as the index of the configuration (0 for the only one).
  std::uint8_t subsetConfigurationField = 0;
  // wMaxPacketSize of bulk OUT 0x01 and bulk IN 0x81, and of interrupt IN 0x83.
  std::uint16_t bulkPacketSize = 512;
  std::uint16_t interruptPacketSize = 8;
  // An isochronous IN endpoint 0x84 after the others in alternate setting 0.
  bool isochronousEndpoint = false;
  // bDeviceClass; 9 is a hub.
  std::uint8_t deviceClass = 0;
  // A CDC-ACM-like function (interfaces 0 and 1, joined by an interface
  // association) comes before the loopback, which is then interface 2;
  // bDeviceClass 0xEF/0x02/0x01.
  bool composite = false;
  // A second interface: the configuration lists interface 1 (bulk 0x02 and
  // 0x82) first, then interface 0's alternate setting 1 (no endpoints), then
  // its setting 0.
  bool interfacesOutOfOrder = false;
  // When not empty: the first interfaces of the functions that the Microsoft
  // OS descriptors name, in the order they list them, each declaring the
  // class, whether the configuration has that interface or not.
  std::vector<std::uint8_t> declaringFunctions;
  // Bytes of a further property after the class property in the Microsoft OS
  // descriptors, so that their set can run past what one request carries.
  std::uint32_t fillerLength = 0;
  // The BOS, the Microsoft OS 2.0 set and the Microsoft OS 1.0 properties
  // claim the largest length their headers can hold.
  bool overstatedLengths = false;
  // The most bytes the loopback queue holds; bulk OUT waits while it is full.
  std::uint32_t queueLimit = DEFAULT_QUEUE_LIMIT;
  // The most bytes the serving tool writes to its log file.
  std::uint32_t logLimit = DEFAULT_LOG_LIMIT;
};

struct Faults {
  // The 1-based number of the pipe transfer that stalls; 0 for none.
  std::uint32_t stallTransfer = 0;
  // An IN transfer that finds nothing queued stalls instead of waiting.
  bool stallWhenEmpty = false;
  // The most bytes one OUT completion takes.
  std::uint32_t outTakeLimit = UINT32_MAX;
  // The device is unplugged once this many pipe transfers completed; 0 never.
  std::uint32_t disconnectAfter = 0;
  // Bytes per IN packet the device sends; 0 for full packets. Fewer than the
  // endpoint's packet size make every packet short, ending the transfer.
  std::uint32_t inPacketSize = 0;
  // A kernel driver holds the loopback's interface: a claim of it fails.
  bool interfaceHeldByKernelDriver = false;
  // Control requests are never answered.
  bool silentControl = false;
  // Control requests are answered this many milliseconds late.
  std::uint32_t controlDelayMs = 0;
  // Every BOS read after the first reports a wTotalLength of 0.
  bool bosChangesAfterFirstRead = false;
  // Nonzero: the seed of random variation on top of the above. About one OUT
  // completion in four takes fewer bytes than it could, and about one IN
  // packet in eight is short (possibly empty), ending its transfer.
  std::uint32_t randomSeed = 0;
};

} // namespace pelmora::emulated
