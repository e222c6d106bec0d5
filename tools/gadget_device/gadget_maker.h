// SPDX-License-Identifier: MIT
// Who made a gadget, in a form that holds across PID namespaces: the maker's
// pid, the inode of its PID namespace and its start time (clock ticks since
// boot), written into the names of everything it makes, so that its
// leftovers carry it whatever killed it. A gadget and its FunctionFS
// instance are named "pelmora-PID-NS-START" (NS and START in hex), its temp
// dir "pelmora-PID-NS-START.XXXXXX".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace pelmora::gadget {

struct Maker {
  pid_t pid;
  std::uint64_t pidNamespace;
  std::uint64_t startTime;
};

// This process; throws when /proc cannot tell.
Maker ThisProcess();

// The name of the gadget, FunctionFS instance and temp dir this maker makes.
std::string NameOf(const Maker &maker);

// The maker a name carries, or in a temp dir's name when suffixed; nothing
// for a name this command did not give.
std::optional<Maker> MakerOf(const std::string &name, bool suffixed);

enum class Fate {
  Alive,
  Gone,
  // Made in another PID namespace, where pids mean other processes.
  Unknowable,
};

// Whether the maker still runs, as judge (this process) can tell.
Fate FateOf(const Maker &maker, const Maker &judge);

} // namespace pelmora::gadget
