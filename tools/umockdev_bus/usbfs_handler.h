// SPDX-License-Identifier: MIT
// Answers the usbfs ioctls of one device node from a loopback device.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "host_backlog.h"
#include "loopback_device.h"

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace pelmora::emulated {

class UsbfsHandler {
public:
  UsbfsHandler(std::shared_ptr<LoopbackDevice> device, unsigned address);
  ~UsbfsHandler();
  UsbfsHandler(const UsbfsHandler &) = delete;
  UsbfsHandler &operator=(const UsbfsHandler &) = delete;

  UMockdevIoctlBase *Base() const { return base_; }

private:
  // A submitted URB: its argument (the URB) and its resolved buffer; how
  // much of an OUT URB's data the device took while it waited; for a
  // control request answered late, the answer and when it is due.
  struct Urb {
    UMockdevIoctlData *urb;
    UMockdevIoctlData *buffer;
    std::uint32_t taken = 0;
    std::optional<TransferResult> lateAnswer = std::nullopt;
    std::chrono::steady_clock::time_point due = {};
  };

  static int OnIoctl(UMockdevIoctlBase *base, UMockdevIoctlClient *client, void *self);
  static void OnVanished(UMockdevIoctlBase *base, UMockdevIoctlClient *client, void *self);
  void Handle(UMockdevIoctlClient *client);
  void Submit(UMockdevIoctlClient *client);
  void Reap(UMockdevIoctlClient *client);
  void Discard(UMockdevIoctlClient *client);
  void Control(UMockdevIoctlClient *client);
  TransferResult ControlUrb(const Urb &urb);
  // Asks the device again for every URB still waiting.
  void Retry(UMockdevIoctlClient *client);
  // Asks the device for the URB's pipe transfer, with what of an OUT URB's
  // data it has not taken yet.
  TransferResult Ask(Urb &urb);
  bool Finish(const Urb &urb, const TransferResult &result, UMockdevIoctlClient *client);
  void Forget(UMockdevIoctlClient *client);

  std::shared_ptr<LoopbackDevice> device_;
  unsigned address_;
  UMockdevIoctlBase *base_;
  std::mutex mutex_;
  std::map<UMockdevIoctlClient *, std::vector<Urb>> waiting_;
  std::map<UMockdevIoctlClient *, std::vector<Urb>> done_;
  // Every URB above, with its buffer: past the bound a submission fails with
  // ENOMEM, as the kernel's usbfs fails one past its memory limit.
  HostBacklog backlog_;
};

} // namespace pelmora::emulated
