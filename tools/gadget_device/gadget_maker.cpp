// SPDX-License-Identifier: MIT
#include "gadget_maker.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pelmora::gadget {

namespace {

constexpr char PREFIX[] = "pelmora-";

std::string LinkText(const std::string &path) {
  char text[64];
  const ssize_t length = readlink(path.c_str(), text, sizeof text);
  return length > 0 && static_cast<std::size_t>(length) < sizeof text
             ? std::string(text, static_cast<std::size_t>(length))
             : std::string();
}

// The inode in a namespace link's text, "pid:[4026531836]".
std::optional<std::uint64_t> NamespaceOf(const std::string &process) {
  const std::string text = LinkText(process + "/ns/pid");
  const std::size_t open = text.find('[');
  std::uint64_t inode = 0;
  if (open == std::string::npos ||
      std::from_chars(text.data() + open + 1, text.data() + text.size(), inode).ec != std::errc()) {
    return std::nullopt;
  }
  return inode;
}

struct ProcessState {
  char state;
  std::uint64_t startTime;
};

// Fields 3 (state) and 22 (start time) of /proc/PID/stat, read after the
// command name, which may hold anything up to its last ')'.
std::optional<ProcessState> StateOf(const std::string &process) {
  std::ifstream file(process + "/stat");
  std::string line;
  const std::size_t nameEnd = std::getline(file, line) ? line.rfind(')') : std::string::npos;
  if (nameEnd == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream fields(line.substr(nameEnd + 1));
  ProcessState state{};
  fields >> state.state;
  std::string skipped;
  for (int field = 4; field < 22; ++field) {
    fields >> skipped;
  }
  if (!(fields >> state.startTime)) {
    return std::nullopt;
  }
  return state;
}

// Parses a number of at most digits digits at text[at], moving at past it.
template <typename Number>
bool Parse(const std::string &text, std::size_t &at, int base, std::size_t digits, Number &number) {
  if (at >= text.size()) {
    return false;
  }
  const char *start = text.data() + at;
  const char *end = text.data() + std::min(text.size(), at + digits);
  const auto [stop, error] = std::from_chars(start, end, number, base);
  if (error != std::errc() || stop == start) {
    return false;
  }
  at += static_cast<std::size_t>(stop - start);
  return true;
}

bool Dash(const std::string &text, std::size_t &at) {
  if (at >= text.size() || text[at] != '-') {
    return false;
  }
  ++at;
  return true;
}

} // namespace

Maker ThisProcess() {
  // Pids read in a /proc of another namespace would be other processes'.
  if (LinkText("/proc/self") != std::to_string(getpid())) {
    throw std::runtime_error("/proc is not this PID namespace's: mount it anew there (unshare "
                             "--mount-proc does), so that leftovers can be judged");
  }
  const auto pidNamespace = NamespaceOf("/proc/self");
  const auto state = StateOf("/proc/self");
  if (!pidNamespace || !state) {
    throw std::runtime_error("cannot read this process's PID namespace and start time in /proc");
  }
  return {getpid(), *pidNamespace, state->startTime};
}

std::string NameOf(const Maker &maker) {
  std::ostringstream name;
  name << PREFIX << maker.pid << '-' << std::hex << maker.pidNamespace << '-' << maker.startTime;
  return name.str();
}

std::optional<Maker> MakerOf(const std::string &name, bool suffixed) {
  if (name.rfind(PREFIX, 0) != 0) {
    return std::nullopt;
  }
  std::size_t at = sizeof PREFIX - 1;
  Maker maker{};
  const bool parsed = Parse(name, at, 10, 9, maker.pid) && Dash(name, at) &&
                      Parse(name, at, 16, 16, maker.pidNamespace) && Dash(name, at) &&
                      Parse(name, at, 16, 16, maker.startTime);
  const bool ends = suffixed ? at < name.size() && name[at] == '.' : at == name.size();
  // Only the exact spelling this command writes.
  if (!parsed || maker.pid <= 0 || !ends || name.compare(0, at, NameOf(maker)) != 0) {
    return std::nullopt;
  }
  return maker;
}

Fate FateOf(const Maker &maker, const Maker &judge) {
  if (maker.pidNamespace != judge.pidNamespace) {
    return Fate::Unknowable;
  }
  // A zombie has closed its files already; another start time is a new
  // process with a reused pid, this one included.
  const auto state = StateOf("/proc/" + std::to_string(maker.pid));
  return state && state->state != 'Z' && state->startTime == maker.startTime ? Fate::Alive
                                                                             : Fate::Gone;
}

} // namespace pelmora::gadget
