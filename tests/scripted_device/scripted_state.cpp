// SPDX-License-Identifier: MIT
#include "scripted_device.h"

DeviceScript &Script() {
  static DeviceScript script;
  return script;
}

std::vector<std::string> &CallLog() {
  static std::vector<std::string> log;
  return log;
}

std::string &ReceivedBytes() {
  static std::string bytes;
  return bytes;
}

int &OpenDeviceSets() {
  static int count = 0;
  return count;
}

DeviceScript WorkingDevice() {
  DeviceScript script;
  script.paths = {L"\\\\?\\usb#vid_1209&pid_0001#pelmora#{6120d798-d192-4463-b0de-2b65ed2f4870}"};
  script.pipes = {
      {UsbdPipeTypeBulk, 0x01}, {UsbdPipeTypeBulk, 0x81}, {UsbdPipeTypeInterrupt, 0x83}};
  return script;
}
