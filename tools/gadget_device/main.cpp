// SPDX-License-Identifier: MIT
// Serves the project's loopback device from this machine's USB device
// controller, through the kernel's gadget stack (configfs, FunctionFS), to
// whatever host it is plugged into; with dummy_hcd, to this machine itself.
// Runs until SIGINT, SIGTERM or SIGHUP, then removes the gadget.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "configfs_gadget.h"
#include "descriptors.h"
#include "device_options.h"
#include "echo_function.h"
#include "function_descriptors.h"
#include "leftover_gadgets.h"

namespace {

using pelmora::emulated::DeviceOption;
using pelmora::emulated::DeviceSpec;
using pelmora::emulated::Faults;

constexpr char USAGE[] =
    "usage: pelmora-gadget-device [options]\n"
    "Serves the USB loopback device (1209:0001; bulk OUT, bulk IN, interrupt IN; Microsoft OS\n"
    "1.0 descriptors that make Windows bind WinUSB) from this machine's USB device controller,\n"
    "through configfs and FunctionFS, until interrupted. Needs root.\n"
    "options:\n"
    "  --udc NAME             the controller in /sys/class/udc (default: the only one)\n"
    "  --guid TEXT            declare this interface class GUID instead\n"
    "  --composite            put the kernel's ACM function (interfaces 0 and 1) before the\n"
    "                         loopback, which is then interface 2\n"
    "  --in-packet BYTES      send IN data in packets of at most BYTES\n"
    "  --stall N              halt both bulk endpoints from the Nth pipe transfer on, until\n"
    "                         the host clears them (an OUT transfer ends with a short packet)\n"
    "  --log PATH             write one line per request and event to PATH\n";

void PrintUsage(std::FILE *stream) {
  (void)std::fputs(USAGE, stream);
  (void)std::fputs(pelmora::emulated::LOG_LIMIT_HELP, stream);
  (void)std::fputs(pelmora::emulated::QUEUE_LIMIT_HELP, stream);
}

[[noreturn]] void Usage(const std::string &problem) {
  (void)std::fprintf(stderr, "pelmora-gadget-device: %s\n", problem.c_str());
  PrintUsage(stderr);
  std::exit(2);
}

void Nothing(int) {}

} // namespace

int main(int argc, char **argv) {
  // Signals wait for the main thread, which removes the gadget; workers are
  // woken from blocking calls by a signal whose handler does nothing.
  sigset_t ending;
  sigemptyset(&ending);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, pelmora::gadget::FAILURE_SIGNAL}) {
    sigaddset(&ending, signal);
  }
  pthread_sigmask(SIG_BLOCK, &ending, nullptr);
  struct sigaction interrupt {};
  interrupt.sa_handler = Nothing;
  sigaction(pelmora::gadget::INTERRUPT_SIGNAL, &interrupt, nullptr);

  DeviceSpec spec;
  Faults faults;
  std::string controller;
  std::string logPath;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (option == "--udc" || option == "--log") {
      if (value == nullptr) {
        Usage(std::string(option) + " needs a value");
      }
      (option == "--udc" ? controller : logPath) = value;
      ++i;
    } else if (option == "--help" || option == "-h") {
      PrintUsage(stdout);
      return 0;
    } else if (option == "--guid" || option == "--in-packet" || option == "--stall" ||
               option == "--composite" || option == "--queue-limit" || option == "--log-limit") {
      if (std::string problem; pelmora::emulated::ApplyDeviceOption(
                                   argc, argv, i, spec, faults, problem) != DeviceOption::Applied) {
        Usage(problem);
      }
    } else {
      DeviceSpec ignoredSpec;
      Faults ignoredFaults;
      std::string problem;
      if (pelmora::emulated::ApplyDeviceOption(argc, argv, i, ignoredSpec, ignoredFaults,
                                               problem) != DeviceOption::NotOurs) {
        problem = std::string(option) + " is a variant of the emulated device that a real "
                                        "controller cannot show";
      }
      Usage(problem);
    }
  }
  if (const std::string problem = pelmora::emulated::CheckDeviceOptions(spec, faults);
      !problem.empty()) {
    Usage(problem);
  }

  pelmora::emulated::DeviceLog log(nullptr, std::fclose);
  if (!pelmora::emulated::OpenDeviceLog(logPath, spec.logLimit, log)) {
    return 1;
  }

  try {
    pelmora::gadget::CheckGadgetStack();
    pelmora::gadget::RemoveLeftoverGadgets();
    controller = pelmora::gadget::ChooseController(controller);
    pelmora::gadget::ConfigfsGadget gadget(pelmora::gadget::OwnGadgetName(),
                                           pelmora::emulated::MS_OS_10_VENDOR_CODE, spec.composite);
    pelmora::gadget::EchoFunction function(
        gadget.FunctionFsDirectory(), pelmora::gadget::FunctionDescriptors(spec.interfaceGuid),
        pelmora::gadget::FunctionStrings(),
        {faults.inPacketSize, faults.stallTransfer, controller, spec.queueLimit}, log.get());
    function.Start();
    gadget.Bind(controller);
    (void)std::printf("serving 1209:0001 on %s\n", controller.c_str());
    (void)std::fflush(stdout);

    int signal = 0;
    sigwait(&ending, &signal);
    gadget.Unbind();
    function.Stop();
    return signal == pelmora::gadget::FAILURE_SIGNAL ? 1 : 0;
  } catch (const std::exception &error) {
    (void)std::fprintf(stderr, "pelmora-gadget-device: %s\n", error.what());
    return 1;
  }
}
