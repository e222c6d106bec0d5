// SPDX-License-Identifier: MIT
// Writes a given number of bytes to standard output in large writes, so the
// program under measurement, not its feeder, sets the pace.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    static_cast<void>(std::fprintf(stderr, "usage: %s BYTES\n", argv[0]));
    return 2;
  }
  unsigned long long remaining = std::strtoull(argv[1], nullptr, 10);
  std::vector<char> block(1 << 16, 'b');
  while (remaining > 0) {
    const std::size_t size = remaining < block.size() ? remaining : block.size();
    const ssize_t written = write(STDOUT_FILENO, block.data(), size);
    if (written <= 0) {
      std::perror("pipe_source: write");
      return 1;
    }
    remaining -= static_cast<unsigned long long>(written);
  }
  return 0;
}
