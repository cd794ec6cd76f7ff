// Reading a program's input (a file, a pipe, a terminal) in chunks as the bytes arrive, so that
// lines go on at once, in a way that a stop signal (StopSignals) interrupts. The source does not
// own the stream; one thread reads it. Unlike the rest of platform/, a failed read gives the
// system's text rather than a std::error_code: its one caller only prints it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

class InputSource final {
 public:
  // Whether text lines end in "\r\n" here (Windows), so that a reader drops the "\r".
  static const bool kCrLfText;

  explicit InputSource(std::FILE* theStream) : stream(theStream) {}
  InputSource(const InputSource&) = delete;
  InputSource& operator=(const InputSource&) = delete;

  // Waits for input and reads at most size bytes. Returns the count; 0 at the end of the input or
  // when a stop signal came; -1 on failure, with the cause in error.
  std::ptrdiff_t read(char* buffer, std::size_t size, std::string& error);

 private:
  std::FILE* const stream;
};
