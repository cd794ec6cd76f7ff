#include "tools/LineAssembler.h"

namespace {

constexpr std::uint64_t kModulus = UINT32_MAX;  // sequence numbers run 1..UINT32_MAX, then 1
// A jump back further than this is a sender that started again, not a late line.
constexpr std::uint64_t kRestartDistance = 1u << 20;

std::uint32_t after(std::uint32_t sequence) { return sequence == UINT32_MAX ? 1 : sequence + 1; }

// How far b lies ahead of a, in the circle of sequence numbers.
std::uint64_t ahead(std::uint32_t a, std::uint32_t b) {
  return (std::uint64_t{b} + kModulus - a) % kModulus;
}

}  // namespace

LineAssembler::LineAssembler(Listener& listener, Limits limits)
    : listener_(listener), limits_(limits) {}

void LineAssembler::noteNewSequence(std::uint32_t sequence) {
  if (!started_) {
    started_ = true;
    next_ = after(sequence);
    return;
  }
  const std::uint64_t distance = ahead(next_, sequence);
  if (distance == 0) {
    next_ = after(sequence);
  } else if (distance < kModulus / 2) {
    counts_.lost += distance;
    const std::uint32_t last = sequence == 1 ? UINT32_MAX : sequence - 1;
    listener_.report(distance == 1
                         ? "lost line " + std::to_string(next_)
                         : "lost lines " + std::to_string(next_) + " to " + std::to_string(last) +
                               " (" + std::to_string(distance) + ")");
    next_ = after(sequence);
  } else if (kModulus - distance > kRestartDistance) {
    listener_.report("sequence restarted at " + std::to_string(sequence));
    next_ = after(sequence);
  } else {
    ++counts_.late;
    listener_.report("line " + std::to_string(sequence) + " arrived late");
  }
}

void LineAssembler::accept(const Datagram& datagram, Clock::time_point now) {
  auto it = pending_.find(datagram.sequence);
  if (it == pending_.end()) {
    noteNewSequence(datagram.sequence);
    if (datagram.count == 1) {
      ++counts_.lines;
      listener_.line(datagram.sequence, std::string(datagram.payload, datagram.payloadSize));
      return;
    }
    it = pending_.emplace(datagram.sequence, Pending()).first;
    it->second.count = datagram.count;
    it->second.firstSeen = now;
  }
  Pending& line = it->second;
  if (line.count != datagram.count) {
    listener_.report("line " + std::to_string(datagram.sequence) + ": part count changed from " +
                     std::to_string(line.count) + " to " + std::to_string(datagram.count));
    return;
  }
  if (!line.parts.emplace(datagram.part, std::string(datagram.payload, datagram.payloadSize))
           .second) {
    listener_.report("line " + std::to_string(datagram.sequence) + ": duplicate part " +
                     std::to_string(datagram.part));
    return;
  }
  line.bytes += datagram.payloadSize;
  pendingBytes_ += datagram.payloadSize;

  if (line.parts.size() == line.count) {
    std::string text;
    text.reserve(line.bytes);
    for (const auto& part : line.parts) text += part.second;
    pendingBytes_ -= line.bytes;
    const std::uint32_t sequence = it->first;
    pending_.erase(it);
    ++counts_.lines;
    listener_.line(sequence, text);
    return;
  }

  // Memory bounds: the line waiting longest goes first.
  while (!pending_.empty() &&
         (pending_.size() > limits_.maxPendingLines || pendingBytes_ > limits_.maxPendingBytes)) {
    auto oldest = pending_.begin();
    for (auto p = pending_.begin(); p != pending_.end(); ++p) {
      if (p->second.firstSeen < oldest->second.firstSeen) oldest = p;
    }
    drop(oldest, "dropped to bound memory");
  }
}

void LineAssembler::expire(Clock::time_point now) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    auto current = it++;
    if (now - current->second.firstSeen >= limits_.timeout) drop(current, "timed out");
  }
}

void LineAssembler::finish() {
  while (!pending_.empty()) drop(pending_.begin(), "still incomplete at the end");
}

void LineAssembler::drop(std::map<std::uint32_t, Pending>::iterator it, const std::string& why) {
  ++counts_.incomplete;
  listener_.report("line " + std::to_string(it->first) + " incomplete (" +
                   std::to_string(it->second.parts.size()) + " of " +
                   std::to_string(it->second.count) + " parts), " + why);
  pendingBytes_ -= it->second.bytes;
  pending_.erase(it);
}
