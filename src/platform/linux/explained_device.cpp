// SPDX-License-Identifier: MIT
#include "explained_device.h"

namespace pelmora::linux_platform {

const Buffer *AnswerTo(const ExplainedDevice &device, std::uint8_t requestType, std::uint16_t value,
                       std::uint16_t index) {
  const Buffer *found = nullptr;
  for (const Exchange &exchange : device.exchanges) {
    const usb::ControlRequest &request = exchange.request;
    if (exchange.answer.outcome == Outcome::Answered && request.requestType == requestType &&
        request.value == value && request.index == index) {
      found = &exchange.answer.bytes;
    }
  }
  return found;
}

std::string PortPathText(const DeviceRecord &record) {
  std::string text = std::to_string(record.bus);
  for (std::size_t i = 0; i < record.ports.size(); ++i) {
    text += i == 0 ? '-' : '.';
    text += std::to_string(record.ports[i]);
  }
  return text;
}

} // namespace pelmora::linux_platform
