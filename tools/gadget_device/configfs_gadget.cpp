// SPDX-License-Identifier: MIT
#include "configfs_gadget.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace pelmora::gadget {

namespace {

constexpr char CONFIGFS[] = "/sys/kernel/config";
// configfs's superblock magic; linux/magic.h does not carry it.
constexpr long CONFIGFS_MAGIC = 0x62656570;
constexpr char GADGETS[] = "/sys/kernel/config/usb_gadget";
constexpr char CONTROLLERS[] = "/sys/class/udc";
constexpr char NEEDS_ROOT[] = "; setting up a gadget needs root";
constexpr char FUNCTIONFS_MISSING[] = "FunctionFS is missing: load it with 'modprobe usb_f_fs'";
constexpr char ACM_MISSING[] = "the ACM function is missing: load it with 'modprobe usb_f_acm'";

std::string Failed(const std::string &what, int error) {
  std::string message = what + ": " + std::strerror(error);
  if (error == EACCES || error == EPERM) {
    message += NEEDS_ROOT;
  }
  return message;
}

// 0, or why the attribute could not be written.
int WriteAttribute(const std::string &path, const std::string &text) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = written ? 0 : errno;
  close(fd);
  return error;
}

void Write(const std::string &path, const std::string &text) {
  if (const int error = WriteAttribute(path, text); error != 0) {
    throw SetupError(Failed("cannot write '" + text + "' to " + path, error));
  }
}

std::string List(const std::vector<std::string> &names) {
  std::string list;
  for (const auto &name : names) {
    list += (list.empty() ? "" : ", ") + name;
  }
  return list;
}

} // namespace

void CheckGadgetStack() {
  struct statfs filesystem {};
  if (statfs(CONFIGFS, &filesystem) != 0) {
    throw SetupError(std::string("configfs is missing (no ") + CONFIGFS +
                     "): load it with 'modprobe configfs'");
  }
  if (filesystem.f_type != CONFIGFS_MAGIC) {
    throw SetupError(std::string("configfs is not mounted on ") + CONFIGFS +
                     ": mount it with 'mount -t configfs none " + CONFIGFS + "'");
  }
  if (access(GADGETS, F_OK) != 0) {
    throw SetupError(std::string("the kernel's USB gadget framework is not loaded (no ") + GADGETS +
                     "): load it with 'modprobe libcomposite'");
  }
}

std::string ChooseController(const std::string &wanted) {
  std::vector<std::string> present;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(CONTROLLERS, error)) {
    present.push_back(entry.path().filename());
  }
  std::sort(present.begin(), present.end());
  if (present.empty()) {
    throw SetupError(std::string("no USB device controller (") + CONTROLLERS +
                     " is empty): on a board, enable its device-mode controller "
                     "(Raspberry Pi: the dwc2 overlay); on a PC, load the virtual one with "
                     "'modprobe dummy_hcd'");
  }
  if (!wanted.empty()) {
    if (std::find(present.begin(), present.end(), wanted) == present.end()) {
      throw SetupError("no USB device controller named '" + wanted +
                       "'; present: " + List(present));
    }
    return wanted;
  }
  if (present.size() > 1) {
    throw SetupError("several USB device controllers (" + List(present) +
                     "): choose one with --udc");
  }
  return present.front();
}

ConfigfsGadget::Made::~Made() {
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    const char *path = step->second.c_str();
    bool done = true;
    switch (step->first) {
    case Undo::RemoveDirectory:
      done = rmdir(path) == 0;
      break;
    case Undo::RemoveLink:
      done = unlink(path) == 0;
      break;
    case Undo::Unmount:
      done = umount2(path, 0) == 0 || umount2(path, MNT_DETACH) == 0;
      break;
    }
    if (!done) {
      (void)std::fprintf(stderr, "pelmora-gadget-device: cannot remove %s: %s\n", path,
                         std::strerror(errno));
    }
  }
}

void ConfigfsGadget::MakeDirectory(const std::string &path, const char *missing) {
  if (mkdir(path.c_str(), 0755) != 0) {
    if (errno == ENOENT && missing != nullptr) {
      throw SetupError(missing);
    }
    throw SetupError(Failed("cannot create " + path, errno));
  }
  made_.steps.emplace_back(Undo::RemoveDirectory, path);
}

void ConfigfsGadget::Link(const std::string &target, const std::string &link) {
  if (symlink(target.c_str(), link.c_str()) != 0) {
    throw SetupError(Failed("cannot link " + link + " to " + target, errno));
  }
  made_.steps.emplace_back(Undo::RemoveLink, link);
}

ConfigfsGadget::ConfigfsGadget(const std::string &name, std::uint8_t vendorCode, bool composite)
    : root_(std::string(GADGETS) + "/" + name) {
  MakeDirectory(root_);
  Write(root_ + "/idVendor", "0x1209");
  Write(root_ + "/idProduct", "0x0001");
  Write(root_ + "/bcdDevice", "0x0100");
  if (composite) {
    // Miscellaneous, common class, interface association: the ACM function's
    // association tells its two interfaces apart from the loopback.
    Write(root_ + "/bDeviceClass", "0xEF");
    Write(root_ + "/bDeviceSubClass", "0x02");
    Write(root_ + "/bDeviceProtocol", "0x01");
  }
  MakeDirectory(root_ + "/strings/0x409");
  Write(root_ + "/strings/0x409/manufacturer", "pelmora");
  Write(root_ + "/strings/0x409/product", "loopback");
  Write(root_ + "/strings/0x409/serialnumber", "0001");

  const std::string configuration = root_ + "/configs/c.1";
  MakeDirectory(configuration);
  Write(configuration + "/MaxPower", "100");
  MakeDirectory(configuration + "/strings/0x409");
  Write(configuration + "/strings/0x409/configuration", "loopback");

  // The kernel loads usb_f_fs and usb_f_acm by itself where it can. It
  // numbers interfaces in the order functions are linked.
  if (composite) {
    const std::string acm = root_ + "/functions/acm." + name;
    MakeDirectory(acm, ACM_MISSING);
    Link(acm, configuration + "/acm." + name);
  }
  const std::string function = root_ + "/functions/ffs." + name;
  MakeDirectory(function, FUNCTIONFS_MISSING);
  Link(function, configuration + "/ffs." + name);

  // The kernel answers string 0xEE and the extended compat ID and properties
  // requests itself, from the function's Microsoft OS descriptors.
  Write(root_ + "/os_desc/use", "1");
  char code[8];
  (void)std::snprintf(code, sizeof code, "0x%02x", vendorCode);
  Write(root_ + "/os_desc/b_vendor_code", code);
  Write(root_ + "/os_desc/qw_sign", "MSFT100");
  Link(configuration, root_ + "/os_desc/c.1");

  // Named after the gadget, so that a later run can tell whose it was.
  std::string mountPoint = (std::filesystem::temp_directory_path() / (name + ".XXXXXX"));
  if (mkdtemp(mountPoint.data()) == nullptr) {
    throw SetupError(Failed("cannot create a directory like " + mountPoint, errno));
  }
  made_.steps.emplace_back(Undo::RemoveDirectory, mountPoint);
  if (mount(name.c_str(), mountPoint.c_str(), "functionfs", 0, nullptr) != 0) {
    if (errno == ENODEV) {
      throw SetupError(FUNCTIONFS_MISSING);
    }
    throw SetupError(Failed("cannot mount FunctionFS on " + mountPoint, errno));
  }
  made_.steps.emplace_back(Undo::Unmount, mountPoint);
  mountPoint_ = mountPoint;
}

ConfigfsGadget::~ConfigfsGadget() { Unbind(); }

void ConfigfsGadget::Bind(const std::string &controller) {
  if (const int error = WriteAttribute(root_ + "/UDC", controller); error == EBUSY) {
    throw SetupError("USB device controller " + controller + " is in use by another gadget (see " +
                     GADGETS + ")");
  } else if (error != 0) {
    throw SetupError(Failed("cannot bind the gadget to " + controller, error));
  }
  bound_ = true;
}

void ConfigfsGadget::Unbind() {
  if (bound_) {
    bound_ = false;
    if (const int error = WriteAttribute(root_ + "/UDC", "\n"); error != 0) {
      (void)std::fprintf(stderr, "pelmora-gadget-device: cannot unbind the gadget: %s\n",
                         std::strerror(error));
    }
  }
}

} // namespace pelmora::gadget
