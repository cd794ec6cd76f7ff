// Runs a program of the build as a child process, its output captured in files.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testsupport {

class Subprocess {
 public:
  // Where standard output and error go: files the test reads, or a pipe nobody reads (writing
  // there fails with EPIPE or raises SIGPIPE).
  enum class Outputs { kCaptured, kClosed };

  // Starts program with args; standard input comes from inputFile ("" for /dev/null), standard
  // error goes to errorDevice when one is given (a terminal, say) instead of a file.
  Subprocess(const std::string& program, const std::vector<std::string>& args,
             const std::string& inputFile = "", const std::string& errorDevice = "",
             Outputs outputs = Outputs::kCaptured)
      : outPath_(dir_.file("stdout")), errPath_(dir_.file("stderr")) {
    std::vector<char*> argv;
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    for (auto& a : all) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(
        &actions, 0, inputFile.empty() ? "/dev/null" : inputFile.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (errorDevice.empty()) {
      posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
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
    int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (closed[1] >= 0) ::close(closed[1]);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
  }
  ~Subprocess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  void signal(int number) { ::kill(pid_, number); }

  // Waits for the end; the exit status, or 128 + signal.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string out() const { return readFile(outPath_); }
  std::string err() const { return readFile(errPath_); }

 private:
  TempDir dir_;
  std::string outPath_, errPath_;
  pid_t pid_ = -1;
};

// Runs to the end and returns the exit status.
inline int run(const std::string& program, const std::vector<std::string>& args,
               std::string* out = nullptr, std::string* err = nullptr,
               const std::string& inputFile = "") {
  Subprocess child(program, args, inputFile);
  int status = child.wait();
  if (out) *out = child.out();
  if (err) *err = child.err();
  return status;
}

}  // namespace testsupport
