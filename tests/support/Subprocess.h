// Runs a program of the build as a child process, its output captured in files: posix_spawn on
// POSIX systems, CreateProcess on Windows. One thread uses a child.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace testsupport {

class Subprocess {
 public:
  // Where standard output and error go: files the test reads, or a pipe nobody reads (writing
  // there fails, with EPIPE, or raises SIGPIPE where it is not ignored).
  enum class Outputs { kCaptured, kClosed };
  // As inputFile: the child starts with standard input closed (POSIX systems; elsewhere the null
  // device).
  static constexpr const char* kClosedInput = "<closed>";

  // Starts program with args; standard input comes from inputFile ("" for the null device),
  // standard error goes to errorDevice when one is given (a terminal, say) instead of a file.
  Subprocess(const std::string& program, const std::vector<std::string>& args,
             const std::string& inputFile = "", const std::string& errorDevice = "",
             Outputs outputs = Outputs::kCaptured);
  // Kills the child if it still runs.
  ~Subprocess();
  Subprocess(const Subprocess&) = delete;
  Subprocess& operator=(const Subprocess&) = delete;

  // Sends a signal (POSIX systems); on Windows ends the child with status 128 + number.
  void signal(int number);

  // The child's process id while it runs (a benchmark reads its CPU time and memory); -1 after
  // wait().
  long id() const;

  // Waits for the end; the exit status, or 128 + signal.
  int wait();

  std::string out() const { return readFile(outPath); }
  std::string err() const { return readFile(errPath); }

 private:
  struct Child;  // the platform's process handle

  TempDir dir;
  std::string outPath, errPath;
  std::unique_ptr<Child> child;
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
