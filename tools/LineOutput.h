// Where udplog-recv writes the reassembled lines: standard output or a file, each line followed
// by "\n". Owned and called by the receiving thread only.
//
// The first failed write is remembered with its cause and every later write is skipped, so the
// caller checks failed() once per batch and stops: a full disk or a reader that went away (EPIPE,
// with SIGPIPE ignored) ends the run with an error instead of lines silently vanishing.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class LineOutput final {
 public:
  // Standard output until open() names a file.
  LineOutput();
  ~LineOutput();
  LineOutput(const LineOutput&) = delete;
  LineOutput& operator=(const LineOutput&) = delete;

  // Opens path for writing ("-" keeps standard output); false with error() set.
  bool open(const std::string& path);

  // From now on, every vertical tab of a line is written as separator.
  void showTabsAs(char separator);

  void write(std::string_view line);
  // Hands buffered lines to the system.
  void flush();
  // Flushes and closes a file; false when this or any earlier write failed.
  bool close();

  bool failed() const { return !error_.empty(); }
  // "cannot write /path/out.txt: No space left on device"; empty while nothing failed.
  const std::string& error() const { return error_; }
  const std::string& name() const { return name_; }

 private:
  void fail(const char* what, int error);

  std::FILE* file_;
  std::string name_;
  std::string error_;
  bool replaceTabs_ = false;
  char separator_ = 0;
  std::string shown_;  // a line with its tabs replaced
};
