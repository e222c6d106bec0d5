// SPDX-License-Identifier: MIT
// A gadget on the kernel's USB device stack, made in configfs: 1209:0001 with
// strings, one configuration holding one FunctionFS function (after an ACM
// function, in a composite gadget), Microsoft OS 1.0 descriptors switched on
// for that configuration, and the function's FunctionFS mounted. Whatever it made is removed, in
// reverse order, when it is destroyed, even when it could not be made whole.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace pelmora::gadget {

// What is missing for a gadget, and how to get it.
class SetupError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Throws when configfs or libcomposite is missing.
void CheckGadgetStack();

// The controller named, or when none is named the only one present.
std::string ChooseController(const std::string &wanted);

class ConfigfsGadget {
public:
  // name: the gadget's directory and its functions' instance; vendorCode: the
  // request that Microsoft OS 1.0 descriptors are read with; composite: the
  // kernel's ACM function comes first, so that it takes interfaces 0 and 1
  // and the FunctionFS function interface 2.
  ConfigfsGadget(const std::string &name, std::uint8_t vendorCode, bool composite);
  ~ConfigfsGadget();
  ConfigfsGadget(const ConfigfsGadget &) = delete;
  ConfigfsGadget &operator=(const ConfigfsGadget &) = delete;

  const std::string &FunctionFsDirectory() const { return mountPoint_; }
  // Plugs the gadget into the controller once its function is ready, and
  // unplugs it.
  void Bind(const std::string &controller);
  void Unbind();

private:
  enum class Undo { RemoveDirectory, RemoveLink, Unmount };

  // Undoes on destruction, so that members made before a failure go too.
  struct Made {
    ~Made();
    std::vector<std::pair<Undo, std::string>> steps;
  };

  void MakeDirectory(const std::string &path, const char *missing = nullptr);
  void Link(const std::string &target, const std::string &link);

  Made made_;
  std::string root_;
  std::string mountPoint_;
  bool bound_ = false;
};

} // namespace pelmora::gadget
