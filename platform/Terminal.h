// Whether a standard stream is an interactive terminal (a console on Windows), for output that is
// meant for a person only. Any thread; a stream that cannot be asked is not a terminal.
#pragma once

#include <cstdio>

class Terminal final {
 public:
  Terminal() = delete;

  static bool isTerminal(std::FILE* stream);
};
