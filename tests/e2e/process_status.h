// SPDX-License-Identifier: MIT
// What /proc says of a device server that tests and measurements watch.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace process_status {

// A field of /proc/PID/status in KiB, 0 when it cannot be read.
inline long StatusKib(pid_t pid, const std::string &field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string name;
  long value = 0;
  while (status >> name) {
    if (name == field + ":" && status >> value) {
      return value;
    }
    status.ignore(1 << 12, '\n');
  }
  return 0;
}

// The user and system CPU time the process spent so far, in milliseconds.
inline long CpuMilliseconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  // The command's name may hold spaces: the fields count from its end.
  std::getline(stat, field, ')');
  long user = 0;
  long system = 0;
  for (int i = 3; i <= 15 && stat >> field; ++i) {
    if (i == 14) {
      user = std::stol(field);
    } else if (i == 15) {
      system = std::stol(field);
    }
  }
  return (user + system) * 1000 / sysconf(_SC_CLK_TCK);
}

} // namespace process_status
