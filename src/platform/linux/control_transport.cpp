// SPDX-License-Identifier: MIT
#include "control_transport.h"

#include <algorithm>

namespace pelmora::linux_platform {

Answer LiveTransport::ControlIn(const usb::ControlRequest &request,
                                std::chrono::milliseconds timeout) {
  Answer answer;
  answer.bytes.resize(request.length);
  const int received = libusb_control_transfer(
      handle_, request.requestType, request.request, request.value, request.index,
      answer.bytes.data(), request.length, static_cast<unsigned>(timeout.count()));
  if (received < 0) {
    answer.bytes.clear();
    answer.outcome = received == LIBUSB_ERROR_TIMEOUT ? Outcome::TimedOut
                     : received == LIBUSB_ERROR_PIPE  ? Outcome::Stalled
                                                      : Outcome::Failed;
    return answer;
  }
  answer.bytes.resize(static_cast<std::size_t>(received));
  answer.outcome = Outcome::Answered;
  return answer;
}

RecordedTransport::RecordedTransport(const std::vector<Exchange> &recorded) {
  for (const Exchange &exchange : recorded) {
    const usb::ControlRequest &r = exchange.request;
    answers_[{r.requestType, r.request, r.value, r.index}].answers.push_back(exchange.answer);
  }
}

Answer RecordedTransport::ControlIn(const usb::ControlRequest &request,
                                    std::chrono::milliseconds /*timeout*/) {
  const auto found =
      answers_.find({request.requestType, request.request, request.value, request.index});
  if (found == answers_.end()) {
    return {Outcome::Stalled, {}};
  }
  Answers &recorded = found->second;
  Answer answer = recorded.answers[std::min(recorded.next, recorded.answers.size() - 1)];
  recorded.next += 1;
  if (answer.bytes.size() > request.length) {
    answer.bytes.resize(request.length);
  }
  return answer;
}

} // namespace pelmora::linux_platform
