#include "logger/media/ConsoleMedia.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "logger/media/MediaKeys.h"
#include "logger/plugin/TarvoLog.h"
#include "platform/StandardError.h"

namespace {
constexpr std::string_view kReset = "\x1b[0m";
constexpr const char* kNoStream =
    "there is no standard error to show the line on (set TarvoLogger/StorageFormat to file to keep "
    "the lines)";

// Colour unless the user has asked for none: NO_COLOR set to anything but the empty text.
bool colourWanted() {
  const char* noColor = std::getenv("NO_COLOR");
  return (noColor == nullptr || *noColor == '\0') && StandardError::showsColour();
}
}  // namespace

ConsoleMedia::ConsoleMedia() : open(StandardError::isOpen()), colour(open && colourWanted()) {}

std::string_view ConsoleMedia::levelColour(std::string_view level) {
  struct Colour {
    std::string_view level, sequence;
  };
  static constexpr Colour kColours[] = {
      {TarvoLog::kTrace, "\x1b[2m"},  {TarvoLog::kDebug, "\x1b[36m"},
      {TarvoLog::kInfo, "\x1b[32m"},  {TarvoLog::kWarn, "\x1b[33m"},
      {TarvoLog::kError, "\x1b[31m"}, {TarvoLog::kCritical, "\x1b[1;31m"},
  };
  for (const Colour& c : kColours) {
    if (c.level == level) return c.sequence;
  }
  return std::string_view();
}

void ConsoleMedia::append(const std::string& line) {
  const LogRecord::Fields fields(line);
  const std::string_view on = colour ? levelColour(fields.level()) : std::string_view();
  const std::string_view off = on.empty() ? std::string_view() : kReset;
  const std::size_t room = used + fields.maxLineFormSize() + on.size() + off.size() + 1;
  if (chunk.size() < room) chunk.resize(std::max(room, 2 * chunk.size()));
  char* const start = &chunk[used];
  char* end = fields.writeLineForm(start);
  if (!on.empty()) {
    // Around the level's text only, so that the columns stay where they are without colour.
    char* const levelEnd = start + fields.paddedEnd(2);
    char* const levelStart = levelEnd - fields.level().size();
    std::memmove(levelEnd + on.size() + off.size(), levelEnd,
                 static_cast<std::size_t>(end - levelEnd));
    std::memmove(levelStart + on.size(), levelStart, fields.level().size());
    std::memcpy(levelStart, on.data(), on.size());
    std::memcpy(levelEnd + on.size(), off.data(), off.size());
    end += on.size() + off.size();
  }
  *end++ = '\n';
  used = static_cast<std::size_t>(end - chunk.data());
  lineEnds.push_back(used);
}

std::size_t ConsoleMedia::writeChunk(std::string& cause) {
  std::size_t written = 0;
  const std::error_code error = StandardError::write(chunk.data(), used, written);
  const std::size_t whole = static_cast<std::size_t>(
      std::upper_bound(lineEnds.begin(), lineEnds.end(), written) - lineEnds.begin());
  if (error) cause = "cannot write to standard error: " + error.message();
  used = 0;
  lineEnds.clear();
  return whole;
}

void ConsoleMedia::write(const std::string& line) {
  if (!open) {
    ++lost;
    throw std::runtime_error(kNoStream);
  }
  used = 0;
  lineEnds.clear();
  append(line);
  std::string cause;
  if (writeChunk(cause) == 1) return;
  ++lost;
  throw std::runtime_error(cause);
}

void ConsoleMedia::writeBurst(const std::vector<const std::string*>& lines,
                              const LineFailed& failed) {
  if (!open) {
    lost += lines.size();
    const std::runtime_error error(kNoStream);
    for (std::size_t i = 0; i < lines.size(); ++i) failed(error);
    return;
  }
  for (std::size_t next = 0; next < lines.size();) {
    // Nothing of a chunk that an exhausted memory cut short is written later.
    used = 0;
    lineEnds.clear();
    std::size_t count = 0;
    while (next + count < lines.size() && used < kChunkBytes) {
      append(*lines[next + count]);
      ++count;
    }
    next += count;
    std::string cause;
    const std::size_t shown = writeChunk(cause);
    if (shown == count) continue;
    lost += count - shown;
    const std::runtime_error error(cause);
    for (std::size_t i = shown; i < count; ++i) failed(error);
  }
}

void ConsoleMedia::flush() {}

std::string ConsoleMedia::getRawData() { return MediaKeys::kConsoleRawData; }
