// Where udplog-recv writes the reassembled lines: standard output or a file, each line followed
// by "\n", the lines waiting whole in a buffer of its own. Owned and called by the receiving
// thread only. The file holds whole lines only: a line that a failed write cut off is taken back.
// The first failed write is remembered with its cause and every later one skipped: the caller
// checks failed() once per batch and stops.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/AppendFile.h"

class LineOutput final {
 public:
  // Standard output until open() names a file.
  LineOutput();
  ~LineOutput();
  LineOutput(const LineOutput&) = delete;
  LineOutput& operator=(const LineOutput&) = delete;

  // Opens path for appending, creating it if missing ("-" keeps standard output), so a restart
  // keeps what was collected; false with error() set. A file that does not end in a line end
  // (a line cut by another program, or by a crash) gets one at once, so that the first new line
  // starts a line of its own, and takeNotice() says so.
  bool open(const std::string& path);
  // Hands the buffered lines to the file, then opens its path again: a new file after the old one
  // was renamed away (logrotate); no line is split between the two, and the new file gets a line
  // end as open() gives one. False with error set when the path cannot be opened (the old file
  // stays in use) or nothing is to be reopened (standard output).
  bool reopen(std::string& error);
  // "/path/out.txt did not end in a line end: one was added before the new lines" once after an
  // open() or reopen() that added one; empty otherwise.
  std::string takeNotice() { return std::move(notice); }

  // From now on, every vertical tab of a line is written as separator.
  void showTabsAs(char separator);

  // Buffers line and its "\n". line need only be valid during the call: its bytes are copied.
  void write(std::string_view line);
  // Hands buffered lines to the system, going on after a signal interrupts a write: a signal
  // never cuts a line or fails a write into a full pipe. A full disk or a reader that went away
  // (EPIPE, with SIGPIPE ignored) fails it, so that the run ends with an error instead of lines
  // silently vanishing; the part of a line that reached a file is taken back.
  void flush();
  // Flushes and closes a file; false when this or any earlier write failed.
  bool close();

  bool failed() const { return !failure.empty(); }
  // "cannot write /path/out.txt: No space left on device"; empty while nothing failed.
  const std::string& error() const { return failure; }
  const std::string& name() const { return outputName; }
  // Lines that reached the output whole.
  std::uint64_t linesWritten() const { return written; }

 private:
  // Buffered bytes beyond this are written at once.
  static constexpr std::size_t kBuffer = 64 * 1024;

  // Opens outputName into theFile, giving a file that ends in a cut line its line end.
  std::error_code openFile(AppendFile& theFile);
  bool isOpen() const { return file && file->isOpen(); }
  void fail(const char* what, const std::error_code& error);

  std::unique_ptr<AppendFile> file;
  std::string outputName;
  bool named = false;  // a file of ours rather than standard output
  std::string failure;
  std::string notice;
  bool replaceTabs = false;
  char separator = 0;
  std::string buffer;
  std::vector<std::size_t> lineEnds;  // one past each buffered line's "\n"
  std::uint64_t written = 0;
};
