// SPDX-License-Identifier: MIT
#include "usbip_session.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <type_traits>

#include "log_line.h"
#include "take_first.h"

namespace pelmora::usbip {

namespace {

using emulated::Completion;

// URB statuses as the kernel's USB core reports them.
constexpr std::int32_t STALLED = -EPIPE;
constexpr std::int32_t BABBLE = -EOVERFLOW;
constexpr std::int32_t SHORT = -EREMOTEIO;
constexpr std::int32_t UNLINKED = -ECONNRESET;

const char *StatusName(std::int32_t status) {
  switch (status) {
  case 0:
    return "success";
  case STALLED:
    return "stall";
  case BABBLE:
    return "babble";
  case SHORT:
    return "short";
  default:
    return "error";
  }
}

std::int32_t UrbStatus(Completion completion) {
  switch (completion) {
  case Completion::Done:
    return 0;
  case Completion::Overflow:
    return BABBLE;
  default:
    return STALLED; // a stall, or an endpoint the device lacks
  }
}

// The waiting URB with this seqnum, taken out; nothing when none has it.
template <typename Waiting>
std::optional<typename Waiting::value_type> TakeBySeqnum(Waiting &waiting, std::uint32_t seqnum) {
  return emulated::TakeFirst(waiting, [seqnum](const auto &each) {
    if constexpr (std::is_integral_v<std::decay_t<decltype(each)>>) {
      return each == seqnum;
    } else {
      return each.seqnum == seqnum;
    }
  });
}

} // namespace

Session::~Session() {
  if (device_ != nullptr) {
    slot_.Release();
    Log("detach");
  }
}

void Session::Log(const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  emulated::LogLine(log_, format, arguments);
  va_end(arguments);
}

void Session::Fail(std::string problem) {
  if (failure_.empty()) {
    failure_ = std::move(problem);
  }
}

bool Session::Reading() const {
  // One waiting write never stops reading: the reads that make room for it
  // come after it.
  return failure_.empty() && !unplugged_ && output_.Size() < OUTPUT_LIMIT &&
         (backlog_.Transfers() <= 1 || backlog_.HasRoom());
}

void Session::Receive(Bytes input) {
  input_.insert(input_.end(), input.begin(), input.end());
  std::size_t used = 0;
  while (Reading()) {
    const Bytes pending = Bytes(input_).subspan(used);
    Framing framing = Framing::Incomplete;
    if (device_ == nullptr) {
      const Decoded<OpRequest> request = DecodeOpRequest(pending);
      framing = request.framing;
      if (framing == Framing::Invalid) {
        Fail(request.problem);
      } else if (framing == Framing::Complete) {
        OnOpRequest(request.message);
        used += request.size;
      }
    } else {
      const Decoded<UrbCommand> command = DecodeUrbCommand(pending);
      framing = command.framing;
      if (framing == Framing::Invalid) {
        Fail(command.problem);
      } else if (framing == Framing::Complete) {
        OnUrb(command.message);
        used += command.size;
      }
    }
    if (framing != Framing::Complete) {
      break;
    }
  }
  input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used));
}

void Session::OnOpRequest(const OpRequest &request) {
  if (request.code == OP_REQ_DEVLIST) {
    Log("devlist");
    const ByteVector reply = EncodeDevlistReply(slot_.Listing());
    output_.Push(reply);
    return;
  }
  std::uint32_t status = IMPORT_NO_DEVICE;
  if (request.busId == BUS_ID) {
    device_ = slot_.Import();
    status = device_ != nullptr ? IMPORT_OK : IMPORT_BUSY;
  }
  Log("import %s -> %s", request.busId.c_str(),
      status == IMPORT_OK     ? "attached"
      : status == IMPORT_BUSY ? "busy"
                              : "no such device");
  const ByteVector reply = EncodeImportReply(status, slot_.Listing());
  output_.Push(reply);
}

void Session::OnUrb(const UrbCommand &command) {
  if (command.devid != DEVICE_ID) {
    char problem[96];
    (void)std::snprintf(problem, sizeof problem, "a URB for device 0x%08x, not the imported 0x%08x",
                        command.devid, DEVICE_ID);
    Fail(problem);
  } else if (command.command == CMD_UNLINK) {
    OnUnlink(command);
  } else if (command.endpoint == 0) {
    OnControl(command);
  } else {
    OnPipe(command);
  }
}

void Session::Answer(std::uint32_t seqnum, std::int32_t status, std::uint32_t actual, Bytes in) {
  ByteVector header;
  AppendSubmitReply(header, seqnum, status, actual, {});
  output_.Push(header);
  output_.Push(in);
}

void Session::OnControl(const UrbCommand &command) {
  const std::array<std::uint8_t, 8> &s = command.setup;
  const emulated::SetupPacket setup{s[0], s[1], static_cast<std::uint16_t>(s[2] | s[3] << 8),
                                    static_cast<std::uint16_t>(s[4] | s[5] << 8),
                                    static_cast<std::uint16_t>(s[6] | s[7] << 8)};
  const bool in = command.direction == DIRECTION_IN;
  if (setup.length > command.length) {
    Fail("a setup packet asking for " + std::to_string(setup.length) + " bytes of a " +
         std::to_string(command.length) + "-byte transfer");
    return;
  }
  if (setup.length != 0 && ((setup.requestType & 0x80) != 0) != in) {
    Fail("a setup packet whose direction is not its transfer's");
    return;
  }
  emulated::TransferResult result = device_->Control(setup);
  if (result.status == Completion::NoDevice) {
    UnplugSoon();
    return;
  }
  if (result.status == Completion::Pending) {
    // Answered only when the client takes it back.
    unanswered_.push_back(command.seqnum);
    backlog_.Add(0);
    Log("control %02x %02x %04x %04x %u waits", setup.requestType, setup.request, setup.value,
        setup.index, setup.length);
    return;
  }
  const bool done = result.status == Completion::Done;
  const std::int32_t status = done ? 0 : STALLED;
  const auto actual = static_cast<std::uint32_t>(in ? result.data.size() : done ? setup.length : 0);
  Log("control %02x %02x %04x %04x %u -> %s %u", setup.requestType, setup.request, setup.value,
      setup.index, setup.length, StatusName(status), actual);
  const Bytes data = in ? Bytes(result.data) : Bytes();
  if (const std::uint32_t delay = device_->ControlDelayMs(); delay != 0) {
    LateAnswer late{command.seqnum, Clock::now() + std::chrono::milliseconds(delay), {}};
    AppendSubmitReply(late.answer, command.seqnum, status, actual, data);
    backlog_.Add(late.answer.size());
    late_.push_back(std::move(late));
    return;
  }
  Answer(command.seqnum, status, actual, data);
}

void Session::UnplugSoon() {
  // The URB stays outstanding, as on a device pulled mid-transfer.
  if (!unplugAt_) {
    unplugAt_ = Clock::now() + std::chrono::milliseconds(300);
  }
}

bool Session::Complete(WaitingUrb &urb, Bytes data) {
  const Bytes out = data.subspan(std::min<std::size_t>(urb.taken, data.size()));
  emulated::TransferResult result = device_->Transfer(urb.endpoint, urb.length - urb.taken, out);
  if (result.status == Completion::Pending) {
    urb.taken += result.actual; // part of a write the full queue holds back
    return false;
  }
  if (result.status == Completion::NoDevice) {
    UnplugSoon();
    return false;
  }
  const bool in = (urb.endpoint & 0x80) != 0;
  const std::uint32_t actual = urb.taken + result.actual;
  std::int32_t status = UrbStatus(result.status);
  if (status == 0 && in && (urb.flags & SHORT_NOT_OK) != 0 && actual < urb.length) {
    status = SHORT;
  }
  Log("%s %u -> %s %u", in ? "in" : "out", urb.length, StatusName(status), actual);
  Answer(urb.seqnum, status, actual, in ? Bytes(result.data) : Bytes());
  return true;
}

bool Session::ServeParkedReads() {
  bool served = false;
  while (!parked_.empty() && Complete(parked_.front(), {})) {
    parked_.pop_front();
    backlog_.Remove(0);
    served = true;
  }
  return served;
}

bool Session::ServeHeldWrites() {
  bool served = false;
  while (!held_.empty() && Complete(held_.front(), held_.front().out)) {
    backlog_.Remove(held_.front().out.size());
    held_.pop_front();
    served = true;
  }
  return served;
}

void Session::ServeWaiting() {
  while (ServeParkedReads() || ServeHeldWrites()) {
  }
}

void Session::OnPipe(const UrbCommand &command) {
  const bool in = command.direction == DIRECTION_IN;
  WaitingUrb urb{command.seqnum,
                 static_cast<std::uint8_t>(command.endpoint | (in ? 0x80U : 0U)),
                 command.length,
                 command.flags,
                 {},
                 0};
  // A URB behind waiting ones waits its turn, so that no byte overtakes another.
  std::deque<WaitingUrb> &waiting = in ? parked_ : held_;
  if (waiting.empty() && Complete(urb, command.out)) {
    ServeWaiting(); // a read made room, or a write brought data
    return;
  }
  urb.out.assign(command.out.begin(), command.out.end()); // kept only while it waits
  if (in) {
    Log("in %u waits", urb.length);
  } else {
    Log("out %zu waits", urb.out.size());
  }
  backlog_.Add(urb.out.size());
  waiting.push_back(std::move(urb));
}

bool Session::TakeBack(std::uint32_t seqnum) {
  if (const auto late = TakeBySeqnum(late_, seqnum)) {
    backlog_.Remove(late->answer.size());
    Log("control -> unlinked");
  } else if (TakeBySeqnum(unanswered_, seqnum)) {
    backlog_.Remove(0);
    Log("control -> unlinked");
  } else if (const auto write = TakeBySeqnum(held_, seqnum)) {
    backlog_.Remove(write->out.size());
    Log("out %zu -> unlinked %u", write->out.size(), write->taken);
    ServeWaiting(); // the next write may go in now
  } else if (const auto read = TakeBySeqnum(parked_, seqnum)) {
    backlog_.Remove(0);
    Log("in %u -> unlinked 0", read->length);
  } else {
    return false;
  }
  return true;
}

void Session::OnUnlink(const UrbCommand &command) {
  // An URB taken back is never answered; one answered already is left alone.
  const std::int32_t status = TakeBack(command.unlinkSeqnum) ? UNLINKED : 0;
  ByteVector reply;
  AppendUnlinkReply(reply, command.seqnum, status);
  output_.Push(reply);
}

int Session::NextEventIn() const {
  std::optional<Clock::time_point> next = unplugAt_;
  if (!late_.empty()) {
    next = std::min(next.value_or(late_.front().due), late_.front().due);
  }
  if (!next) {
    return -1;
  }
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

void Session::Tick() {
  const Clock::time_point now = Clock::now();
  while (!late_.empty() && now >= late_.front().due) {
    output_.Push(late_.front().answer);
    backlog_.Remove(late_.front().answer.size());
    late_.pop_front();
  }
  if (unplugAt_ && now >= *unplugAt_ && !unplugged_) {
    unplugged_ = true;
    Log("disconnect");
  }
}

} // namespace pelmora::usbip
