#include "udplog-recv/LineAssembler.h"

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

std::uint32_t fingerprintOf(std::string_view text) {
  return static_cast<std::uint32_t>(std::hash<std::string_view>{}(text));
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

LineAssembler::LineAssembler(Listener& listener, Limits limits, Spares* spares)
    : listener_(listener),
      limits_(limits),
      slots_(kWindow),
      spares_(spares ? spares : &ownSpares_) {}

std::uint64_t LineAssembler::aheadOfNewest(std::uint32_t s) const { return ahead(newest_, s); }

bool LineAssembler::startsOver(const Datagram& datagram, Clock::time_point now) const {
  if (!started_) return false;
  const std::uint64_t forward = aheadOfNewest(datagram.sequence);
  if (forward != 0 && forward < kModulus / 2) return false;
  if (pending_.count(datagram.sequence) != 0) return false;
  const std::uint64_t behind = forward == 0 ? 0 : kModulus - forward;
  if (behind > kRestartDistance) return true;
  if (datagram.sequence > kWindow) return false;
  return behind >= kWindow || now - lastHeard_ >= kRestartSilence;
}

void LineAssembler::accept(const Datagram& datagram, Clock::time_point now) {
  lastHeard_ = now;
  const std::uint32_t s = datagram.sequence;
  if (!started_) {
    started_ = true;
    base_ = newest_ = s;
  } else {
    if (!pending_.empty()) {
      auto it = pending_.find(s);
      if (it != pending_.end()) {
        addPart(it, datagram);
        return;
      }
    }
    const std::uint64_t forward = aheadOfNewest(s);
    if (forward != 0 && forward < kModulus / 2) {
      noteAhead(s, forward);
    } else if (!checkBehind(datagram, forward == 0 ? 0 : kModulus - forward)) {
      return;
    }
  }
  const std::string_view payload(datagram.payload, datagram.payloadSize);
  if (datagram.count == 1) {
    deliver(s, 1, payload, fingerprintOf(payload));
    return;
  }
  auto it = pending_.emplace(s, Pending()).first;
  if (!spares_->empty()) {
    it->second.text = std::move(spares_->back());
    spares_->pop_back();
  }
  it->second.count = datagram.count;
  it->second.firstSeen = now;
  addPart(it, datagram);
}

void LineAssembler::noteAhead(std::uint32_t sequence, std::uint64_t distance) {
  const std::uint64_t gap = distance - 1;
  if (gap > kResyncDistance) {
    ++counts_.resyncs;
    listener_.report("sequence jumped from " + std::to_string(newest_) + " to " +
                     std::to_string(sequence) + " (" + std::to_string(gap) +
                     " numbers skipped): taken as a resynchronisation, not as loss");
    base_ = sequence;
  } else if (gap > 0) {
    counts_.lost += gap;
    listener_.report(gap == 1
                         ? "lost line " + std::to_string(after(newest_))
                         : "lost lines " + std::to_string(after(newest_)) + " to " +
                               std::to_string(before(sequence)) + " (" + std::to_string(gap) + ")");
  }
  newest_ = sequence;
}

bool LineAssembler::checkBehind(const Datagram& datagram, std::uint64_t behind) {
  const std::uint32_t s = datagram.sequence;
  const Slot& slot = slots_[s % kWindow];
  if (slot.sequence == s) {
    if (slot.count == 0) {
      ++counts_.tooOld;
      listener_.report(name(s) + ": a part arrived after the line was given up");
    } else if (slot.count == datagram.count &&
               (datagram.count != 1 ||
                slot.fingerprint ==
                    fingerprintOf(std::string_view(datagram.payload, datagram.payloadSize)))) {
      ++counts_.duplicates;
      listener_.report(name(s) + " repeated: not written again");
    } else {
      ++counts_.conflicts;
      listener_.report(name(s) + ": a datagram with other " +
                       (slot.count == datagram.count ? "bytes" : "part count") +
                       " than the line delivered: not written");
    }
    return false;
  }
  if (behind >= kWindow) {
    ++counts_.tooOld;
    listener_.report(name(s) + " arrived " + std::to_string(behind) +
                     " lines behind the newest, too late to tell from a repeat: not written");
    return false;
  }
  if (ahead(base_, s) <= ahead(base_, newest_)) {
    ++counts_.late;
    if (counts_.lost > 0) --counts_.lost;
    listener_.report(name(s) + " arrived late");
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
    ++counts_.conflicts;
    listener_.report(name(s) + ": part count " + std::to_string(datagram.count) +
                     " conflicts with the " + std::to_string(line.count) + " held: not used");
    return;
  }
  const std::string_view payload(datagram.payload, datagram.payloadSize);
  bool held = false;
  const std::string_view heldPart = line.part(datagram.part, held);
  if (held) {
    if (heldPart == payload) {
      ++counts_.duplicates;
      listener_.report(name(s) + ": part " + std::to_string(datagram.part) + " repeated");
    } else {
      ++counts_.conflicts;
      listener_.report(name(s) + ": part " + std::to_string(datagram.part) +
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
  pendingBytes_ += payload.size();

  if (line.joined() == line.count) {
    std::string text = std::move(line.text);
    pendingBytes_ -= line.bytes;
    const std::uint32_t count = line.count;
    pending_.erase(it);
    deliver(s, count, text, 0);
    // The buffer serves the next line: no allocation, no fresh pages per line.
    // A buffer that grew past what a line may reserve goes back to the system.
    if (spares_->size() < kSpareBuffers && text.capacity() <= kReserveLimit) {
      text.clear();
      spares_->push_back(std::move(text));
    }
    return;
  }
  while (pending_.size() > limits_.maxPendingLines || pendingBytes_ > limits_.maxPendingBytes) {
    dropOldest("dropped to bound memory");
  }
}

void LineAssembler::deliver(std::uint32_t sequence, std::uint32_t count, std::string_view text,
                            std::uint32_t fingerprint) {
  slots_[sequence % kWindow] = Slot{sequence, count, fingerprint};
  ++counts_.lines;
  listener_.line(sequence, text);
}

void LineAssembler::expire(Clock::time_point now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    auto current = it++;
    if (now - current->second.firstSeen >= limits_.timeout) drop(current, "timed out");
  }
}

LineAssembler::Clock::time_point LineAssembler::oldestPending() const {
  Clock::time_point oldest = Clock::time_point::max();
  for (const auto& entry : pending_) oldest = std::min(oldest, entry.second.firstSeen);
  return oldest;
}

bool LineAssembler::dropOldest(const std::string& why) {
  if (pending_.empty()) return false;
  auto oldest = pending_.begin();
  for (auto p = pending_.begin(); p != pending_.end(); ++p) {
    if (p->second.firstSeen < oldest->second.firstSeen) oldest = p;
  }
  drop(oldest, why);
  return true;
}

void LineAssembler::finish(const std::string& why) {
  while (!pending_.empty()) drop(pending_.begin(), why);
}

void LineAssembler::drop(PendingMap::iterator it, const std::string& why) {
  ++counts_.incomplete;
  listener_.report(name(it->first) + " incomplete (" + std::to_string(it->second.held()) + " of " +
                   std::to_string(it->second.count) + " parts), " + why);
  slots_[it->first % kWindow] = Slot{it->first, 0, 0};
  pendingBytes_ -= it->second.bytes;
  pending_.erase(it);
}
