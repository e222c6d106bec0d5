// SPDX-License-Identifier: MIT
#include "program_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include "count_argument.h"
#include "memory_file.h"
#include "run_state.h"

namespace {

// Makes a standard stream use a new descriptor and forget any orientation
// or buffered state it had in the test process.
void Rebind(std::FILE *stream, const char *mode, int target, int fd) {
  if (std::freopen("/dev/null", mode, stream) == nullptr) {
    _exit(127);
  }
  if (fd < 0) {
    close(target);
  } else {
    dup2(fd, target);
  }
}

// The call log and the received bytes, as the child hands them back.
void SaveDeviceRecord(int fd) {
  std::string record = std::to_string(CallLog().size()) + "\n";
  for (const std::string &call : CallLog()) {
    record += call + "\n";
  }
  record += ReceivedBytes();
  WriteAll(fd, record);
}

void LoadDeviceRecord(const std::string &record, ProgramRun &run) {
  std::size_t position = record.find('\n');
  const std::size_t count = std::stoul(record.substr(0, position));
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t start = position + 1;
    position = record.find('\n', start);
    run.calls.push_back(record.substr(start, position - start));
  }
  run.received = record.substr(position + 1);
}

[[noreturn]] void RunChild(const DeviceScript &device, const RunOptions &options, int inputFd,
                           int outputFd, int errorFd, int recordFd) {
  Rebind(stdin, "r", STDIN_FILENO, inputFd);
  Rebind(stdout, "w", STDOUT_FILENO, outputFd);
  dup2(errorFd, STDERR_FILENO);

  Script() = device;
  std::vector<const char *> argv = {"pelmora-winusb-test"};
  for (const std::string &argument : options.arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);
  errno = 0;
  const int status =
      RunMainSequence(CountFromArguments(static_cast<int>(argv.size() - 1), argv.data()));
  SaveDeviceRecord(recordFd);
  // A normal exit, so buffered standard output is flushed as in a real run.
  std::exit(status);
}

} // namespace

ProgramRun RunProgram(const DeviceScript &device, const RunOptions &options) {
  int inputFd = -1;
  int pipeWriteEnd = -1;
  switch (options.inputKind) {
  case InputKind::Bytes:
    inputFd = MemoryFile("stdin");
    WriteAll(inputFd, options.input);
    lseek(inputFd, 0, SEEK_SET);
    break;
  case InputKind::Closed:
    break;
  case InputKind::BytesThenError: {
    // A non-blocking pipe that stays open: once its bytes are read, the next
    // read fails instead of reporting the end of input.
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0 || options.input.size() > 65536) {
      throw std::runtime_error("cannot make the input pipe");
    }
    WriteAll(ends[1], options.input);
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    inputFd = ends[0];
    pipeWriteEnd = ends[1];
    break;
  }
  }
  int outputFd = -1;
  if (options.outputKind == OutputKind::Captured) {
    outputFd = MemoryFile("stdout");
  } else if (options.outputKind == OutputKind::Full) {
    outputFd = open("/dev/full", O_WRONLY | O_CLOEXEC);
  }
  const int errorFd = MemoryFile("stderr");
  const int recordFd = MemoryFile("record");

  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    RunChild(device, options, inputFd, outputFd, errorFd, recordFd);
  }
  ProgramRun run;
  int status = 0;
  waitpid(child, &status, 0);
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (options.outputKind == OutputKind::Captured) {
    run.out = ReadAllFrom(outputFd);
  }
  run.err = ReadAllFrom(errorFd);
  const std::string record = ReadAllFrom(recordFd);
  if (!record.empty()) {
    LoadDeviceRecord(record, run);
  }
  for (const int fd : {inputFd, pipeWriteEnd, outputFd, errorFd, recordFd}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  return run;
}

std::vector<std::string> ProgramRun::CallsTo(const std::string &function) const {
  std::vector<std::string> found;
  for (const std::string &call : calls) {
    if (call.rfind(function + " ", 0) == 0) {
      found.push_back(call.substr(function.size() + 1));
    }
  }
  return found;
}

std::vector<unsigned long> ProgramRun::Lengths(const std::string &function) const {
  std::vector<unsigned long> lengths;
  for (const std::string &call : CallsTo(function)) {
    const std::size_t at = call.find("length=");
    lengths.push_back(std::stoul(call.substr(at + 7)));
  }
  return lengths;
}

std::string ErrorText(int error) { return std::strerror(error); }
