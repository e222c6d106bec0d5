// SPDX-License-Identifier: MIT
#include "usbfs_handler.h"

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <set>
#include <thread>

namespace pelmora::emulated {

namespace {

constexpr unsigned CAPABILITIES = USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET;

long SpeedValue(Speed speed) {
  switch (speed) {
  case Speed::Low:
    return USB_SPEED_LOW;
  case Speed::Full:
    return USB_SPEED_FULL;
  case Speed::High:
    return USB_SPEED_HIGH;
  case Speed::Super:
    return USB_SPEED_SUPER;
  case Speed::Unknown:
    break;
  }
  return USB_SPEED_UNKNOWN;
}

int UrbStatus(Completion status) {
  switch (status) {
  case Completion::Done:
    return 0;
  case Completion::Stall:
    return -EPIPE;
  case Completion::Overflow:
    return -EOVERFLOW;
  case Completion::NoDevice:
    return -ENODEV;
  default:
    return -EPROTO;
  }
}

void Release(UMockdevIoctlData *data) {
  if (data != nullptr) {
    g_object_unref(data);
  }
}

// The memory the ioctl's pointer argument points to, copied from the client;
// changes go back when the ioctl completes.
struct Pointee {
  Pointee(UMockdevIoctlClient *client, std::size_t size)
      : data(umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, nullptr)) {
  }
  ~Pointee() { Release(data); }
  Pointee(const Pointee &) = delete;
  Pointee &operator=(const Pointee &) = delete;
  UMockdevIoctlData *data;
};

// A pointer argument the client's memory could not give: the ioctl fails
// with EFAULT, as the kernel's would.
// An ioctl with no data of its own: done while the device is there.
void Acknowledge(UMockdevIoctlClient *client, bool connected) {
  umockdev_ioctl_client_complete(client, connected ? 0 : -1, connected ? 0 : ENODEV);
}

std::uint8_t EndpointOf(const UMockdevIoctlData *urb) {
  return reinterpret_cast<const usbdevfs_urb *>(urb->data)->endpoint;
}

// What a URB's buffer holds.
std::size_t Payload(const UMockdevIoctlData *urb) {
  const int length = reinterpret_cast<const usbdevfs_urb *>(urb->data)->buffer_length;
  return length > 0 ? static_cast<std::size_t>(length) : 0;
}

bool Unreadable(const Pointee &pointee, UMockdevIoctlClient *client) {
  if (pointee.data != nullptr) {
    return false;
  }
  umockdev_ioctl_client_complete(client, -1, EFAULT);
  return true;
}

} // namespace

UsbfsHandler::UsbfsHandler(std::shared_ptr<LoopbackDevice> device, unsigned address)
    : device_(std::move(device)), address_(address), base_(umockdev_ioctl_base_new()),
      backlog_(device_->Spec().queueLimit) {
  g_signal_connect(base_, "handle-ioctl", G_CALLBACK(&UsbfsHandler::OnIoctl), this);
  g_signal_connect(base_, "client-vanished", G_CALLBACK(&UsbfsHandler::OnVanished), this);
}

UsbfsHandler::~UsbfsHandler() {
  g_signal_handlers_disconnect_by_data(base_, this);
  for (auto *lists : {&waiting_, &done_}) {
    for (auto &[client, urbs] : *lists) {
      for (const Urb &urb : urbs) {
        Release(urb.buffer);
        Release(urb.urb);
      }
    }
  }
  g_object_unref(base_);
}

int UsbfsHandler::OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
  static_cast<UsbfsHandler *>(self)->Handle(client);
  return TRUE;
}

void UsbfsHandler::OnVanished(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
  auto *handler = static_cast<UsbfsHandler *>(self);
  const std::lock_guard lock(handler->mutex_);
  handler->Forget(client);
}

void UsbfsHandler::Forget(UMockdevIoctlClient *client) {
  for (auto *lists : {&waiting_, &done_}) {
    for (const Urb &urb : (*lists)[client]) {
      backlog_.Remove(Payload(urb.urb));
      Release(urb.buffer);
      Release(urb.urb);
    }
    lists->erase(client);
  }
}

void UsbfsHandler::Handle(UMockdevIoctlClient *client) {
  const std::lock_guard lock(mutex_);
  switch (umockdev_ioctl_client_get_request(client)) {
  case USBDEVFS_GET_CAPABILITIES: {
    const Pointee arg(client, sizeof(std::uint32_t));
    if (Unreadable(arg, client)) {
      return;
    }
    const std::uint32_t capabilities = CAPABILITIES;
    std::memcpy(arg.data->data, &capabilities, sizeof capabilities);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  case USBDEVFS_CONNECTINFO: {
    const Pointee arg(client, sizeof(usbdevfs_connectinfo));
    if (Unreadable(arg, client)) {
      return;
    }
    usbdevfs_connectinfo info{};
    info.devnum = address_;
    info.slow = device_->Spec().speed == Speed::Low;
    std::memcpy(arg.data->data, &info, sizeof info);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  case USBDEVFS_GET_SPEED:
    umockdev_ioctl_client_complete(client, SpeedValue(device_->Spec().speed), 0);
    return;
  case USBDEVFS_CLAIMINTERFACE: {
    const Pointee arg(client, sizeof(unsigned));
    if (Unreadable(arg, client)) {
      return;
    }
    unsigned number = 0;
    std::memcpy(&number, arg.data->data, sizeof number);
    if (!device_->Connected()) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
    } else if (!device_->Claim(number)) {
      umockdev_ioctl_client_complete(client, -1, EBUSY);
    } else {
      umockdev_ioctl_client_complete(client, 0, 0);
    }
    return;
  }
  case USBDEVFS_GETDRIVER:
    umockdev_ioctl_client_complete(client, -1, ENODATA);
    return;
  case USBDEVFS_CLEAR_HALT: {
    const Pointee arg(client, sizeof(unsigned));
    if (Unreadable(arg, client)) {
      return;
    }
    unsigned endpoint = 0;
    std::memcpy(&endpoint, arg.data->data, sizeof endpoint);
    device_->ClearHalt(static_cast<std::uint8_t>(endpoint));
    Acknowledge(client, device_->Connected());
    return;
  }
  case USBDEVFS_SETINTERFACE:
  case USBDEVFS_SETCONFIGURATION:
    device_->Reconfigure();
    Acknowledge(client, device_->Connected());
    return;
  case USBDEVFS_RELEASEINTERFACE:
  case USBDEVFS_RESETEP:
    Acknowledge(client, device_->Connected());
    return;
  case USBDEVFS_CONTROL:
    Control(client);
    return;
  case USBDEVFS_SUBMITURB:
    Submit(client);
    return;
  case USBDEVFS_REAPURB:
  case USBDEVFS_REAPURBNDELAY:
    Reap(client);
    return;
  case USBDEVFS_DISCARDURB:
    Discard(client);
    return;
  default:
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return;
  }
}

void UsbfsHandler::Control(UMockdevIoctlClient *client) {
  const Pointee arg(client, sizeof(usbdevfs_ctrltransfer));
  if (Unreadable(arg, client)) {
    return;
  }
  usbdevfs_ctrltransfer transfer{};
  std::memcpy(&transfer, arg.data->data, sizeof transfer);
  if (!device_->Connected()) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  TransferResult answer = device_->Control({transfer.bRequestType, transfer.bRequest,
                                            transfer.wValue, transfer.wIndex, transfer.wLength});
  // This ioctl blocks its caller: the late answer holds it up, up to its time-out.
  if (const std::uint32_t delay = device_->ControlDelayMs(); delay != 0) {
    const bool late = transfer.timeout != 0 && delay >= transfer.timeout;
    std::this_thread::sleep_for(std::chrono::milliseconds(late ? transfer.timeout : delay));
    if (late) {
      answer.status = Completion::Pending;
    }
  }
  switch (answer.status) {
  case Completion::Done:
    break;
  case Completion::Pending:
    // The kernel gives up after the request's own time-out.
    umockdev_ioctl_client_complete(client, -1, ETIMEDOUT);
    return;
  case Completion::NoDevice:
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  default:
    umockdev_ioctl_client_complete(client, -1, EPIPE);
    return;
  }
  if (!answer.data.empty()) {
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(
        arg.data, offsetof(usbdevfs_ctrltransfer, data), transfer.wLength, nullptr);
    if (data == nullptr) {
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
    std::memcpy(data->data, answer.data.data(), answer.data.size());
    umockdev_ioctl_client_complete(client, static_cast<long>(answer.data.size()), 0);
    g_object_unref(data);
    return;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

bool UsbfsHandler::Finish(const Urb &urb, const TransferResult &result,
                          UMockdevIoctlClient *client) {
  if (result.status == Completion::Pending) {
    return false;
  }
  auto *header = reinterpret_cast<usbdevfs_urb *>(urb.urb->data);
  if (!result.data.empty() && urb.buffer != nullptr) {
    std::memcpy(urb.buffer->data, result.data.data(), result.data.size());
  }
  header->actual_length = static_cast<int>(urb.taken + result.actual);
  header->status = UrbStatus(result.status);
  done_[client].push_back(urb);
  return true;
}

void UsbfsHandler::Submit(UMockdevIoctlClient *client) {
  UMockdevIoctlData *arg = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0,
                                                       sizeof(usbdevfs_urb), nullptr);
  if (arg == nullptr) {
    umockdev_ioctl_client_complete(client, -1, EFAULT);
    return;
  }
  usbdevfs_urb header{};
  std::memcpy(&header, arg->data, sizeof header);
  if (header.type != USBDEVFS_URB_TYPE_BULK && header.type != USBDEVFS_URB_TYPE_INTERRUPT &&
      header.type != USBDEVFS_URB_TYPE_CONTROL) {
    Release(arg);
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  if (!device_->Connected()) {
    Release(arg);
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  if (!backlog_.HasRoom()) {
    Release(arg);
    umockdev_ioctl_client_complete(client, -1, ENOMEM);
    return;
  }
  // The URB stays with the handler until it is reaped.
  Urb urb{arg, nullptr};
  if (header.buffer_length > 0) {
    urb.buffer = umockdev_ioctl_data_resolve(arg, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(header.buffer_length), nullptr);
    if (urb.buffer == nullptr) {
      Release(urb.urb);
      umockdev_ioctl_client_complete(client, -1, EFAULT);
      return;
    }
  }
  backlog_.Add(Payload(urb.urb));
  if (header.type == USBDEVFS_URB_TYPE_CONTROL) {
    TransferResult answer = ControlUrb(urb);
    if (const std::uint32_t delay = device_->ControlDelayMs();
        delay != 0 && answer.status != Completion::Pending) {
      urb.lateAnswer = std::move(answer);
      urb.due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
      waiting_[client].push_back(urb);
    } else if (!Finish(urb, answer, client)) {
      waiting_[client].push_back(urb);
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  // A transfer behind one still waiting on its endpoint waits its turn, so
  // that no byte overtakes another.
  std::vector<Urb> &waiting = waiting_[client];
  const std::uint8_t endpoint = header.endpoint;
  if (std::any_of(waiting.begin(), waiting.end(),
                  [endpoint](const Urb &other) { return EndpointOf(other.urb) == endpoint; })) {
    waiting.push_back(urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    return;
  }
  const TransferResult result = Ask(urb);
  if (result.status == Completion::Invalid) {
    backlog_.Remove(Payload(urb.urb));
    Release(urb.buffer);
    Release(urb.urb);
    umockdev_ioctl_client_complete(client, -1, ENOENT);
    return;
  }
  if (!Finish(urb, result, client)) {
    waiting.push_back(urb);
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

TransferResult UsbfsHandler::Ask(Urb &urb) {
  const auto *header = reinterpret_cast<const usbdevfs_urb *>(urb.urb->data);
  const auto length = static_cast<std::uint32_t>(header->buffer_length) - urb.taken;
  const bool out = (header->endpoint & 0x80) == 0;
  const std::span<const std::uint8_t> data =
      out && urb.buffer != nullptr
          ? std::span<const std::uint8_t>(urb.buffer->data + urb.taken, length)
          : std::span<const std::uint8_t>();
  TransferResult result = device_->Transfer(header->endpoint, length, data);
  if (result.status == Completion::Pending) {
    urb.taken += result.actual;
  }
  return result;
}

// A control URB: the setup packet, then the data stage.
TransferResult UsbfsHandler::ControlUrb(const Urb &urb) {
  const auto *header = reinterpret_cast<const usbdevfs_urb *>(urb.urb->data);
  if (urb.buffer == nullptr || header->buffer_length < 8) {
    return {Completion::Stall, 0, {}};
  }
  const std::uint8_t *setup = urb.buffer->data;
  const SetupPacket packet{setup[0], setup[1], static_cast<std::uint16_t>(setup[2] | setup[3] << 8),
                           static_cast<std::uint16_t>(setup[4] | setup[5] << 8),
                           static_cast<std::uint16_t>(setup[6] | setup[7] << 8)};
  const std::size_t room = static_cast<std::size_t>(header->buffer_length) - 8;
  if (packet.length > room) {
    return {Completion::Stall, 0, {}};
  }
  TransferResult answer = device_->Control(packet);
  if (answer.status == Completion::Done && (packet.requestType & 0x80) == 0) {
    answer.actual = packet.length;
  } else if (answer.status == Completion::Done) {
    std::memcpy(urb.buffer->data + 8, answer.data.data(), answer.data.size());
  }
  // The data went into the URB's own buffer, after the setup packet.
  answer.data.clear();
  return answer;
}

void UsbfsHandler::Retry(UMockdevIoctlClient *client) {
  std::vector<Urb> &waiting = waiting_[client];
  // Endpoints whose first waiting transfer still waits: the rest stay behind it.
  std::set<std::uint8_t> blocked;
  for (auto it = waiting.begin(); it != waiting.end();) {
    const auto *header = reinterpret_cast<const usbdevfs_urb *>(it->urb->data);
    // A control request left unanswered stays so until it is discarded; one
    // answered late, until its answer is due.
    if (header->type == USBDEVFS_URB_TYPE_CONTROL) {
      const bool due = it->lateAnswer && std::chrono::steady_clock::now() >= it->due;
      it = due && Finish(*it, *it->lateAnswer, client) ? waiting.erase(it) : it + 1;
      continue;
    }
    if (blocked.count(header->endpoint) != 0) {
      ++it;
      continue;
    }
    if (Finish(*it, Ask(*it), client)) {
      it = waiting.erase(it);
    } else {
      blocked.insert(header->endpoint);
      ++it;
    }
  }
}

void UsbfsHandler::Reap(UMockdevIoctlClient *client) {
  Retry(client);
  std::vector<Urb> &done = done_[client];
  if (done.empty()) {
    umockdev_ioctl_client_complete(client, -1, EAGAIN);
    return;
  }
  const Urb urb = done.front();
  done.erase(done.begin());
  const Pointee slot(client, sizeof(void *));
  if (Unreadable(slot, client)) {
    done.insert(done.begin(), urb);
    return;
  }
  umockdev_ioctl_data_set_ptr(slot.data, 0, urb.urb);
  umockdev_ioctl_client_complete(client, 0, 0);
  backlog_.Remove(Payload(urb.urb));
  Release(urb.buffer);
  Release(urb.urb);
}

// A discarded URB completes with -ENOENT and is reaped like any other.
void UsbfsHandler::Discard(UMockdevIoctlClient *client) {
  // The argument is the URB's address itself.
  const UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  if (arg->data == nullptr || static_cast<std::size_t>(arg->data_len) < sizeof(gulong)) {
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return;
  }
  gulong address = 0;
  std::memcpy(&address, arg->data, sizeof address);
  std::vector<Urb> &waiting = waiting_[client];
  for (auto it = waiting.begin(); it != waiting.end(); ++it) {
    if (it->urb->client_addr == address) {
      auto *header = reinterpret_cast<usbdevfs_urb *>(it->urb->data);
      header->status = -ENOENT;
      header->actual_length = static_cast<int>(it->taken); // what went before the discard
      done_[client].push_back(*it);
      waiting.erase(it);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
}

} // namespace pelmora::emulated
