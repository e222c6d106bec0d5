// SPDX-License-Identifier: MIT
#include "function_path.h"

#include <sys/stat.h>

#include <map>

namespace pelmora::linux_platform {

namespace {

// The file a descriptor was open on, so that a reused number is not taken
// for the same open.
struct OpenedFunction {
  dev_t device;
  ino_t inode;
  std::uint8_t firstInterface;
};

std::map<int, OpenedFunction> &OpenedFunctions() {
  static std::map<int, OpenedFunction> opened;
  return opened;
}

} // namespace

std::string FunctionPathText(const FunctionPath &path) {
  return path.node + ":" + std::to_string(path.firstInterface);
}

std::optional<FunctionPath> ParseFunctionPath(const std::string &path) {
  const std::size_t colon = path.rfind(':');
  if (colon == std::string::npos) {
    return FunctionPath{path, 0};
  }
  const std::string number = path.substr(colon + 1);
  if (number.empty() || number.size() > 3 ||
      number.find_first_not_of("0123456789") != std::string::npos || std::stoi(number) > 255) {
    return std::nullopt;
  }
  return FunctionPath{path.substr(0, colon), static_cast<std::uint8_t>(std::stoi(number))};
}

void RememberFunction(int fd, std::uint8_t firstInterface) {
  struct stat status {};
  if (fstat(fd, &status) == 0) {
    OpenedFunctions()[fd] = {status.st_dev, status.st_ino, firstInterface};
  }
}

std::uint8_t FunctionOf(int fd) {
  const auto found = OpenedFunctions().find(fd);
  struct stat status {};
  if (found == OpenedFunctions().end() || fstat(fd, &status) != 0 ||
      status.st_dev != found->second.device || status.st_ino != found->second.inode) {
    return 0;
  }
  return found->second.firstInterface;
}

} // namespace pelmora::linux_platform
