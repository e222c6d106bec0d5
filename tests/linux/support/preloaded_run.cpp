// SPDX-License-Identifier: MIT
#include "preloaded_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "memory_file.h"

namespace {

// Sanitizer runtimes want to be loaded first; the preload comes before them.
std::string AsanOptions() {
  std::string options = "verify_asan_link_order=0";
  if (const char *existing = std::getenv("ASAN_OPTIONS"); existing != nullptr && *existing) {
    options = std::string(existing) + ":" + options;
  }
  return options;
}

} // namespace

ChildRun RunPreloaded(const std::string &program, const std::vector<std::string> &arguments,
                      const std::string &input) {
  const int in = MemoryFile("stdin");
  WriteAll(in, input);
  lseek(in, 0, SEEK_SET);
  const int out = MemoryFile("stdout");
  const int err = MemoryFile("stderr");
  const std::string asanOptions = AsanOptions();

  std::vector<char *> argv = {const_cast<char *>(program.c_str())};
  for (const std::string &argument : arguments) {
    argv.push_back(const_cast<char *>(argument.c_str()));
  }
  argv.push_back(nullptr);

  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ChildRun run;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = ReadAllFrom(out);
  run.err = ReadAllFrom(err);
  for (const int fd : {in, out, err}) {
    close(fd);
  }
  return run;
}
