// How a standard stream passes its bytes. On Windows the C library turns "\n" into "\r\n" on a
// stream in text mode; a program whose output is already formed (records that end in "\r\n",
// exact bytes for a pipe) switches that off. Elsewhere streams are binary anyway. Main thread,
// before anything is written to the stream.
#pragma once

#include <cstdio>

class StreamMode final {
 public:
  StreamMode() = delete;

  // Bytes written to or read from stream pass unchanged.
  static void makeBinary(std::FILE* stream);
};
