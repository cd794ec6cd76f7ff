// The syslog frames sent on one RELP session and not yet settled, oldest first, with the lines
// they carry. The target answers in order, so an answer is found by its number's distance from
// the oldest frame's, without a search; an answer out of order settles its frame and leaves a
// hole. The oldest frame is "passed" once a later one is settled: if its own answer does not
// follow within the time-out, it was lost. RelpForwarder's thread alone uses it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

class AnswerWindow final {
 public:
  using Clock = std::chrono::steady_clock;

  // A line as the forwarder holds it: its message, and what its sessions did with it.
  struct Line {
    std::string message;
    bool sentBefore = false;    // a session broke before its answer
    bool countedAgain = false;  // counted once as sent again
    int breaks = 0;             // sessions that broke with it as their oldest unanswered line
    std::size_t size() const { return message.size(); }
  };

  // Transaction numbers run from 1 to maxTxnr and begin again at 1.
  explicit AnswerWindow(std::uint64_t maxTxnr) : lastTxnr(maxTxnr) {}

  // A frame sent with txnr, the number after the last one pushed (or any, on an empty window).
  void push(std::uint64_t txnr, Line line);
  // Settles the frame txnr at now, its message released; false when no unsettled frame has it
  // (a number never sent, or answered before).
  bool settle(std::uint64_t txnr, Clock::time_point now);
  // The unsettled lines, oldest first, taken out: the window is empty afterwards.
  std::vector<Line> takeOpen();

  // Frames from the oldest unsettled to the newest, holes included: what the RELP window bounds.
  std::size_t span() const { return frames.size(); }
  // Frames not yet settled.
  std::size_t open() const { return unsettled; }
  // The bytes of their messages.
  std::size_t openBytes() const { return bytes; }
  // The oldest unsettled line; null when there is none.
  const Line* oldest() const { return frames.empty() ? nullptr : &frames.front().line; }
  bool empty() const { return unsettled == 0; }
  // When the oldest frame, passed by a later answer, is taken as lost: timeout after it was
  // passed; max while it is not.
  Clock::time_point oldestDue(Clock::duration timeout) const;

 private:
  struct Frame {
    std::uint64_t txnr;
    Line line;
    bool settled = false;
  };

  // Constant after construction
  const std::uint64_t lastTxnr;

  std::deque<Frame> frames;  // frames.front() is unsettled, or the deque is empty
  std::size_t unsettled = 0;
  std::size_t bytes = 0;
  std::size_t holes = 0;  // settled frames behind the oldest unsettled one
  bool passed = false;    // the oldest frame was passed by a later answer, at passedAt
  Clock::time_point passedAt{};
};
