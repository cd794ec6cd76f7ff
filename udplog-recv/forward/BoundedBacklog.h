// The lines that wait for a target, oldest first, bounded in lines and in bytes. A line that
// does not fit pushes out the oldest ones, which are counted; the first drop of a run (until the
// target takes lines again) gives one report. Not thread-safe: its owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

class BoundedBacklog final {
 public:
  BoundedBacklog(std::string target, std::size_t maxLines, std::size_t maxBytes);

  // Adds message behind the others; the first keep lines (one half written to a connection) are
  // never pushed out. Adds the lines dropped for it to dropped, and returns the report to give
  // when this is the first drop of a run, "" otherwise.
  std::string push(std::string message, std::size_t keep, std::uint64_t& dropped);
  // The oldest line, taken out.
  std::string takeFront();
  // The target took lines: a later drop begins a new run, reported again.
  void taken() { dropping = false; }

  bool empty() const { return lines.empty(); }
  std::size_t size() const { return lines.size(); }
  const std::string& front() const { return lines.front(); }
  std::deque<std::string>::const_iterator begin() const { return lines.begin(); }
  std::deque<std::string>::const_iterator end() const { return lines.end(); }

 private:
  const std::string target;  // the target, for the report
  const std::size_t maxLines;
  const std::size_t maxBytes;
  std::deque<std::string> lines;
  std::size_t bytes = 0;
  bool dropping = false;  // reported the current run of drops
};
