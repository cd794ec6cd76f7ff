// Puts the lines of one sender back together from the UDP medium's datagrams and accounts for
// every sequence number: delivered, lost, late, duplicate, conflicting, incomplete. A line goes to
// the listener when its last missing part arrives. Not thread-safe: one receiving thread owns it.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "udplog-recv/reassembly/DatagramParser.h"

class LineAssembler final {
 public:
  using Clock = std::chrono::steady_clock;

  struct Listener {
    virtual ~Listener() {}
    // A delivered line. text is valid during the call; copy it to keep it.
    virtual void line(std::uint32_t sequence, std::string_view text) = 0;
    virtual void report(const std::string& text) = 0;
  };

  struct Limits {
    std::chrono::milliseconds timeout{5000};
    std::size_t maxPendingLines = 1024;
    std::size_t maxPendingBytes = 256u << 20;
  };

  struct Counts {
    std::uint64_t lines = 0;       // delivered
    std::uint64_t lost = 0;        // numbers skipped and still missing
    std::uint64_t late = 0;        // delivered after their number was skipped
    std::uint64_t duplicates = 0;  // datagrams repeating a delivered line or a part held
    std::uint64_t conflicts = 0;   // datagrams with other bytes or counts under a known number
    std::uint64_t resyncs = 0;     // jumps too far ahead to be loss
    std::uint64_t tooOld = 0;      // datagrams too far behind to check, or of a line given up
    std::uint64_t incomplete = 0;  // lines dropped with parts missing
    Counts& operator+=(const Counts& other);
  };

  // Numbers remembered behind the newest: duplicates and late lines are told apart within it.
  static constexpr std::uint32_t kWindow = 1024;
  // A jump ahead larger than this is a resynchronisation.
  static constexpr std::uint32_t kResyncDistance = 1u << 20;
  // A number this far behind, or one near 1 after this much silence, is a sender starting over.
  static constexpr std::uint32_t kRestartDistance = 1u << 20;
  static constexpr std::chrono::seconds kRestartSilence{1};

  // Buffers of delivered lines, emptied and kept for the next multi-part line.
  using Spares = std::vector<std::string>;

  // spares: a pool shared with other assemblers on the same thread (SenderStreams shares one
  // among all its senders, so that memory does not grow with their number); by default a pool
  // of its own.
  LineAssembler(Listener& listener, Limits limits, Spares* spares = nullptr);
  LineAssembler(const LineAssembler&) = delete;
  LineAssembler& operator=(const LineAssembler&) = delete;

  // True when this datagram means the sender started again: its number far behind the newest, or
  // within kWindow of 1 and behind the newest, after kRestartSilence without a datagram or too
  // far behind to be late. The caller then gives it to a fresh assembler.
  bool startsOver(const Datagram& datagram, Clock::time_point now) const;
  // Takes one sender's parsed datagram, in arrival order. A gap in the numbers is counted lost at
  // once; a line that later arrives from the gap is still delivered, counted late and no longer
  // lost. A repeat of a delivered line or of a part already held within kWindow is counted as a
  // duplicate and not written, and other bytes under the same number as a conflict. A jump ahead
  // of more than kResyncDistance is a resynchronisation, not loss. Lines still incomplete after
  // the time-out, or pushed out by the memory bounds, are dropped and counted.
  void accept(const Datagram& datagram, Clock::time_point now);
  // Drops, with a report, the lines whose first part came longer than the time-out ago.
  void expire(Clock::time_point now);
  // Drops, with a report, the line waiting longest; false when none waits.
  bool dropOldest(const std::string& why);
  // Drops, with a report, every line still incomplete.
  void finish(const std::string& why);

  const Counts& counts() const { return tally; }
  std::size_t pendingBytes() const { return pendingTotal; }
  bool hasPending() const { return !pending.empty(); }
  // When the first part of the line waiting longest came; Clock::time_point::max() when none waits.
  Clock::time_point oldestPending() const;
  Clock::time_point lastHeard() const { return lastHeardAt; }

 private:
  // A line with parts missing. Parts that come in order are appended to text at once, so a line
  // whose parts all arrive in order is copied only once on its way to the listener; a part that
  // comes ahead of a gap waits in ahead until the gap fills.
  struct Pending {
    std::uint32_t count = 0;
    std::string text;               // parts 1..joined, in order
    std::vector<std::size_t> ends;  // where each joined part ends in text
    std::map<std::uint32_t, std::string> ahead;
    std::size_t bytes = 0;  // in text and ahead
    Clock::time_point firstSeen;
    std::uint32_t joined() const { return static_cast<std::uint32_t>(ends.size()); }
    std::size_t held() const { return ends.size() + ahead.size(); }
    // The bytes of a part held, or an empty view with found false.
    std::string_view part(std::uint32_t number, bool& found) const;
    void join(std::string_view payload);
  };
  using PendingMap = std::map<std::uint32_t, Pending>;
  static constexpr std::uint32_t kPartsMark = 1u << 31;  // above every part count

  // Forward distance from the newest number to s; 0 for the newest itself.
  std::uint64_t aheadOfNewest(std::uint32_t s) const;
  // How far s lies behind the newest, or kWindow and more when it lies ahead or further behind.
  std::uint64_t behindNewest(std::uint32_t s) const;
  // The window's word for the number `behind` places behind the newest (behind < kWindow).
  std::uint32_t& known(std::uint64_t behind) {
    return window[(newestPlace - static_cast<std::uint32_t>(behind)) % kWindow];
  }
  void noteAhead(std::uint32_t sequence, std::uint64_t distance);
  bool checkBehind(const Datagram& datagram, std::uint64_t behind);
  void addPart(PendingMap::iterator it, const Datagram& datagram);
  // The line at it has every part: it leaves the pending lines, is remembered and delivered.
  void completeLine(PendingMap::iterator it);
  // Remembers what became of a number, while it lies within the window.
  void remember(std::uint32_t sequence, std::uint32_t word);
  void deliver(std::uint32_t sequence, std::string_view text);
  void drop(PendingMap::iterator it, const std::string& why);
  std::string name(std::uint32_t sequence) const { return "line " + std::to_string(sequence); }

  // Read for every datagram, so kept together at the front.
  Listener& listener;
  bool started = false;
  std::uint32_t base = 0;    // the first number of the stream, or of its last resynchronisation
  std::uint32_t newest = 0;  // the highest number seen
  // Counts every step the newest number took; its place in the window is this modulo kWindow,
  // which runs on without a break where the numbers wrap from 4294967295 to 1.
  std::uint32_t newestPlace = 0;
  Clock::time_point lastHeardAt;
  std::size_t pendingTotal = 0;
  PendingMap pending;
  Counts tally;
  Spares* spares;  // ownSpares or the caller's pool
  const Limits limits;
  Spares ownSpares;
  // What became of the kWindow numbers up to the newest, one word each, in the order of their
  // places: 0 when none was delivered or given up (lost, waiting or yet to come); for a line of
  // one part, a fingerprint of its bytes (1 to kPartsMark - 1); kPartsMark + its part count for a
  // longer line, and kPartsMark alone for a line given up. 4 KiB, inside the assembler, so that
  // a datagram touches one more cache line of its sender and no other page.
  std::array<std::uint32_t, kWindow> window{};
};
