#include "udplog-recv/reassembly/LineAssembler.h"

#include <algorithm>
#include <functional>

namespace {

constexpr std::uint64_t kModulus = UINT32_MAX;  // sequence numbers run 1..UINT32_MAX, then 1
constexpr std::uint64_t kReserveLimit = 4u << 20;
constexpr std::size_t kSpareBuffers = 4;

std::uint32_t after(std::uint32_t sequence) { return sequence == UINT32_MAX ? 1 : sequence + 1; }
std::uint32_t before(std::uint32_t sequence) { return sequence == 1 ? UINT32_MAX : sequence - 1; }

// How far b lies ahead of a, in the circle of sequence numbers.
std::uint64_t ahead(std::uint32_t a, std::uint32_t b) {
  return (std::uint64_t{b} + kModulus - a) % kModulus;
}

// 1 to 2^31 - 1: never 0 (nothing known), never with the top bit (a longer line's mark).
std::uint32_t fingerprintOf(std::string_view text) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>{}(text) % 0x7fffffffu) + 1;
}

}  // namespace

LineAssembler::Counts& LineAssembler::Counts::operator+=(const Counts& other) {
  lines += other.lines;
  lost += other.lost;
  late += other.late;
  duplicates += other.duplicates;
  conflicts += other.conflicts;
  resyncs += other.resyncs;
  tooOld += other.tooOld;
  incomplete += other.incomplete;
  return *this;
}

LineAssembler::LineAssembler(Listener& theListener, Limits theLimits, Spares* theSpares)
    : listener(theListener), spares(theSpares ? theSpares : &ownSpares), limits(theLimits) {}

std::uint64_t LineAssembler::aheadOfNewest(std::uint32_t s) const { return ahead(newest, s); }

std::uint64_t LineAssembler::behindNewest(std::uint32_t s) const {
  const std::uint64_t forward = aheadOfNewest(s);
  if (forward == 0) return 0;
  return forward < kModulus / 2 ? kModulus : kModulus - forward;
}

bool LineAssembler::startsOver(const Datagram& datagram, Clock::time_point now) const {
  if (!started) return false;
  const std::uint64_t forward = aheadOfNewest(datagram.sequence);
  if (forward != 0 && forward < kModulus / 2) return false;
  if (pending.count(datagram.sequence) != 0) return false;
  const std::uint64_t behind = forward == 0 ? 0 : kModulus - forward;
  if (behind > kRestartDistance) return true;
  if (datagram.sequence > kWindow) return false;
  return behind >= kWindow || now - lastHeardAt >= kRestartSilence;
}

void LineAssembler::accept(const Datagram& datagram, Clock::time_point now) {
  lastHeardAt = now;
  const std::uint32_t s = datagram.sequence;
  std::uint64_t behind = 0;  // of the newest once the datagram is taken
  if (!started) {
    started = true;
    base = newest = s;
  } else {
    if (!pending.empty()) {
      auto it = pending.find(s);
      if (it != pending.end()) {
        addPart(it, datagram);
        return;
      }
    }
    const std::uint64_t forward = aheadOfNewest(s);
    if (forward != 0 && forward < kModulus / 2) {
      noteAhead(s, forward);
    } else {
      behind = forward == 0 ? 0 : kModulus - forward;
      if (!checkBehind(datagram, behind)) return;
    }
  }
  const std::string_view payload(datagram.payload, datagram.payloadSize);
  if (datagram.count == 1) {
    known(behind) = fingerprintOf(payload);
    deliver(s, payload);
    return;
  }
  auto it = pending.emplace(s, Pending()).first;
  if (!spares->empty()) {
    it->second.text = std::move(spares->back());
    spares->pop_back();
  }
  it->second.count = datagram.count;
  it->second.firstSeen = now;
  addPart(it, datagram);
}

void LineAssembler::noteAhead(std::uint32_t sequence, std::uint64_t distance) {
  const std::uint64_t gap = distance - 1;
  if (gap > kResyncDistance) {
    ++tally.resyncs;
    listener.report("sequence jumped from " + std::to_string(newest) + " to " +
                    std::to_string(sequence) + " (" + std::to_string(gap) +
                    " numbers skipped): taken as a resynchronisation, not as loss");
    base = sequence;
  } else if (gap > 0) {
    tally.lost += gap;
    listener.report(gap == 1
                        ? "lost line " + std::to_string(after(newest))
                        : "lost lines " + std::to_string(after(newest)) + " to " +
                              std::to_string(before(sequence)) + " (" + std::to_string(gap) + ")");
  }
  // The places the newest passes over are now those of numbers skipped: nothing known of them.
  if (distance >= kWindow) {
    window.fill(0);
  } else {
    for (std::uint32_t step = 1; step <= distance; ++step) {
      window[(newestPlace + step) % kWindow] = 0;
    }
  }
  newestPlace += static_cast<std::uint32_t>(distance);
  newest = sequence;
}

bool LineAssembler::checkBehind(const Datagram& datagram, std::uint64_t behind) {
  const std::uint32_t s = datagram.sequence;
  const std::uint32_t word = behind < kWindow ? known(behind) : 0;
  if (word != 0) {
    const std::uint32_t count = word < kPartsMark ? 1 : word - kPartsMark;
    if (count == 0) {
      ++tally.tooOld;
      listener.report(name(s) + ": a part arrived after the line was given up");
    } else if (count == datagram.count &&
               (count != 1 ||
                word == fingerprintOf(std::string_view(datagram.payload, datagram.payloadSize)))) {
      ++tally.duplicates;
      listener.report(name(s) + " repeated: not written again");
    } else {
      ++tally.conflicts;
      listener.report(name(s) + ": a datagram with other " +
                      (count == datagram.count ? "bytes" : "part count") +
                      " than the line delivered: not written");
    }
    return false;
  }
  if (behind >= kWindow) {
    ++tally.tooOld;
    listener.report(name(s) + " arrived " + std::to_string(behind) +
                    " lines behind the newest, too late to tell from a repeat: not written");
    return false;
  }
  if (ahead(base, s) <= ahead(base, newest)) {
    ++tally.late;
    if (tally.lost > 0) --tally.lost;
    listener.report(name(s) + " arrived late");
  }
  return true;
}

std::string_view LineAssembler::Pending::part(std::uint32_t number, bool& found) const {
  found = true;
  if (number >= 1 && number <= joined()) {
    const std::size_t begin = number == 1 ? 0 : ends[number - 2];
    return std::string_view(text).substr(begin, ends[number - 1] - begin);
  }
  auto it = ahead.find(number);
  if (it != ahead.end()) return it->second;
  found = false;
  return std::string_view();
}

void LineAssembler::Pending::join(std::string_view payload) {
  text.append(payload.data(), payload.size());
  ends.push_back(text.size());
}

void LineAssembler::addPart(PendingMap::iterator it, const Datagram& datagram) {
  const std::uint32_t s = it->first;
  Pending& line = it->second;
  if (line.count != datagram.count) {
    ++tally.conflicts;
    listener.report(name(s) + ": part count " + std::to_string(datagram.count) +
                    " conflicts with the " + std::to_string(line.count) + " held: not used");
    return;
  }
  const std::string_view payload(datagram.payload, datagram.payloadSize);
  bool held = false;
  const std::string_view heldPart = line.part(datagram.part, held);
  if (held) {
    if (heldPart == payload) {
      ++tally.duplicates;
      listener.report(name(s) + ": part " + std::to_string(datagram.part) + " repeated");
    } else {
      ++tally.conflicts;
      listener.report(name(s) + ": part " + std::to_string(datagram.part) +
                      " with other bytes than the one held: not used");
    }
    return;
  }
  if (datagram.part == line.joined() + 1) {
    // Room for the whole line at once, within reason: a forged part count must not reserve more.
    if (line.text.empty()) {
      line.text.reserve(
          std::min<std::uint64_t>(std::uint64_t{line.count} * payload.size(), kReserveLimit));
    }
    line.join(payload);
    // Parts that came ahead of the gap just filled follow it.
    for (auto next = line.ahead.begin();
         next != line.ahead.end() && next->first == line.joined() + 1;
         next = line.ahead.erase(next)) {
      line.join(next->second);
    }
  } else {
    line.ahead.emplace(datagram.part, std::string(payload));
  }
  line.bytes += payload.size();
  pendingTotal += payload.size();

  if (line.joined() == line.count) {
    completeLine(it);
    return;
  }
  while (pending.size() > limits.maxPendingLines || pendingTotal > limits.maxPendingBytes) {
    dropOldest("dropped to bound memory");
  }
}

void LineAssembler::completeLine(PendingMap::iterator it) {
  const std::uint32_t s = it->first;
  std::string text = std::move(it->second.text);
  pendingTotal -= it->second.bytes;
  const std::uint32_t count = it->second.count;
  pending.erase(it);
  remember(s, kPartsMark + count);
  deliver(s, text);
  // The buffer serves the next line: no allocation, no fresh pages per line.
  // A buffer that grew past what a line may reserve goes back to the system.
  if (spares->size() < kSpareBuffers && text.capacity() <= kReserveLimit) {
    text.clear();
    spares->push_back(std::move(text));
  }
}

void LineAssembler::remember(std::uint32_t sequence, std::uint32_t word) {
  // A line far behind that completes or is given up now has no place left: the place of its
  // number belongs to a newer one, whose repeats must still be told apart.
  const std::uint64_t behind = behindNewest(sequence);
  if (behind < kWindow) known(behind) = word;
}

void LineAssembler::deliver(std::uint32_t sequence, std::string_view text) {
  ++tally.lines;
  listener.line(sequence, text);
}

void LineAssembler::expire(Clock::time_point now) {
  for (auto it = pending.begin(); it != pending.end();) {
    auto current = it++;
    if (now - current->second.firstSeen >= limits.timeout) drop(current, "timed out");
  }
}

LineAssembler::Clock::time_point LineAssembler::oldestPending() const {
  Clock::time_point oldest = Clock::time_point::max();
  for (const auto& entry : pending) oldest = std::min(oldest, entry.second.firstSeen);
  return oldest;
}

bool LineAssembler::dropOldest(const std::string& why) {
  if (pending.empty()) return false;
  auto oldest = pending.begin();
  for (auto p = pending.begin(); p != pending.end(); ++p) {
    if (p->second.firstSeen < oldest->second.firstSeen) oldest = p;
  }
  drop(oldest, why);
  return true;
}

void LineAssembler::finish(const std::string& why) {
  while (!pending.empty()) drop(pending.begin(), why);
}

void LineAssembler::drop(PendingMap::iterator it, const std::string& why) {
  ++tally.incomplete;
  listener.report(name(it->first) + " incomplete (" + std::to_string(it->second.held()) + " of " +
                  std::to_string(it->second.count) + " parts), " + why);
  remember(it->first, kPartsMark);
  pendingTotal -= it->second.bytes;
  pending.erase(it);
}
