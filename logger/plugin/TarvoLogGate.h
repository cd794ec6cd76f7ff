// The state that the writers of one logger share with the program that ends it: open while the
// logger takes lines, closed for good once it is finishing. A writer that finds it closed drops the
// line without formatting it, counts it, and the first such line is said once on standard error,
// so that a writer kept past the logger's end neither loses lines silently nor fills a pipe that
// nobody reads any more.
//
// Header-only. Any thread may write through it; close() belongs to the thread that ends the logger.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

class TarvoLogGate final {
 public:
  bool isOpen() const { return open.load(std::memory_order_acquire); }
  void close() { open.store(false, std::memory_order_release); }

  // A line that came after close().
  void drop() { dropMany(1); }
  void dropMany(std::uint64_t lines) {
    if (lines == 0) return;
    if (dropped.fetch_add(lines, std::memory_order_relaxed) == 0) {
      std::fputs(
          "tarvo-logger: a line was written after the logger finished; it and every later one "
          "are dropped, not stored\n",
          stderr);
    }
  }
  std::uint64_t droppedLines() const { return dropped.load(std::memory_order_relaxed); }

 private:
  std::atomic<bool> open{true};
  std::atomic<std::uint64_t> dropped{0};
};
