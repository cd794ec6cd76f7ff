// The state that the writers of one logger share with the program that ends it: open while the
// logger takes lines, closed for good once it is finishing. A writer that finds it closed drops the
// line without formatting it, counts it, and the first such line is said once on standard error,
// so that a writer kept past the logger's end neither loses lines silently nor fills a pipe that
// nobody reads any more.
//
// Header-only. Any thread may write through it; close() belongs to the thread that ends the logger,
// closeInForkedChild() to the fork's child handler.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <thread>

class TarvoLogGate final {
 public:
  bool isOpen() const { return state.load(std::memory_order_seq_cst) == kOpen; }

  // A writer's way through the gate: open from before the writer makes its line until it has
  // pushed it, so that close() can wait for every line already on its way. False (and the line
  // counted as dropped) when the gate is closed.
  class Passage final {
   public:
    explicit Passage(TarvoLogGate* theGate) : gate(theGate), through(!gate || gate->enter()) {}
    ~Passage() {
      if (gate && through) gate->leave();
    }
    Passage(const Passage&) = delete;
    Passage& operator=(const Passage&) = delete;
    explicit operator bool() const { return through; }

   private:
    TarvoLogGate* const gate;
    const bool through;
  };

  // Closes the gate for good and waits until every writer that passed it before has pushed its
  // line (a writer formatting a long line is waited for), at most for bound: a writer that never
  // comes back (its thread ended the process from inside the call) does not hold the end. The
  // writers still on their way when the bound passed, for the closer to report.
  std::uint32_t close(std::chrono::milliseconds bound = std::chrono::seconds(5)) {
    state.store(kFinished, std::memory_order_seq_cst);
    const auto end = std::chrono::steady_clock::now() + bound;
    std::uint32_t passing = 0;
    while ((passing = inFlight.load(std::memory_order_seq_cst)) != 0 &&
           std::chrono::steady_clock::now() < end) {
      std::this_thread::yield();
    }
    return passing;
  }
  // In a forked child, where the logger's threads do not exist: every later line is dropped, and
  // the writers that were on their way in the parent never come.
  void closeInForkedChild() {
    state.store(kForked, std::memory_order_seq_cst);
    inFlight.store(0, std::memory_order_seq_cst);
  }

  // A line that came after close().
  void drop() { dropMany(1); }
  void dropMany(std::uint64_t lines) {
    if (lines == 0) return;
    if (dropped.fetch_add(lines, std::memory_order_relaxed) == 0) {
      std::fputs(state.load(std::memory_order_relaxed) == kForked
                     ? "tarvo-logger: the logger does not run in a forked child: create an "
                       "EmbeddedLogger there; this line and every later one through the parent's "
                       "logger are dropped, not stored\n"
                     : "tarvo-logger: a line was written after the logger finished; it and every "
                       "later one are dropped, not stored\n",
                 stderr);
    }
  }
  std::uint64_t droppedLines() const { return dropped.load(std::memory_order_relaxed); }

 private:
  enum : int { kOpen, kFinished, kForked };

  // Counts the writer in before it looks at the state: with close() storing the state before it
  // reads the count (both sequentially consistent), either the writer sees the gate closed or
  // close() sees the writer.
  bool enter() {
    inFlight.fetch_add(1, std::memory_order_seq_cst);
    if (state.load(std::memory_order_seq_cst) == kOpen) return true;
    leave();
    drop();
    return false;
  }
  void leave() { inFlight.fetch_sub(1, std::memory_order_seq_cst); }

  std::atomic<int> state{kOpen};
  std::atomic<std::uint32_t> inFlight{0};  // writers between the gate and their push
  std::atomic<std::uint64_t> dropped{0};
};
