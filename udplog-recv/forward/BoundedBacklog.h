// The lines that wait for a target, oldest first, bounded in lines and in bytes together with
// what the owner holds elsewhere for the same target (a RELP window, a session's output). A line
// that does not fit pushes out the oldest waiting ones, which are counted; when even they leave
// no room it is dropped itself. The first drop of a run (until the target takes lines again)
// gives one report. Line is std::string or any type with size() in bytes. Not thread-safe: its
// owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

template <typename Line>
class BoundedBacklog final {
 public:
  BoundedBacklog(std::string theTarget, std::size_t lineBound, std::size_t byteBound)
      : target(std::move(theTarget)), maxLines(lineBound), maxBytes(byteBound) {}

  // Adds line behind the others. The first keep lines (one half written to a connection) are
  // never pushed out, and heldLines and heldBytes are held elsewhere. Adds the lines dropped for
  // it, the line itself included when it could not be kept, to dropped, and returns the report
  // to give when this is the first drop of a run, "" otherwise.
  std::string push(Line line, std::size_t keep, std::uint64_t& dropped, std::size_t heldLines = 0,
                   std::size_t heldBytes = 0) {
    std::string report;
    const auto full = [&] {
      return lines.size() + heldLines >= maxLines || bytes + heldBytes + line.size() > maxBytes;
    };
    while (lines.size() > keep && full()) {
      auto victim = lines.begin() + static_cast<std::ptrdiff_t>(keep);
      bytes -= victim->size();
      lines.erase(victim);
      dropped += 1;
      noteDrop(report);
    }
    if (full() && (heldLines > 0 || lines.size() > keep)) {
      // What is held elsewhere (a live window) is never pushed out: the new line goes instead.
      dropped += 1;
      noteDrop(report);
      return report;
    }
    bytes += line.size();
    lines.push_back(std::move(line));
    return report;
  }
  // A line taken out before goes back to the front, oldest first: it was counted all along.
  void pushFront(Line line) {
    bytes += line.size();
    lines.push_front(std::move(line));
  }
  // The oldest line, taken out.
  Line takeFront() {
    Line line = std::move(lines.front());
    lines.pop_front();
    bytes -= line.size();
    return line;
  }
  // The target took lines: a later drop begins a new run, reported again.
  void taken() { dropping = false; }

  bool empty() const { return lines.empty(); }
  std::size_t size() const { return lines.size(); }
  std::size_t byteSize() const { return bytes; }
  std::size_t lineBound() const { return maxLines; }
  std::size_t byteBound() const { return maxBytes; }
  const Line& front() const { return lines.front(); }
  typename std::deque<Line>::const_iterator begin() const { return lines.begin(); }
  typename std::deque<Line>::const_iterator end() const { return lines.end(); }

 private:
  void noteDrop(std::string& report) {
    if (dropping) return;
    dropping = true;
    report = "forward: the backlog for " + target + " is full (" + std::to_string(maxLines) +
             " lines or " + std::to_string(maxBytes >> 20) +
             " MiB, all that is held for it): dropping the oldest lines";
  }

  // Constant after construction
  const std::string target;  // the target, for the report
  const std::size_t maxLines;
  const std::size_t maxBytes;

  std::deque<Line> lines;
  std::size_t bytes = 0;
  bool dropping = false;  // reported the current run of drops
};
