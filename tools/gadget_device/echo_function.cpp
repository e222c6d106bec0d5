// SPDX-License-Identifier: MIT
#include "echo_function.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "byte_writer.h"

namespace pelmora::gadget {

namespace {

// The most one IN request carries; a multiple of every bulk packet size.
constexpr std::size_t IN_CHUNK = 16384;

int Open(const std::string &path) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  return fd;
}

void WriteWhole(int fd, const Bytes &bytes, const char *what) {
  if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
    throw std::runtime_error(std::string("FunctionFS refused the ") + what + ": " +
                             std::strerror(errno));
  }
}

const char *EventName(std::uint8_t type) {
  switch (type) {
  case FUNCTIONFS_BIND:
    return "bind";
  case FUNCTIONFS_UNBIND:
    return "unbind";
  case FUNCTIONFS_ENABLE:
    return "enable";
  case FUNCTIONFS_DISABLE:
    return "disable";
  case FUNCTIONFS_SUSPEND:
    return "suspend";
  case FUNCTIONFS_RESUME:
    return "resume";
  default:
    return "event";
  }
}

} // namespace

EchoFunction::EchoFunction(const std::string &directory, const Bytes &descriptors,
                           const Bytes &strings, EchoSettings settings, std::FILE *log)
    : settings_(std::move(settings)), log_(log) {
  try {
    ep0_ = Open(directory + "/ep0");
    WriteWhole(ep0_, descriptors, "descriptors");
    WriteWhole(ep0_, strings, "strings");
    // The endpoints' files, in the order of their descriptors.
    out_ = Open(directory + "/ep1");
    in_ = Open(directory + "/ep2");
    interrupt_ = Open(directory + "/ep3");
  } catch (...) {
    for (const int fd : {interrupt_, in_, out_, ep0_}) {
      if (fd >= 0) {
        close(fd);
      }
    }
    throw;
  }
}

EchoFunction::~EchoFunction() {
  Stop();
  for (const int fd : {interrupt_, in_, out_, ep0_}) {
    close(fd);
  }
}

void EchoFunction::Start() {
  const auto run = [this](Worker &worker, void (EchoFunction::*body)()) {
    worker.thread = std::thread([this, &worker, body] {
      (this->*body)();
      worker.done = true;
    });
  };
  run(workers_[0], &EchoFunction::Events);
  run(workers_[1], &EchoFunction::BulkOut);
  run(workers_[2], &EchoFunction::BulkIn);
  run(workers_[3], &EchoFunction::InterruptIn);
}

void EchoFunction::Stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  dataWaits_.notify_all();
  roomWaits_.notify_all();
  // A worker may be about to block when the signal comes: repeat it.
  for (Worker &worker : workers_) {
    while (worker.thread.joinable() && !worker.done) {
      pthread_kill(worker.thread.native_handle(), INTERRUPT_SIGNAL);
      usleep(2000);
    }
    if (worker.thread.joinable()) {
      worker.thread.join();
    }
  }
}

void EchoFunction::Log(const char *format, ...) {
  if (log_ == nullptr) {
    return;
  }
  va_list arguments;
  va_start(arguments, format);
  flockfile(log_);
  (void)std::vfprintf(log_, format, arguments);
  (void)std::fputc('\n', log_);
  funlockfile(log_);
  va_end(arguments);
}

void EchoFunction::Fail(const char *what) {
  (void)std::fprintf(stderr, "pelmora-gadget-device: %s: %s\n", what, std::strerror(errno));
  kill(getpid(), FAILURE_SIGNAL);
}

void EchoFunction::Events() {
  std::array<usb_functionfs_event, 4> events{};
  while (!stopping_) {
    const ssize_t got = read(ep0_, events.data(), sizeof events);
    if (got < 0) {
      if (errno != EINTR) {
        Fail("reading ep0's events");
        return;
      }
      continue;
    }
    for (std::size_t i = 0; i < static_cast<std::size_t>(got) / sizeof events[0]; ++i) {
      const usb_functionfs_event &event = events[i];
      if (event.type == FUNCTIONFS_SETUP) {
        // Nothing here answers a request of its own: an access in the other
        // direction stalls it.
        const usb_ctrlrequest &setup = event.u.setup;
        Log("control %02x %02x %04x %04x %u -> stall", setup.bRequestType, setup.bRequest,
            setup.wValue, setup.wIndex, setup.wLength);
        char none = 0;
        // The access fails by design: that failure is the stall.
        [[maybe_unused]] const ssize_t stalled =
            (setup.bRequestType & USB_DIR_IN) != 0 ? read(ep0_, &none, 0) : write(ep0_, &none, 0);
        continue;
      }
      if (event.type == FUNCTIONFS_ENABLE) {
        std::string speed;
        std::ifstream("/sys/class/udc/" + settings_.controller + "/current_speed") >> speed;
        Log("enable %s", speed.c_str());
      } else {
        Log("%s", EventName(event.type));
      }
      if (event.type == FUNCTIONFS_DISABLE) {
        {
          const std::lock_guard lock(mutex_);
          queue_.Clear();
        }
        roomWaits_.notify_one();
      }
    }
  }
}

std::uint16_t EchoFunction::PacketSize(int fd) {
  // Waits until the host enables the function.
  usb_endpoint_descriptor descriptor{};
  if (ioctl(fd, FUNCTIONFS_ENDPOINT_DESC, &descriptor) != 0) {
    if (errno != EINTR) {
      Fail("reading an endpoint's descriptor");
      stopping_ = true;
    }
    return 0;
  }
  return descriptor.wMaxPacketSize & 0x7FF;
}

void EchoFunction::HaltWhenDue(int fd, bool in) {
  {
    const std::lock_guard lock(mutex_);
    if (settings_.stallTransfer == 0 || halted_[in] ||
        transfersEnded_ + 1 < settings_.stallTransfer) {
      return;
    }
    halted_[in] = true;
  }
  // An access against the endpoint's direction halts it.
  char none = 0;
  const ssize_t result = in ? read(fd, &none, 0) : write(fd, &none, 0);
  if (result < 0 && errno == EBADMSG) {
    Log("halt %s", in ? "in" : "out");
  } else {
    Log("halt %s failed: %s", in ? "in" : "out", std::strerror(errno));
  }
}

void EchoFunction::BulkOut() {
  std::vector<std::uint8_t> packet;
  bool inTransfer = false;
  while (!stopping_) {
    if (packet.empty()) {
      packet.resize(PacketSize(out_));
      continue;
    }
    if (!inTransfer) {
      HaltWhenDue(out_, false);
    }
    {
      // A full queue reads no request: the host's packets wait.
      std::unique_lock lock(mutex_);
      roomWaits_.wait(lock, [this, &packet] {
        return stopping_ || queue_.Size() + packet.size() <= settings_.queueLimit;
      });
    }
    const ssize_t got = read(out_, packet.data(), packet.size());
    if (got < 0) {
      if (errno == ESHUTDOWN) {
        packet.clear(); // the host may enable it again at another speed
        inTransfer = false;
      } else if (errno != EINTR) {
        Fail("reading bulk OUT");
        return;
      }
      continue;
    }
    inTransfer = static_cast<std::size_t>(got) == packet.size();
    {
      const std::lock_guard lock(mutex_);
      queue_.Push(std::span(packet).first(static_cast<std::size_t>(got)));
      transfersEnded_ += inTransfer ? 0 : 1;
    }
    dataWaits_.notify_one();
    Log("out %zu -> %zd", packet.size(), got);
  }
}

void EchoFunction::BulkIn() {
  std::vector<std::uint8_t> data;
  std::size_t packetSize = 0;
  while (!stopping_) {
    if (packetSize == 0) {
      packetSize = PacketSize(in_);
      continue;
    }
    {
      std::unique_lock lock(mutex_);
      dataWaits_.wait(lock, [this] { return stopping_ || !queue_.Empty(); });
    }
    HaltWhenDue(in_, true);
    const std::size_t most = settings_.inPacketSize != 0 && settings_.inPacketSize < packetSize
                                 ? settings_.inPacketSize
                                 : IN_CHUNK;
    bool ends = false;
    {
      const std::lock_guard lock(mutex_);
      data.clear();
      queue_.Pop(most, &data);
      // A short packet ends the transfer, and so does an empty queue, as on
      // the emulated device.
      ends = data.size() % packetSize != 0 || queue_.Empty();
    }
    roomWaits_.notify_one();
    if (data.empty()) {
      continue; // stopping, or a reset emptied the queue
    }
    ssize_t sent = write(in_, data.data(), data.size());
    if (sent >= 0 && ends && data.size() % packetSize == 0) {
      Log("in %zu -> %zd", data.size(), sent);
      data.clear();
      sent = write(in_, data.data(), 0); // a zero-length packet ends it
    }
    if (sent < 0) {
      if (errno == ESHUTDOWN) {
        packetSize = 0; // the data is lost with the reset
      } else if (errno != EINTR) {
        Fail("writing bulk IN");
        return;
      }
      continue;
    }
    if (ends) {
      const std::lock_guard lock(mutex_);
      ++transfersEnded_;
    }
    Log("in %zu -> %zd", data.size(), sent);
  }
}

void EchoFunction::InterruptIn() {
  while (!stopping_) {
    std::uint32_t waiting = 0;
    {
      const std::lock_guard lock(mutex_);
      waiting = static_cast<std::uint32_t>(queue_.Size());
    }
    Bytes report;
    emulated::Put32(report, waiting);
    if (write(interrupt_, report.data(), report.size()) < 0 && errno != EINTR &&
        errno != ESHUTDOWN) {
      Fail("writing interrupt IN");
      return;
    }
  }
}

} // namespace pelmora::gadget
