// SPDX-License-Identifier: MIT
#include "leftover_gadgets.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

namespace pelmora::gadget {

namespace {

namespace fs = std::filesystem;

constexpr char GADGETS[] = "/sys/kernel/config/usb_gadget";
constexpr char PREFIX[] = "pelmora-";

// The pid in "pelmora-PID", or in "pelmora-PID.XXXXXX" when suffixed.
std::optional<pid_t> MakerOf(const std::string &name, bool suffixed) {
  if (name.rfind(PREFIX, 0) != 0) {
    return std::nullopt;
  }
  const std::size_t start = sizeof PREFIX - 1;
  std::size_t end = start;
  while (end < name.size() && name[end] >= '0' && name[end] <= '9') {
    ++end;
  }
  const bool shaped = suffixed ? end < name.size() && name[end] == '.' : end == name.size();
  if (end == start || end - start > 9 || !shaped) {
    return std::nullopt;
  }
  return static_cast<pid_t>(std::stol(name.substr(start, end - start)));
}

// A zombie has closed its files already: it counts as gone.
bool Gone(pid_t pid) {
  if (pid == getpid()) {
    return false;
  }
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (std::getline(stat, line)) {
    const std::size_t name_end = line.rfind(')');
    return name_end != std::string::npos && name_end + 2 < line.size() && line[name_end + 2] == 'Z';
  }
  return kill(pid, 0) != 0 && errno == ESRCH;
}

void Say(const std::string &what, pid_t pid) {
  (void)std::fprintf(stderr,
                     "pelmora-gadget-device: removed %s, left by process %d, which is gone\n",
                     what.c_str(), static_cast<int>(pid));
}

void CannotRemove(const std::string &path) {
  (void)std::fprintf(stderr, "pelmora-gadget-device: cannot remove %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

// The entries of a directory, none when it cannot be read.
std::vector<fs::path> Entries(const fs::path &directory) {
  std::vector<fs::path> entries;
  std::error_code error;
  for (const auto &entry : fs::directory_iterator(directory, error)) {
    entries.push_back(entry.path());
  }
  return entries;
}

bool RemoveDirectory(const fs::path &path) {
  if (rmdir(path.c_str()) != 0) {
    CannotRemove(path);
    return false;
  }
  return true;
}

// FunctionFS mounts whose instance a gone process made, and their temp dirs.
void RemoveMounts() {
  std::ifstream mounts("/proc/self/mounts");
  std::string line;
  std::vector<std::pair<std::string, pid_t>> found;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string source;
    std::string target;
    std::string type;
    fields >> source >> target >> type;
    if (const auto pid = MakerOf(source, false); type == "functionfs" && pid && Gone(*pid)) {
      found.emplace_back(target, *pid);
    }
  }
  for (const auto &[target, pid] : found) {
    if (umount2(target.c_str(), 0) != 0 && umount2(target.c_str(), MNT_DETACH) != 0) {
      CannotRemove("the FunctionFS mount on " + target);
      continue;
    }
    Say("the FunctionFS mount on " + target, pid);
    // Its temp dir, wherever the temp dirs were then.
    if (MakerOf(fs::path(target).filename(), true) == pid && RemoveDirectory(target)) {
      Say("the temp dir " + target, pid);
    }
  }
}

// Temp dirs a gone process made; only empty ones go, so nothing else is lost.
void RemoveTempDirs() {
  for (const fs::path &path : Entries(fs::temp_directory_path())) {
    const auto pid = MakerOf(path.filename(), true);
    std::error_code error;
    if (pid && fs::is_directory(fs::symlink_status(path, error)) && Gone(*pid) &&
        RemoveDirectory(path)) {
      Say("the temp dir " + path.string(), *pid);
    }
  }
}

void RemoveLinks(const fs::path &directory) {
  std::error_code error;
  for (const fs::path &entry : Entries(directory)) {
    if (fs::is_symlink(fs::symlink_status(entry, error)) && unlink(entry.c_str()) != 0) {
      CannotRemove(entry);
    }
  }
}

// A gadget's configfs tree, from its leaves: the links to configurations and
// functions, then configurations, functions, strings and the gadget itself.
void RemoveGadget(const fs::path &gadget) {
  const int udc = open((gadget / "UDC").c_str(), O_WRONLY | O_CLOEXEC);
  if (udc >= 0) {
    (void)!write(udc, "\n", 1); // the kernel unbound it already, as a rule
    close(udc);
  }
  RemoveLinks(gadget / "os_desc");
  for (const fs::path &configuration : Entries(gadget / "configs")) {
    RemoveLinks(configuration);
    for (const fs::path &strings : Entries(configuration / "strings")) {
      RemoveDirectory(strings);
    }
    RemoveDirectory(configuration);
  }
  for (const char *group : {"functions", "strings"}) {
    for (const fs::path &entry : Entries(gadget / group)) {
      RemoveDirectory(entry);
    }
  }
  RemoveDirectory(gadget);
}

void RemoveGadgets() {
  for (const fs::path &gadget : Entries(GADGETS)) {
    const std::string name = gadget.filename();
    const auto pid = MakerOf(name, false);
    std::error_code error;
    // Its own FunctionFS instance tells a gadget of this command's making.
    if (pid && fs::exists(gadget / "functions" / ("ffs." + name), error) && Gone(*pid)) {
      RemoveGadget(gadget);
      if (!fs::exists(gadget, error)) {
        Say("the gadget " + gadget.string(), *pid);
      }
    }
  }
}

} // namespace

std::string OwnGadgetName() { return PREFIX + std::to_string(getpid()); }

void RemoveLeftoverGadgets() {
  RemoveMounts();
  RemoveTempDirs();
  RemoveGadgets();
}

} // namespace pelmora::gadget
