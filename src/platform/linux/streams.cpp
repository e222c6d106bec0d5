// SPDX-License-Identifier: MIT
// The C runtime's stream services, where streams have no text mode.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cwchar>
#include <string>

#include "winapi.h"

namespace {

// Appends the multibyte form of a wide message; characters that the current
// encoding cannot show become '?'.
void AppendMultibyte(std::string &out, const wchar_t *message) {
  std::mbstate_t state{};
  char bytes[MB_LEN_MAX];
  for (; *message != 0; ++message) {
    const std::size_t length = std::wcrtomb(bytes, *message, &state);
    if (length == static_cast<std::size_t>(-1)) {
      out += '?';
      state = std::mbstate_t{};
    } else {
      out.append(bytes, length);
    }
  }
}

void WriteAll(int fd, const std::string &text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return;
    }
    done += static_cast<std::size_t>(written);
  }
}

} // namespace

// Linux streams are always binary: only a descriptor that is not open fails.
int _setmode(int fd, int mode) {
  const int savedErrno = errno;
  if (mode != _O_BINARY && mode != _O_TEXT) {
    errno = EINVAL;
    return -1;
  }
  if (fcntl(fd, F_GETFL) == -1) {
    return -1;
  }
  errno = savedErrno;
  return _O_BINARY;
}

int _fileno(std::FILE *stream) { return fileno(stream); }

// The perror form in one write, so the line is whole even when the standard
// error descriptor is shared with other writers.
void _wperror(const wchar_t *message) {
  const int savedErrno = errno;
  std::string line;
  AppendMultibyte(line, message);
  line += ": ";
  line += std::strerror(savedErrno);
  line += '\n';
  WriteAll(STDERR_FILENO, line);
  errno = savedErrno;
}
