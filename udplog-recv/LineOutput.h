// Where udplog-recv writes the reassembled lines: standard output or a file, each line followed
// by "\n", the lines waiting whole in a buffer of its own. Owned and called by the receiving
// thread only. The first failed write is remembered with its cause and every later one skipped:
// the caller checks failed() once per batch and stops.
#pragma once

#include <string>
#include <string_view>

class LineOutput final {
 public:
  // Standard output until open() names a file.
  LineOutput();
  ~LineOutput();
  LineOutput(const LineOutput&) = delete;
  LineOutput& operator=(const LineOutput&) = delete;

  // Opens path for appending, creating it if missing ("-" keeps standard output), so a restart
  // keeps what was collected; false with error() set.
  bool open(const std::string& path);
  // Hands the buffered lines to the file, then opens its path again: a new file after the old one
  // was renamed away (logrotate); no line is split between the two. False with error set when
  // the path cannot be opened (the old file stays in use) or nothing is to be reopened (standard
  // output).
  bool reopen(std::string& error);

  // From now on, every vertical tab of a line is written as separator.
  void showTabsAs(char separator);

  // Buffers line and its "\n". line need only be valid during the call: its bytes are copied.
  void write(std::string_view line);
  // Hands buffered lines to the system with write(2), which is retried when a signal interrupts
  // it: a signal never cuts a line or fails a write into a full pipe. A full disk or a reader that
  // went away (EPIPE, with SIGPIPE ignored) fails it, so that the run ends with an error instead of
  // lines silently vanishing.
  void flush();
  // Flushes and closes a file; false when this or any earlier write failed.
  bool close();

  bool failed() const { return !failure.empty(); }
  // "cannot write /path/out.txt: No space left on device"; empty while nothing failed.
  const std::string& error() const { return failure; }
  const std::string& name() const { return outputName; }

 private:
  // Buffered bytes beyond this are written at once.
  static constexpr std::size_t kBuffer = 64 * 1024;

  static int openFile(const std::string& path);
  void fail(const char* what, int error);

  int fd;
  bool ownsFd = false;
  std::string outputName;
  std::string failure;
  bool replaceTabs = false;
  char separator = 0;
  std::string buffer;
};
