// SPDX-License-Identifier: MIT
// Reads standard input to its end in large reads and fails unless exactly
// the expected number of bytes arrived.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char *argv[]) {
  if (argc != 2) {
    static_cast<void>(std::fprintf(stderr, "usage: %s EXPECTED_BYTES\n", argv[0]));
    return 2;
  }
  const unsigned long long expected = std::strtoull(argv[1], nullptr, 10);
  unsigned long long received = 0;
  std::vector<char> block(1 << 16);
  ssize_t got;
  while ((got = read(STDIN_FILENO, block.data(), block.size())) > 0) {
    received += static_cast<unsigned long long>(got);
  }
  if (got < 0) {
    std::perror("pipe_sink: read");
    return 1;
  }
  if (received != expected) {
    static_cast<void>(
        std::fprintf(stderr, "pipe_sink: %llu bytes arrived, %llu expected\n", received, expected));
    return 1;
  }
  return 0;
}
