// How a standard stream passes its bytes. On Windows the C library turns "\n" into "\r\n" on a
// stream in text mode; a program whose output is already formed (records that end in "\r\n",
// exact bytes for a pipe) switches that off. Elsewhere streams are binary anyway. Main thread,
// before anything is written to the stream. Nothing here fails in a way the caller could act on.
#pragma once

#include <cstdio>

class StreamMode final {
 public:
  StreamMode() = delete;

  // Bytes written to or read from stream pass unchanged.
  static void makeBinary(std::FILE* stream);

  // Where the program was started with standard input, output or error closed, puts the null
  // device, opened for reading only, in its place: the input reads as empty, writes fail as they
  // would on the closed stream, and no file or socket opened later takes its number (log lines
  // would otherwise land in a file, or a wait on the input would wait on something else). Call
  // first thing in main.
  static void holdClosedStreams();
};
