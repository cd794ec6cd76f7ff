#include "loghost/Progress.h"

#include <cstdio>

#include "platform/Terminal.h"

Progress::Progress() : enabled(Terminal::isTerminal(stderr)), start(Clock::now()), last(start) {}

void Progress::tick(unsigned long long lines) {
  if (!enabled || (lines & 0x3ff) != 0) return;
  auto now = Clock::now();
  if (now - last < std::chrono::milliseconds(500)) return;
  last = now;
  print(lines, now);
}

void Progress::draining(unsigned long long lines, std::size_t queued) {
  if (!enabled) return;
  auto now = Clock::now();
  if (now - last < std::chrono::milliseconds(500)) return;
  last = now;
  drained = true;
  // Blanks at the end wipe what a longer line left.
  std::fprintf(stderr, "\rloghost: %llu lines pushed, draining %zu lines          ", lines, queued);
}

void Progress::waiting(unsigned long long lines, unsigned long long queuedBytes) {
  if (!enabled) return;
  auto now = Clock::now();
  if (now - last < std::chrono::milliseconds(500)) return;
  last = now;
  std::fprintf(stderr, "\rloghost: %llu lines pushed, waiting on the medium (%llu KiB queued)   ",
               lines, queuedBytes >> 10);
}

void Progress::done(unsigned long long lines) {
  if (!enabled || last == start) return;
  if (!drained) print(lines, Clock::now());
  std::fputc('\n', stderr);
}

void Progress::print(unsigned long long lines, Clock::time_point now) {
  double seconds = std::chrono::duration<double>(now - start).count();
  std::fprintf(stderr, "\rloghost: %llu lines pushed, %.0f lines/s", lines,
               seconds > 0 ? lines / seconds : 0.0);
}
