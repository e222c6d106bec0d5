// SPDX-License-Identifier: MIT
// The least work that moves bytes through the libusb calls the program makes:
// wrap the usbfs node, claim interface 0, then bulk transfers of 4096 bytes,
// first to OUT 0x01, then from IN 0x81 (or the endpoints given). Its CPU time
// is the yardstick for the program's own on the same emulated device.
//   libusb_loop USBFS_NODE BYTES [OUT_ENDPOINT IN_ENDPOINT]
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int CHUNK = 4096;

int Fail(const char *what, int code) {
  static_cast<void>(std::fprintf(stderr, "libusb_loop: %s: %s\n", what, libusb_error_name(code)));
  return 1;
}

} // namespace

int main(int argc, char *argv[]) {
  if (argc != 3 && argc != 5) {
    static_cast<void>(
        std::fprintf(stderr, "usage: %s USBFS_NODE BYTES [OUT_ENDPOINT IN_ENDPOINT]\n", argv[0]));
    return 2;
  }
  const long long total = std::strtoll(argv[2], nullptr, 10);
  const auto out = static_cast<unsigned char>(argc == 5 ? std::strtoul(argv[3], nullptr, 0) : 0x01);
  const auto in = static_cast<unsigned char>(argc == 5 ? std::strtoul(argv[4], nullptr, 0) : 0x81);
  const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    std::perror("libusb_loop: open");
    return 1;
  }
  libusb_context *context = nullptr;
  libusb_device_handle *handle = nullptr;
  int result = libusb_init(&context);
  if (result != 0) {
    return Fail("init", result);
  }
  if ((result = libusb_wrap_sys_device(context, fd, &handle)) != 0) {
    return Fail("wrap", result);
  }
  if ((result = libusb_claim_interface(handle, 0)) != 0) {
    return Fail("claim", result);
  }
  std::vector<unsigned char> buffer(CHUNK, 0x5A);
  for (long long sent = 0; sent < total;) {
    int done = 0;
    const int length = static_cast<int>(total - sent < CHUNK ? total - sent : CHUNK);
    if ((result = libusb_bulk_transfer(handle, out, buffer.data(), length, &done, 0)) != 0) {
      return Fail("bulk OUT", result);
    }
    sent += done;
  }
  for (long long received = 0; received < total;) {
    int done = 0;
    if ((result = libusb_bulk_transfer(handle, in, buffer.data(), CHUNK, &done, 0)) != 0) {
      return Fail("bulk IN", result);
    }
    received += done;
  }
  libusb_release_interface(handle, 0);
  libusb_close(handle);
  libusb_exit(context);
  close(fd);
  return 0;
}
