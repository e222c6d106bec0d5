// SPDX-License-Identifier: MIT
// The log file a device tool's --log PATH names: opened so that nothing
// planted at the path can aim it elsewhere, and bounded.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "device_options.h"

namespace pelmora::emulated {

namespace {

// The file under the log's stream: what it took so far, and whether it
// stopped at the limit.
struct BoundedLog {
  int fd;
  std::uint32_t limit;
  std::uint64_t written = 0;
  bool stopped = false;
  bool atLineStart = true;
};

bool WriteAll(int fd, const char *data, std::size_t size) {
  while (size > 0) {
    const ssize_t wrote = write(fd, data, size);
    if (wrote < 0 && errno == EINTR) {
      continue;
    }
    if (wrote <= 0) {
      return false;
    }
    data += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

ssize_t WriteBounded(void *cookie, const char *data, std::size_t size) {
  BoundedLog &log = *static_cast<BoundedLog *>(cookie);
  if (log.stopped) {
    return static_cast<ssize_t>(size); // dropped, as promised by the last line
  }
  if (log.written + size > log.limit) {
    log.stopped = true;
    const std::string last = std::string(log.atLineStart ? "" : "\n") +
                             "log stopped: it reached its limit of " + std::to_string(log.limit) +
                             " bytes (--log-limit)\n";
    return WriteAll(log.fd, last.data(), last.size()) ? static_cast<ssize_t>(size) : -1;
  }
  if (!WriteAll(log.fd, data, size)) {
    return -1;
  }
  log.written += size;
  log.atLineStart = size == 0 || data[size - 1] == '\n';
  return static_cast<ssize_t>(size);
}

int CloseBounded(void *cookie) {
  auto *log = static_cast<BoundedLog *>(cookie);
  const int result = close(log->fd);
  delete log;
  return result;
}

// Why the open file is no place for the log; empty when it is one.
std::string Unfit(const struct stat &file) {
  if (!S_ISREG(file.st_mode)) {
    return "is not a regular file";
  }
  if (file.st_nlink != 1) {
    return "has " + std::to_string(file.st_nlink) +
           " names (hard links): writing it would change another file";
  }
  if (file.st_uid != geteuid()) {
    return "belongs to user " + std::to_string(file.st_uid) + ", not to this user (" +
           std::to_string(geteuid()) + ")";
  }
  return {};
}

bool Refuse(const std::string &path, const std::string &reason) {
  (void)std::fprintf(stderr, "%s: %s; refusing to write the log there\n", path.c_str(),
                     reason.c_str());
  return false;
}

} // namespace

bool OpenDeviceLog(const std::string &path, std::uint32_t limit, DeviceLog &log) {
  if (path.empty()) {
    return true;
  }
  // Neither a link nor a FIFO without a reader may hold the open up, and
  // nothing is emptied before it is known to be the log's own file.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) {
    const int error = errno;
    return Refuse(path, error == ELOOP   ? "is a symbolic link"
                        : error == ENXIO ? "is not a regular file"
                                         : "cannot be opened: " + std::string(strerror(error)));
  }
  struct stat file {};
  std::string reason =
      fstat(fd, &file) != 0 ? "cannot be examined: " + std::string(strerror(errno)) : Unfit(file);
  if (reason.empty() && ftruncate(fd, 0) != 0) {
    reason = "cannot be emptied: " + std::string(strerror(errno));
  }
  if (reason.empty() && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    reason = "cannot be made blocking: " + std::string(strerror(errno));
  }
  if (!reason.empty()) {
    close(fd);
    return Refuse(path, reason);
  }
  auto bounded = std::make_unique<BoundedLog>(BoundedLog{fd, limit});
  log.reset(fopencookie(bounded.get(), "w", {nullptr, WriteBounded, nullptr, CloseBounded}));
  if (!log) {
    reason = "cannot get a stream: " + std::string(strerror(errno));
    close(fd);
    return Refuse(path, reason);
  }
  (void)bounded.release(); // the stream's to close now
  (void)std::setvbuf(log.get(), nullptr, _IOLBF, 0);
  return true;
}

} // namespace pelmora::emulated
