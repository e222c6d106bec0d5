// SPDX-License-Identifier: MIT
#include "memory_file.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

int MemoryFile(const char *name) {
  const int fd = memfd_create(name, MFD_CLOEXEC);
  if (fd < 0) {
    throw std::runtime_error(std::string("memfd_create: ") + std::strerror(errno));
  }
  return fd;
}

void WriteAll(int fd, const std::string &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      throw std::runtime_error(std::string("write: ") + std::strerror(errno));
    }
    done += static_cast<std::size_t>(n);
  }
}

std::string ReadAllFrom(int fd) {
  std::string bytes;
  lseek(fd, 0, SEEK_SET);
  char chunk[65536];
  ssize_t n;
  while ((n = read(fd, chunk, sizeof chunk)) > 0) {
    bytes.append(chunk, static_cast<std::size_t>(n));
  }
  return bytes;
}
