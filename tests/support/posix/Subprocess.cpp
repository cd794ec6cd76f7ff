#include "tests/support/Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

struct Subprocess::Child {
  pid_t pid = -1;
};

Subprocess::Subprocess(const std::string& program, const std::vector<std::string>& args,
                       const std::string& inputFile, const std::string& errorDevice,
                       Outputs outputs)
    : outPath(dir.file("stdout")), errPath(dir.file("stderr")), child(new Child) {
  std::vector<char*> argv;
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  for (auto& a : all) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inputFile == kClosedInput) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_addopen(
        &actions, 0, inputFile.empty() ? "/dev/null" : inputFile.c_str(), O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (errorDevice.empty()) {
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, errorDevice.c_str(), O_WRONLY, 0);
  }
  int closed[2] = {-1, -1};
  if (outputs == Outputs::kClosed && ::pipe2(closed, O_CLOEXEC) == 0) {
    ::close(closed[0]);  // no reader, ever
    posix_spawn_file_actions_adddup2(&actions, closed[1], 1);
    posix_spawn_file_actions_adddup2(&actions, closed[1], 2);
  }
  int rc = posix_spawn(&child->pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (closed[1] >= 0) ::close(closed[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + program);
}

Subprocess::~Subprocess() {
  if (child->pid > 0) {
    ::kill(child->pid, SIGKILL);
    ::waitpid(child->pid, nullptr, 0);
  }
}

void Subprocess::signal(int number) {
  if (child->pid > 0) ::kill(child->pid, number);  // never -1: that would signal every process
}

long Subprocess::id() const { return child->pid; }

int Subprocess::wait() {
  int status = 0;
  ::waitpid(child->pid, &status, 0);
  child->pid = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testsupport
