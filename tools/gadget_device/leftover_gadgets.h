// SPDX-License-Identifier: MIT
// What an earlier instance of this command left when it could not clean up
// (SIGKILL, the OOM killer): its configfs gadget, its FunctionFS mount and
// the temp dir under it, each named after its maker (gadget_maker.h).
#pragma once

#include <string>

namespace pelmora::gadget {

// The name of this process's gadget, its FunctionFS instance and temp dir.
std::string OwnGadgetName();

// Removes what instances that are provably gone left behind, saying on
// standard error what it removed. A live process's gadget, anything not
// named as this command names its own, and a temp dir that is not as mkdtemp
// made it stay untouched; so does whatever an instance in another PID
// namespace made, which it says.
void RemoveLeftoverGadgets();

} // namespace pelmora::gadget
