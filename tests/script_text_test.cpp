// SPDX-License-Identifier: MIT
// The text form of a device script, which the stand-in DLLs under Wine
// follow: every directive reaches the script, and a line the device cannot
// follow is refused by number rather than silently dropped.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "scripted_script_text.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

TEST(ScriptText, EveryDirectiveReachesTheScript) {
  DeviceScript script;
  std::string error;
  ASSERT_TRUE(ParseDeviceScript("# a comment, then a blank line\n"
                                "\n"
                                "path \\\\?\\Z:\\tmp\\device one\r\n"
                                "path second\n"
                                "detail-query-fails\n"
                                "initialize-fails\n"
                                "speed-query-fails\n"
                                "interface-query-fails\n"
                                "speed 0x2\n"
                                "pipe bulk 0x01\n"
                                "pipe interrupt 131 query-fails\n"
                                "pipe control 0\n"
                                "pipe isochronous 0x05\n"
                                "endpoint-count 7\n"
                                "max-bytes-per-write 512\n"
                                "write-takes 0 3 4096\n"
                                "failing-write 2\n"
                                "read 0d0A1a00\n"
                                "read\n"
                                "read-fails\n",
                                script, error))
      << error;
  EXPECT_THAT(script.paths, ElementsAre(L"\\\\?\\Z:\\tmp\\device one", L"second"));
  EXPECT_TRUE(script.detailQueryFails && script.initializeFails && script.speedQueryFails &&
              script.interfaceQueryFails);
  EXPECT_EQ(script.speed, 2);
  ASSERT_EQ(script.pipes.size(), 4u);
  EXPECT_EQ(script.pipes[0].type, UsbdPipeTypeBulk);
  EXPECT_EQ(script.pipes[0].id, 0x01);
  EXPECT_FALSE(script.pipes[0].queryFails);
  EXPECT_EQ(script.pipes[1].type, UsbdPipeTypeInterrupt);
  EXPECT_EQ(script.pipes[1].id, 0x83);
  EXPECT_TRUE(script.pipes[1].queryFails);
  EXPECT_EQ(script.pipes[2].type, UsbdPipeTypeControl);
  EXPECT_EQ(script.pipes[3].type, UsbdPipeTypeIsochronous);
  EXPECT_EQ(script.endpointCountOverride, 7);
  EXPECT_EQ(script.maxBytesPerWrite, 512u);
  EXPECT_THAT(script.writeTakes, ElementsAre(0u, 3u, 4096u));
  EXPECT_EQ(script.failingWrite, 2);
  ASSERT_EQ(script.reads.size(), 3u);
  EXPECT_TRUE(script.reads[0].ok);
  EXPECT_EQ(script.reads[0].data, std::string("\r\n\x1a\0", 4));
  EXPECT_TRUE(script.reads[1].ok);
  EXPECT_EQ(script.reads[1].data, "");
  EXPECT_FALSE(script.reads[2].ok);
}

TEST(ScriptText, AnEmptyScriptIsADeviceThatIsAbsent) {
  DeviceScript script;
  std::string error;
  ASSERT_TRUE(ParseDeviceScript("", script, error));
  EXPECT_TRUE(script.paths.empty());
  EXPECT_TRUE(script.reads.empty());
}

TEST(ScriptText, ALineTheDeviceCannotFollowIsRefusedByNumber) {
  for (const std::string bad :
       {"pipe bulky 0x01", "pipe bulk", "pipe bulk 0x100", "pipe bulk 0x01 sometimes", "speed 256",
        "speed -1", "endpoint-count 1x", "write-takes", "write-takes 1 -2", "failing-write",
        "read 0g", "read abc", "read 00 11", "path", "path caf\xc3\xa9", "initialize-fails now",
        "frobnicate"}) {
    DeviceScript script;
    std::string error;
    EXPECT_FALSE(ParseDeviceScript("speed 1\n" + bad + "\nspeed 2\n", script, error)) << bad;
    EXPECT_THAT(error, HasSubstr("line 2 (" + bad + ")")) << bad;
  }
}

} // namespace
