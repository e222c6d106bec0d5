// SPDX-License-Identifier: MIT
// What an earlier instance of this command left when it could not clean up
// (SIGKILL, the OOM killer): its configfs gadget, its FunctionFS mount and
// the temp dir under it. Each is marked with its maker's pid: the gadget and
// the FunctionFS instance are named "pelmora-PID", the temp dir
// "pelmora-PID.XXXXXX".
#pragma once

#include <string>

namespace pelmora::gadget {

// The name of this process's gadget, its FunctionFS instance and temp dir.
std::string OwnGadgetName();

// Removes what instances whose process is gone left behind, saying on
// standard error what it removed; a live process's gadget, and anything not
// named as this command names its own, stay untouched.
void RemoveLeftoverGadgets();

} // namespace pelmora::gadget
