// A medium that shows every line on standard error as it arrives, in the records' line form and a
// line feed, e.g. for "10:00:01.250\v7f3a\vINFO\vauth\valice in\vpid=42":
//
//           10:00:01.250        7f3a      INFO              auth alice in -> pid=42
//
// It keeps nothing, and getRawData() returns a fixed description. The level is coloured when
// standard error is a terminal and NO_COLOR is unset or empty. The worker thread calls write(),
// writeBurst() and flush(); getRawData() touches no member. Standard error is the process's: the
// medium holds no stream of its own.
//
// A write blocks while standard error blocks (a full pipe whose reader has stalled, a terminal
// held by flow control): the worker then waits, lines gather in the pipe, and a dump or a shutdown
// waits with it. Where the process has no standard error (started with it closed, or a Windows
// program without a console whose standard error was not redirected), every line is counted lost,
// unformatted. A reader that has gone raises SIGPIPE as the program's own writes to standard error
// would; where the program ignores it, the lines are counted lost.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logger/core/IStorageMedia.h"
#include "logger/media/LogRecord.h"

class ConsoleMedia final : public IStorageMedia {
 public:
  // What a burst gathers before it is written; a burst larger than this takes several writes.
  static constexpr std::size_t kChunkBytes = 64 * 1024;

  // Asks once whether there is a standard error and whether it shows colour.
  ConsoleMedia();
  ConsoleMedia(const ConsoleMedia&) = delete;
  ConsoleMedia& operator=(const ConsoleMedia&) = delete;

  // Shows the line; throws std::runtime_error naming the cause when standard error does not take
  // it whole.
  void write(const std::string& line) override;
  // Shows the lines with one write per kChunkBytes; each line that did not go out whole goes to
  // failed().
  void writeBurst(const std::vector<const std::string*>& lines, const LineFailed& failed) override;
  // Nothing is held.
  void flush() override;
  std::string getRawData() override;
  // Lines that did not reach standard error whole.
  std::uint64_t lostLines() override { return lost; }

  bool showsColour() const { return colour; }

  // The colour sequence for a level, or "" for a level that has none:
  //   TRACE dim, DEBUG cyan, INFO green, WARN yellow, ERROR red, CRITICAL bold red.
  static std::string_view levelColour(std::string_view level);

 private:
  // Appends the line's line form, its level coloured if colour is on, and "\n" to the chunk.
  void append(const std::string& line);
  // Writes the chunk and empties it. Returns how many of its lines went out whole; cause says why
  // the others did not.
  std::size_t writeChunk(std::string& cause);

  // Constant after construction
  const bool open;
  const bool colour;

  // Worker thread only
  std::string chunk;  // the first used bytes are lines to write; the rest is room
  std::size_t used = 0;
  std::vector<std::size_t> lineEnds;  // one past each line's "\n" in chunk
  std::uint64_t lost = 0;
};
