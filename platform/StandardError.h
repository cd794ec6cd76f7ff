// The process's standard error as a medium writes it: whether there is one, whether it shows
// colour, and whole writes to it. Any thread; nothing here holds or replaces the stream, which
// belongs to the process.
#pragma once

#include <cstddef>
#include <system_error>

class StandardError final {
 public:
  StandardError() = delete;

  // False when there is nothing to write to: the process was started with standard error closed
  // (or held open for reading only), or it is a Windows program without a console whose standard
  // error was not redirected.
  static bool isOpen();

  // A terminal that shows ANSI colour sequences. On Windows this turns their processing on in the
  // console where the console can (Windows 10 and later), and is false where it cannot.
  static bool showsColour();

  // Writes size bytes of data whole, going on after partial writes and interruptions; blocks
  // while the stream blocks (a full pipe, a terminal held by flow control). written says how many
  // bytes went, also on failure. On Windows a line feed reaches a stream in text mode as "\r\n".
  static std::error_code write(const char* data, std::size_t size, std::size_t& written);
};
