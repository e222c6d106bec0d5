// SPDX-License-Identifier: MIT
// Runs the real program as a child with umockdev's preload library, so it
// meets the emulated bus of the calling test.
#pragma once

#include <string>
#include <vector>

struct ChildRun {
  int exitStatus = -1;
  std::string out;
  std::string err;
};

ChildRun RunPreloaded(const std::string &program, const std::vector<std::string> &arguments,
                      const std::string &input);
