// Keeps a flood of one report from flooding standard error: each kind of report is printed in full
// the first few times, then counted, with one summary line per interval. Header-only, used by the
// logger's worker and by udplog-recv. Not thread-safe: the thread that reports owns it.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

// Each kind of report is printed in full the first Limits::burst times (3); after that its reports
// are counted, and one summary line per interval (10 s) gives the count with the latest report:
//
//   127.0.0.1:5000: malformed datagram of 5 bytes: part 0 of 2
//   127.0.0.1:5001: malformed datagram of 5 bytes: part 0 of 3
//   127.0.0.1:5002: malformed datagram of 5 bytes: part 0 of 4
//   127.0.0.1:6047: malformed datagram of 5 bytes: part 0 of 9 (99994 more like this in the last
//   10 s)
//
// (the wording is the printer's: udplog-recv's here). Every kind keeps its own count, however
// kinds interleave. Counts not printed yet are summarised when their interval is over (at the
// next report or tick()), when a kind comes that was never seen before (so the lines keep the
// order of events), and by flush() at the end. A kind quiet for a whole interval is printed in
// full again. Past maxKinds, new kinds share one count.
class ReportLimiter final {
 public:
  using Clock = std::chrono::steady_clock;
  using Now = std::function<Clock::time_point()>;

  struct Limits {
    unsigned burst = 3;  // reports of a kind printed in full before counting begins
    Clock::duration interval = std::chrono::seconds(10);
    bool powersOfTen = false;    // also summarise when a kind's total reaches 10, 100, 1000, ...
    std::size_t maxKinds = 256;  // kinds kept apart; past it, new kinds share one count
  };

  // Why a line is printed.
  enum class Cause {
    kInFull,      // a report within its kind's burst
    kInterval,    // the interval of the counted reports is over
    kPowerOfTen,  // the kind's total reached a power of ten
    kNewKind,     // a kind never seen before came
    kFlush,       // flush()
  };

  struct Line {
    // The report; in a summary, the latest one counted. Valid during the printer's call; copy it
    // to keep it.
    std::string_view text;
    Cause cause;
    std::uint64_t counted;  // reports counted and not printed since the kind's last line
    std::uint64_t total;    // reports of the kind so far, printed or not
    Clock::duration span;   // from the first counted report to now; zero for kInFull
  };
  using Printer = std::function<void(const Line&)>;

  explicit ReportLimiter(Printer thePrinter) : ReportLimiter(std::move(thePrinter), Limits()) {}
  // clock tells the time (tests pass one they turn by hand).
  ReportLimiter(Printer thePrinter, Limits theLimits, Now theClock = &Clock::now)
      : printer(std::move(thePrinter)), limits(theLimits), clock(std::move(theClock)) {}
  ReportLimiter(const ReportLimiter&) = delete;
  ReportLimiter& operator=(const ReportLimiter&) = delete;

  // "127.0.0.1:5000: lost lines 3 to 4 (2)" -> "...:: lost lines  to  ()".
  static std::string keyOf(std::string_view text) {
    std::string key;
    key.reserve(text.size());
    for (char c : text) {
      if (c < '0' || c > '9') key.push_back(c);
    }
    return key;
  }

  // A report's kind is a key: the report without its digits unless the caller names one, so "lost
  // line 7" and "lost line 12" are one kind.
  void report(const std::string& text) { report(keyOf(text), text); }

  void report(const std::string& key, const std::string& text) {
    const Clock::time_point now = clock();
    tick(now);
    Kind& kind = kindOf(key, now);
    ++kind.total;
    if (kind.counted == 0 && kind.shown >= limits.burst && now - kind.lastSeen >= limits.interval) {
      kind.shown = 0;
    }
    kind.lastSeen = now;
    const bool powerOfTen = limits.powersOfTen && kind.total == kind.nextPower;
    if (powerOfTen) {
      kind.nextPower = kind.nextPower > kMaxPower ? 0 : kind.nextPower * 10;
    }
    if (kind.shown < limits.burst) {
      ++kind.shown;
      printer(Line{text, Cause::kInFull, 0, kind.total, Clock::duration::zero()});
      return;
    }
    if (kind.counted++ == 0) {
      kind.countingSince = now;
      nextDue = std::min(nextDue, now + limits.interval);
    }
    kind.text = text;
    if (powerOfTen) summarise(kind, Cause::kPowerOfTen, now);
  }

  // Summarises the kinds whose interval is over; cheap while none is.
  void tick() { tick(clock()); }

  // Summarises every count not printed yet.
  void flush() { summariseAll(Cause::kFlush, clock()); }

 private:
  struct Kind {
    std::string text;  // the latest report counted
    std::uint64_t total = 0;
    std::uint64_t counted = 0;  // since the last line
    unsigned shown = 0;         // printed in full since the kind last went quiet
    std::uint64_t nextPower = 10;
    Clock::time_point countingSince;
    Clock::time_point lastSeen;
  };

  static constexpr std::uint64_t kMaxPower = std::numeric_limits<std::uint64_t>::max() / 10;
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  Kind& kindOf(const std::string& key, Clock::time_point now) {
    auto found = index.find(key);
    if (found != index.end()) return kinds[found->second];
    if (index.size() >= limits.maxKinds && overflow != kNone) return kinds[overflow];
    summariseAll(Cause::kNewKind, now);
    kinds.emplace_back();
    if (index.size() >= limits.maxKinds) {
      overflow = kinds.size() - 1;
    } else {
      index.emplace(key, kinds.size() - 1);
    }
    return kinds.back();
  }

  void tick(Clock::time_point now) {
    if (now < nextDue) return;
    nextDue = Clock::time_point::max();
    for (Kind& kind : kinds) {
      if (kind.counted == 0) continue;
      if (now - kind.countingSince >= limits.interval) {
        summarise(kind, Cause::kInterval, now);
      } else {
        nextDue = std::min(nextDue, kind.countingSince + limits.interval);
      }
    }
  }

  void summariseAll(Cause cause, Clock::time_point now) {
    for (Kind& kind : kinds) {
      if (kind.counted > 0) summarise(kind, cause, now);
    }
  }

  void summarise(Kind& kind, Cause cause, Clock::time_point now) {
    const std::uint64_t counted = kind.counted;
    kind.counted = 0;
    printer(Line{kind.text, cause, counted, kind.total, now - kind.countingSince});
  }

  // Constant after construction
  const Printer printer;
  const Limits limits;
  const Now clock;

  std::vector<Kind> kinds;  // in the order they first came
  std::unordered_map<std::string, std::size_t> index;
  std::size_t overflow = kNone;  // the kind shared past maxKinds
  Clock::time_point nextDue = Clock::time_point::max();
};
