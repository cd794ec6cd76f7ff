#include "udplog-recv/forward/AnswerWindow.h"

#include <utility>

void AnswerWindow::push(std::uint64_t txnr, Line line) {
  bytes += line.size();
  frames.push_back(Frame{txnr, std::move(line)});
  ++unsettled;
}

bool AnswerWindow::settle(std::uint64_t txnr, Clock::time_point now) {
  if (frames.empty() || txnr == 0 || txnr > lastTxnr) return false;
  // The distance from the oldest number, across the wrap from lastTxnr to 1.
  const std::uint64_t first = frames.front().txnr;
  const std::uint64_t offset = txnr >= first ? txnr - first : lastTxnr - first + txnr;
  if (offset >= frames.size()) return false;
  Frame& frame = frames[offset];
  if (frame.txnr != txnr || frame.settled) return false;
  frame.settled = true;
  bytes -= frame.line.size();
  std::string().swap(frame.line.message);
  --unsettled;
  if (offset > 0) {
    ++holes;
    if (!passed) {
      passed = true;
      passedAt = now;
    }
    return true;
  }
  frames.pop_front();
  while (!frames.empty() && frames.front().settled) {
    frames.pop_front();
    --holes;
  }
  // The new oldest frame is passed already when answers to later ones came: from now on.
  passed = holes > 0;
  passedAt = now;
  return true;
}

std::vector<AnswerWindow::Line> AnswerWindow::takeOpen() {
  std::vector<Line> out;
  out.reserve(unsettled);
  for (Frame& frame : frames) {
    if (!frame.settled) out.push_back(std::move(frame.line));
  }
  frames.clear();
  unsettled = 0;
  bytes = 0;
  holes = 0;
  passed = false;
  return out;
}

AnswerWindow::Clock::time_point AnswerWindow::oldestDue(Clock::duration timeout) const {
  return passed ? passedAt + timeout : Clock::time_point::max();
}
