// Puts lines back together from the UDP medium's datagrams and notices what went missing.
//
// accept() takes parsed datagrams in arrival order. A line is handed to the listener when its
// last missing part arrives. A jump in the sequence numbers is reported as lost lines at once;
// a line that later arrives from such a gap is still delivered and reported as late. Lines still
// incomplete after the time-out, or pushed out by the memory bounds, are reported and dropped.
// Not thread-safe: one receiving thread owns it.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "tools/DatagramParser.h"

class LineAssembler final {
 public:
  using Clock = std::chrono::steady_clock;

  struct Listener {
    virtual ~Listener() {}
    virtual void line(std::uint32_t sequence, const std::string& text) = 0;
    virtual void report(const std::string& text) = 0;
  };

  struct Limits {
    std::chrono::milliseconds timeout{5000};
    std::size_t maxPendingLines = 1024;
    std::size_t maxPendingBytes = 256u << 20;
  };

  struct Counts {
    std::uint64_t lines = 0;       // delivered
    std::uint64_t lost = 0;        // sequence numbers skipped
    std::uint64_t late = 0;        // delivered after being counted lost
    std::uint64_t incomplete = 0;  // dropped with parts missing
  };

  LineAssembler(Listener& listener, Limits limits);
  LineAssembler(const LineAssembler&) = delete;
  LineAssembler& operator=(const LineAssembler&) = delete;

  void accept(const Datagram& datagram, Clock::time_point now);
  // Drops, with a report, the lines whose first part came longer than the time-out ago.
  void expire(Clock::time_point now);
  // Drops, with a report, every line still incomplete.
  void finish();

  const Counts& counts() const { return counts_; }

 private:
  struct Pending {
    std::uint32_t count = 0;
    std::map<std::uint32_t, std::string> parts;
    std::size_t bytes = 0;
    Clock::time_point firstSeen;
  };

  void noteNewSequence(std::uint32_t sequence);
  void drop(std::map<std::uint32_t, Pending>::iterator it, const std::string& why);

  Listener& listener_;
  const Limits limits_;
  Counts counts_;
  bool started_ = false;
  std::uint32_t next_ = 0;  // the sequence number expected next
  std::map<std::uint32_t, Pending> pending_;
  std::size_t pendingBytes_ = 0;
};
