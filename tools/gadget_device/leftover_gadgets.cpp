// SPDX-License-Identifier: MIT
#include "leftover_gadgets.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <vector>

#include "gadget_maker.h"

namespace pelmora::gadget {

namespace {

namespace fs = std::filesystem;

constexpr char GADGETS[] = "/sys/kernel/config/usb_gadget";

void Say(const std::string &what, const Maker &maker) {
  (void)std::fprintf(stderr,
                     "pelmora-gadget-device: removed %s, left by process %d, which is gone\n",
                     what.c_str(), static_cast<int>(maker.pid));
}

void CannotRemove(const std::string &path) {
  (void)std::fprintf(stderr, "pelmora-gadget-device: cannot remove %s: %s\n", path.c_str(),
                     std::strerror(errno));
}

// Whether what a name carries the maker of may go: only when its maker is
// provably gone. One of another PID namespace stays, and is named.
bool Removable(const std::string &what, const std::optional<Maker> &maker, const Maker &judge) {
  if (!maker) {
    return false;
  }
  switch (FateOf(*maker, judge)) {
  case Fate::Gone:
    return true;
  case Fate::Unknowable:
    (void)std::fprintf(stderr,
                       "pelmora-gadget-device: left %s alone: process %d made it in another PID "
                       "namespace (pid:[%llu]), where this one cannot tell whether it runs\n",
                       what.c_str(), static_cast<int>(maker->pid),
                       static_cast<unsigned long long>(maker->pidNamespace));
    return false;
  case Fate::Alive:
    break;
  }
  return false;
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

// A temp dir as mkdtemp made it for this command: a directory, not a link,
// of root's or this user's, mode 0700. Anyone may make a folder of that name.
bool MadeByMkdtemp(const fs::path &path) {
  struct stat made {};
  return lstat(path.c_str(), &made) == 0 && S_ISDIR(made.st_mode) &&
         (made.st_uid == 0 || made.st_uid == geteuid()) && (made.st_mode & 07777) == 0700;
}

// A field of /proc/self/mounts, where space, tab, newline and backslash are
// written as octal escapes.
std::string Unescaped(const std::string &field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto octal = [&](std::size_t at) {
      return at < field.size() && field[at] >= '0' && field[at] <= '7';
    };
    if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
      text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                (field[i + 3] - '0'));
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

// FunctionFS mounts whose instance a gone process made, and their temp dirs.
void RemoveMounts(const Maker &judge) {
  std::ifstream mounts("/proc/self/mounts");
  std::string line;
  std::vector<std::pair<std::string, Maker>> found;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string source;
    std::string target;
    std::string type;
    fields >> source >> target >> type;
    target = Unescaped(target);
    const auto maker = MakerOf(Unescaped(source), false);
    if (type == "functionfs" && Removable("the FunctionFS mount on " + target, maker, judge)) {
      found.emplace_back(target, *maker);
    }
  }
  for (const auto &[target, maker] : found) {
    if (umount2(target.c_str(), 0) != 0 && umount2(target.c_str(), MNT_DETACH) != 0) {
      CannotRemove("the FunctionFS mount on " + target);
      continue;
    }
    Say("the FunctionFS mount on " + target, maker);
    // Its temp dir, wherever the temp dirs were then.
    const auto dirMaker = MakerOf(fs::path(target).filename(), true);
    if (dirMaker && NameOf(*dirMaker) == NameOf(maker) && MadeByMkdtemp(target) &&
        RemoveDirectory(target)) {
      Say("the temp dir " + target, maker);
    }
  }
}

// Temp dirs a gone process made; only empty ones go, so nothing else is lost.
void RemoveTempDirs(const Maker &judge) {
  for (const fs::path &path : Entries(fs::temp_directory_path())) {
    const auto maker = MakerOf(path.filename(), true);
    if (maker && MadeByMkdtemp(path) && Removable("the temp dir " + path.string(), maker, judge) &&
        RemoveDirectory(path)) {
      Say("the temp dir " + path.string(), *maker);
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

void RemoveGadgets(const Maker &judge) {
  for (const fs::path &gadget : Entries(GADGETS)) {
    const std::string name = gadget.filename();
    const auto maker = MakerOf(name, false);
    std::error_code error;
    // Its own FunctionFS instance tells a gadget of this command's making.
    if (maker && fs::exists(gadget / "functions" / ("ffs." + name), error) &&
        Removable("the gadget " + gadget.string(), maker, judge)) {
      RemoveGadget(gadget);
      if (!fs::exists(gadget, error)) {
        Say("the gadget " + gadget.string(), *maker);
      }
    }
  }
}

} // namespace

std::string OwnGadgetName() { return NameOf(ThisProcess()); }

void RemoveLeftoverGadgets() {
  const Maker judge = ThisProcess();
  RemoveMounts(judge);
  RemoveTempDirs(judge);
  RemoveGadgets(judge);
}

} // namespace pelmora::gadget
