// SPDX-License-Identifier: MIT
// The parsers of what a device sends: well-formed descriptors are read as
// Windows reads them, malformed ones are refused or cut short, never read
// past their end.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bos_descriptor.h"
#include "descriptors.h"
#include "dump.h"
#include "ms_os_10_descriptors.h"
#include "ms_os_20_descriptor_set.h"
#include "registry_property.h"

namespace {

using pelmora::emulated::ByteVector;
using pelmora::emulated::DeviceSpec;
using pelmora::emulated::GuidScope;
using pelmora::emulated::OsDescriptors;
using namespace pelmora::usb;

const GuidText CLASS_GUID{"6120D798-D192-4463-B0DE-2B65ED2F4870"};

ByteVector Utf16(const std::string &text) {
  ByteVector bytes;
  for (const char c : text) {
    bytes.push_back(static_cast<std::uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

RegistryProperty Property(std::uint32_t type, const ByteVector &name, const ByteVector &data) {
  return RegistryProperty{type, name, data};
}

bool Declares(std::uint32_t type, const std::string &name, const std::string &value) {
  const ByteVector nameBytes = Utf16(name);
  const ByteVector valueBytes = Utf16(value);
  return DeclaresInterfaceGuid({Property(type, nameBytes, valueBytes)}, CLASS_GUID);
}

// The first interface of the function that the set says declares the class.
std::optional<std::uint8_t> DeclaringFunction(const ByteVector &set, std::uint8_t activeIndex = 0) {
  return FirstFunctionDeclaring(MsOs20Functions(set, activeIndex, 0), CLASS_GUID);
}

std::size_t PropertyCount(const ByteVector &set) {
  std::size_t count = 0;
  for (const FunctionProperties &function : MsOs20Functions(set, 0, 0)) {
    count += function.properties.size();
  }
  return count;
}

TEST(InterfaceGuidProperty, MatchesEitherNameWithItsOwnType) {
  const std::string guid = std::string("{6120D798-D192-4463-B0DE-2B65ED2F4870}") + '\0';
  EXPECT_TRUE(Declares(REG_MULTI_SZ_TYPE, std::string("DeviceInterfaceGUIDs") + '\0', guid + '\0'));
  EXPECT_TRUE(Declares(REG_SZ_TYPE, std::string("DeviceInterfaceGUID") + '\0', guid));
  EXPECT_FALSE(Declares(REG_SZ_TYPE, "DeviceInterfaceGUIDs", guid));
  EXPECT_FALSE(Declares(REG_MULTI_SZ_TYPE, "DeviceInterfaceGUID", guid));
  EXPECT_FALSE(Declares(REG_SZ_TYPE, "DeviceInterfaceGUIDx", guid));
}

TEST(InterfaceGuidProperty, ComparesWithoutCaseWithOptionalBracesAndTrailingNuls) {
  EXPECT_TRUE(Declares(REG_SZ_TYPE, "deviceinterfaceguid", "6120d798-d192-4463-b0de-2b65ed2f4870"));
  EXPECT_TRUE(Declares(REG_SZ_TYPE, "DeviceInterfaceGUID",
                       std::string("{6120D798-D192-4463-B0DE-2B65ED2F4870}\0\0\0", 41)));
  EXPECT_FALSE(
      Declares(REG_SZ_TYPE, "DeviceInterfaceGUID", "{6120D798-D192-4463-B0DE-2B65ED2F4870"));
  EXPECT_FALSE(
      Declares(REG_SZ_TYPE, "DeviceInterfaceGUID", "{{6120D798-D192-4463-B0DE-2B65ED2F4870}}"));
  EXPECT_FALSE(
      Declares(REG_SZ_TYPE, "DeviceInterfaceGUID", " 6120D798-D192-4463-B0DE-2B65ED2F4870"));
  EXPECT_FALSE(
      Declares(REG_SZ_TYPE, "DeviceInterfaceGUID", "6120D798-D192-4463-B0DE-2B65ED2F4871"));
}

TEST(InterfaceGuidProperty, FindsTheGuidAmongSeveralStrings) {
  const std::string list = std::string("{00000000-0000-0000-0000-000000000000}") + '\0' +
                           "{6120D798-D192-4463-B0DE-2B65ED2F4870}" + '\0' + '\0';
  EXPECT_TRUE(Declares(REG_MULTI_SZ_TYPE, "DeviceInterfaceGUIDs", list));
  // A REG_SZ value ends at its first NUL.
  EXPECT_FALSE(Declares(REG_SZ_TYPE, "DeviceInterfaceGUID", list));
}

TEST(InterfaceGuidProperty, IgnoresAnOddLastByte) {
  ByteVector value = Utf16("6120D798-D192-4463-B0DE-2B65ED2F4870");
  value.push_back('x');
  const ByteVector name = Utf16("DeviceInterfaceGUID");
  EXPECT_TRUE(DeclaresInterfaceGuid({Property(REG_SZ_TYPE, name, value)}, CLASS_GUID));
}

TEST(BosDescriptor, FindsTheMsOs20PlatformCapability) {
  const ByteVector bos = pelmora::emulated::BosDescriptor(DeviceSpec{});
  const auto set = FindMsOs20Set(bos);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->vendorCode, pelmora::emulated::MS_OS_20_VENDOR_CODE);
  EXPECT_EQ(set->totalLength, pelmora::emulated::MsOs20DescriptorSet(DeviceSpec{}).size());
}

TEST(BosDescriptor, HasNoSetWithoutTheCapability) {
  DeviceSpec spec;
  spec.osDescriptors = OsDescriptors::MsOs10;
  EXPECT_FALSE(FindMsOs20Set(pelmora::emulated::BosDescriptor(spec)));
  EXPECT_FALSE(FindMsOs20Set(ByteVector{}));
  EXPECT_FALSE(FindMsOs20Set(ByteVector{5, 0x02, 5, 0, 0})); // not a BOS
  EXPECT_FALSE(FindMsOs20Set(ByteVector{5, 0x0F, 0, 0, 0})); // wTotalLength 0
}

TEST(BosDescriptor, PicksTheEntryForTheNewestWindowsVersion) {
  ByteVector bos = {5, 0x0F, 0, 0, 1, 36, 0x10, 0x05, 0x00, 0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45,
                    0xC7, 0x4C, 0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F,
                    // Windows 10: length 0x40, code 0x31; Windows 8.1: length 0x30, code 0x30.
                    0x00, 0x00, 0x00, 0x0A, 0x40, 0x00, 0x31, 0x00, 0x00, 0x00, 0x03, 0x06, 0x30,
                    0x00, 0x30, 0x00};
  bos[2] = static_cast<std::uint8_t>(bos.size());
  const auto set = FindMsOs20Set(bos);
  ASSERT_TRUE(set);
  EXPECT_EQ(set->vendorCode, 0x31);
  EXPECT_EQ(set->totalLength, 0x40);
}

TEST(BosDescriptor, StopsAtACapabilityThatRunsPastTheEnd) {
  ByteVector bos = pelmora::emulated::BosDescriptor(DeviceSpec{});
  bos[5 + 7] = 200; // the platform capability claims more than there is
  EXPECT_FALSE(FindMsOs20Set(bos));
  ByteVector zeroLength = pelmora::emulated::BosDescriptor(DeviceSpec{});
  zeroLength[5] = 0; // a zero-length capability would loop forever
  EXPECT_FALSE(FindMsOs20Set(zeroLength));
}

TEST(BosDescriptor, ReadsNoMoreThanTheBytesGivenWhateverTheHeaderSays) {
  ByteVector bos = pelmora::emulated::BosDescriptor(DeviceSpec{});
  bos.resize(bos.size() - 4); // cut inside the set information
  bos[2] = 0xFF;
  EXPECT_FALSE(FindMsOs20Set(bos));
}

TEST(MsOs20DescriptorSet, GivesEachPropertyToItsFunctionInTheActiveConfiguration) {
  struct Row {
    const char *what;
    GuidScope scope;
    std::uint8_t subsetInterface;
    std::uint8_t configurationField;
    std::uint8_t activeIndex;
    std::optional<std::uint8_t> function;
  };
  const Row rows[] = {
      {"device scope", GuidScope::Device, 0, 0, 0, 0},
      {"function subset of interface 0", GuidScope::Function, 0, 0, 0, 0},
      {"function subset of interface 1", GuidScope::Function, 1, 0, 0, 1},
      {"function subset of interface 2", GuidScope::Function, 2, 0, 0, 2},
      {"configuration subset", GuidScope::Configuration, 0, 0, 0, 0},
      {"subset of another configuration", GuidScope::Function, 2, 1, 0, std::nullopt},
      {"that configuration active", GuidScope::Function, 2, 1, 1, 2},
      // The field holds an index: 1 is the configuration's own value, but the
      // index of none that is active.
      {"subset by configuration value", GuidScope::Configuration, 0, 1, 0, std::nullopt},
  };
  for (const Row &row : rows) {
    DeviceSpec spec;
    spec.scope = row.scope;
    spec.functionSubsetInterface = row.subsetInterface;
    spec.subsetConfigurationField = row.configurationField;
    EXPECT_EQ(DeclaringFunction(pelmora::emulated::MsOs20DescriptorSet(spec), row.activeIndex),
              row.function)
        << row.what;
  }
  // Device scope counts for the device's first interface, whatever its number.
  DeviceSpec device;
  device.scope = GuidScope::Device;
  EXPECT_EQ(FirstFunctionDeclaring(
                MsOs20Functions(pelmora::emulated::MsOs20DescriptorSet(device), 0, 3), CLASS_GUID),
            3);
}

TEST(MsOs20DescriptorSet, TakesTheFirstFunctionThatDeclaresTheGuid) {
  DeviceSpec composite;
  composite.composite = true;
  const ByteVector set = pelmora::emulated::MsOs20DescriptorSet(composite);
  EXPECT_EQ(DeclaringFunction(set), 2);
  const std::vector<FunctionProperties> functions = MsOs20Functions(set, 0, 0);
  std::vector<FunctionProperties> twice = {functions.back(), functions.back()};
  twice[0].firstInterface = 1;
  EXPECT_EQ(FirstFunctionDeclaring(twice, CLASS_GUID), 1);
}

TEST(MsOs20DescriptorSet, EndsTheWalkAtASubsetShorterThanItsHeader) {
  DeviceSpec spec;
  spec.scope = GuidScope::Function;
  // What follows a function subset that ends inside its header is not taken
  // for any function's.
  for (const std::uint8_t subsetLength : {0, 4}) {
    ByteVector set = pelmora::emulated::MsOs20DescriptorSet(spec);
    set[10 + 8 + 6] = subsetLength; // header, configuration subset, wSubsetLength
    EXPECT_FALSE(DeclaringFunction(set));
  }
}

TEST(MsOs20DescriptorSet, AppliesDeviceScopeAgainAfterASubsetEnds) {
  DeviceSpec other;
  other.scope = GuidScope::Function;
  other.functionSubsetInterface = 1;
  ByteVector set = pelmora::emulated::MsOs20DescriptorSet(other);
  // A device-scope property after the configuration subset.
  const ByteVector name = Utf16(std::string("DeviceInterfaceGUID") + '\0');
  const ByteVector value = Utf16(std::string("6120D798-D192-4463-B0DE-2B65ED2F4870") + '\0');
  const std::size_t length = 10 + name.size() + value.size();
  set.insert(set.end(), {static_cast<std::uint8_t>(length), 0, 0x04, 0, 1, 0,
                         static_cast<std::uint8_t>(name.size()), 0});
  set.insert(set.end(), name.begin(), name.end());
  set.insert(set.end(), {static_cast<std::uint8_t>(value.size()), 0});
  set.insert(set.end(), value.begin(), value.end());
  set[8] = static_cast<std::uint8_t>(set.size());
  set[9] = static_cast<std::uint8_t>(set.size() >> 8);
  EXPECT_EQ(DeclaringFunction(set), 0);
}

TEST(MsOs20DescriptorSet, RefusesAWrongHeader) {
  ByteVector set = pelmora::emulated::MsOs20DescriptorSet(DeviceSpec{});
  set[2] = 0x01;
  EXPECT_EQ(PropertyCount(set), 0u);
  EXPECT_EQ(PropertyCount(ByteVector{0x0A, 0x00}), 0u);
}

TEST(MsOs20DescriptorSet, DropsAPropertyWhoseLengthsRunPastItsDescriptor) {
  ByteVector set = pelmora::emulated::MsOs20DescriptorSet(DeviceSpec{});
  // Header (10) and compatible ID (20), then the property: its name length.
  set[10 + 20 + 6] = 0xF0;
  EXPECT_EQ(PropertyCount(set), 0u);
}

TEST(MsOs20DescriptorSet, EndsTheWalkAtADescriptorShorterThanItsHeader) {
  ByteVector set = pelmora::emulated::MsOs20DescriptorSet(DeviceSpec{});
  set[10] = 2; // the compatible ID's wLength
  set[11] = 0;
  EXPECT_EQ(PropertyCount(set), 0u);
}

TEST(MsOs20DescriptorSet, ReadsNoMoreThanTheBytesGivenWhateverTheTotalLengthSays) {
  ByteVector set = pelmora::emulated::MsOs20DescriptorSet(DeviceSpec{});
  set.resize(set.size() - 3);
  EXPECT_EQ(PropertyCount(set), 0u);
}

TEST(MsOs10Descriptors, ReadsTheVendorCodeOfTheOsString) {
  DeviceSpec spec;
  spec.osDescriptors = OsDescriptors::MsOs10;
  const auto osString = pelmora::emulated::StringDescriptor(spec, 0xEE);
  ASSERT_TRUE(osString);
  EXPECT_EQ(MsOs10VendorCode(*osString), pelmora::emulated::MS_OS_10_VENDOR_CODE);
  ByteVector wrongSignature = *osString;
  wrongSignature[2] = 'N';
  EXPECT_FALSE(MsOs10VendorCode(wrongSignature));
  EXPECT_FALSE(MsOs10VendorCode(ByteVector(osString->begin(), osString->end() - 2)));
}

TEST(MsOs10Descriptors, ReadsTheExtendedProperties) {
  DeviceSpec spec;
  spec.osDescriptors = OsDescriptors::MsOs10;
  const ByteVector properties = pelmora::emulated::MsOs10ExtendedProperties(spec);
  EXPECT_EQ(ExtendedPropertiesLength(properties), properties.size());
  const auto parsed = ParseExtendedProperties(properties);
  ASSERT_EQ(parsed.size(), 1u);
  EXPECT_EQ(parsed[0].type, REG_MULTI_SZ_TYPE);
  EXPECT_TRUE(DeclaresInterfaceGuid(parsed, CLASS_GUID));
}

TEST(MsOs10Descriptors, AsksForEachFunctionsPropertiesWithItsInterfaceInTheLowByte) {
  const ControlRequest compat = ExtendedCompatIdRequest(0x21, 16);
  EXPECT_EQ(std::vector<int>(
                {compat.requestType, compat.request, compat.value, compat.index, compat.length}),
            std::vector<int>({0xC0, 0x21, 0x0000, 4, 16}));
  const ControlRequest properties = ExtendedPropertiesRequest(0x21, 2, 10);
  EXPECT_EQ(std::vector<int>({properties.requestType, properties.request, properties.value,
                              properties.index, properties.length}),
            std::vector<int>({0xC1, 0x21, 0x0002, 5, 10}));
}

TEST(MsOs10Descriptors, NamesTheFunctionsOfTheExtendedCompatId) {
  DeviceSpec composite;
  composite.composite = true;
  composite.osDescriptors = OsDescriptors::MsOs10;
  const ByteVector good = pelmora::emulated::MsOs10ExtendedCompatId(composite);
  ByteVector countTooHigh = good;
  countTooHigh[8] = 3;
  ByteVector wrongIndex = good;
  wrongIndex[6] = 5;
  ByteVector lengthShort = good;
  lengthShort[0] = 16 + 24; // dwLength covers one section
  struct Row {
    const char *what;
    ByteVector descriptor;
    std::vector<std::uint8_t> functions;
  };
  const Row rows[] = {
      {"composite", good, {0, 2}},
      {"one interface", pelmora::emulated::MsOs10ExtendedCompatId(DeviceSpec{}), {0}},
      {"bCount past the end", countTooHigh, {0, 2}},
      {"cut inside a section", ByteVector(good.begin(), good.end() - 1), {0}},
      {"dwLength short of the bytes", lengthShort, {0}},
      {"not a compat ID", wrongIndex, {}},
      {"header only", ByteVector(good.begin(), good.begin() + 15), {}},
  };
  for (const Row &row : rows) {
    EXPECT_EQ(CompatIdFunctions(row.descriptor), row.functions) << row.what;
  }
  EXPECT_EQ(ExtendedCompatIdLength(good), good.size());
}

TEST(MsOs10Descriptors, RefusesOrCutsMalformedExtendedProperties) {
  DeviceSpec spec;
  spec.osDescriptors = OsDescriptors::MsOs10;
  const ByteVector good = pelmora::emulated::MsOs10ExtendedProperties(spec);

  ByteVector wrongIndex = good;
  wrongIndex[6] = 4; // a compatible ID descriptor
  EXPECT_FALSE(ExtendedPropertiesLength(wrongIndex));
  EXPECT_TRUE(ParseExtendedProperties(wrongIndex).empty());

  ByteVector sectionTooLong = good;
  sectionTooLong[10] = 0xFF; // dwSize past the end
  EXPECT_TRUE(ParseExtendedProperties(sectionTooLong).empty());

  ByteVector dataTooLong = good;
  dataTooLong[dataTooLong.size() - 80 - 4] = 0xFF; // dwPropertyDataLength
  EXPECT_TRUE(ParseExtendedProperties(dataTooLong).empty());

  ByteVector moreThanThere = good;
  moreThanThere[8] = 3; // wCount claims three sections
  EXPECT_EQ(ParseExtendedProperties(moreThanThere).size(), 1u);

  EXPECT_TRUE(ParseExtendedProperties(ByteVector(good.begin(), good.begin() + 9)).empty());
}

// The bytes of the worked example's code block with this name (in the guide
// to devices on Linux), each line up to its comment.
ByteVector WorkedExample(const std::string &name) {
  std::ifstream readme(PELMORA_WORKED_EXAMPLE);
  std::string line;
  while (std::getline(readme, line) && line != "<!-- example: " + name + " -->") {
  }
  ByteVector bytes;
  std::getline(readme, line); // the opening fence
  while (std::getline(readme, line) && line.rfind("```", 0) != 0) {
    std::istringstream words(line.substr(0, line.find('#')));
    std::string word;
    while (words >> word) {
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    }
  }
  return bytes;
}

// The answer a report dump holds to a vendor request with this wIndex.
ByteVector DumpAnswer(const std::string &name, std::uint8_t requestType, std::uint16_t index) {
  std::ifstream file(std::string(PELMORA_REPORT_DUMPS) + "/" + name + ".json");
  const std::string text(std::istreambuf_iterator<char>(file), {});
  std::string problem;
  const auto devices = pelmora::report::ReadDump(text, problem);
  if (!devices || devices->empty()) {
    return {};
  }
  for (const pelmora::linux_platform::Exchange &exchange : devices->front().exchanges) {
    if (exchange.request.requestType == requestType && exchange.request.index == index) {
      return exchange.answer.bytes;
    }
  }
  return {};
}

// Firmware authors copy the worked example: every length in it must be
// right, and the lookup must find its WinUSB function.
TEST(WorkedExample, IsACompositeDeviceWhoseWinUsbFunctionIsFound) {
  DeviceSpec composite;
  composite.composite = true;
  const ByteVector set = WorkedExample("ms-os-20-set");
  EXPECT_EQ(set, pelmora::emulated::MsOs20DescriptorSet(composite));
  ASSERT_EQ(set.size(), 178u);
  EXPECT_EQ(set[8] | set[9] << 8, 178);           // the set's wTotalLength
  EXPECT_EQ(set[10 + 6] | set[10 + 7] << 8, 168); // the configuration subset's
  EXPECT_EQ(set[18 + 6] | set[18 + 7] << 8, 160); // the function subset's
  EXPECT_EQ(DeclaringFunction(set), 2);

  ByteVector bos = {5, 0x0F, 0, 0, 1};
  const ByteVector capability = WorkedExample("ms-os-20-capability");
  bos.insert(bos.end(), capability.begin(), capability.end());
  bos[2] = static_cast<std::uint8_t>(bos.size());
  const auto location = FindMsOs20Set(bos);
  ASSERT_TRUE(location);
  EXPECT_EQ(location->totalLength, set.size());

  composite.osDescriptors = OsDescriptors::MsOs10;
  const ByteVector compatId = WorkedExample("ms-os-10-compat-id");
  EXPECT_EQ(compatId, pelmora::emulated::MsOs10ExtendedCompatId(composite));
  EXPECT_EQ(ExtendedCompatIdLength(compatId), compatId.size());
  EXPECT_EQ(CompatIdFunctions(compatId), std::vector<std::uint8_t>({0, 2}));
  const ByteVector properties = WorkedExample("ms-os-10-properties");
  EXPECT_EQ(properties, pelmora::emulated::MsOs10ExtendedProperties(composite));
  EXPECT_EQ(ExtendedPropertiesLength(properties), properties.size());
  EXPECT_TRUE(DeclaresInterfaceGuid(ParseExtendedProperties(properties), CLASS_GUID));

  // The report's dumps of this device hold the same bytes.
  EXPECT_EQ(DumpAnswer("worked-example", 0xC0, 7), set);
  EXPECT_EQ(DumpAnswer("worked-example-ms-os-1", 0xC0, 4), compatId);
  EXPECT_EQ(DumpAnswer("worked-example-ms-os-1", 0xC1, 5), properties);
}

} // namespace
